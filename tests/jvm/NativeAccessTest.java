// SPDX-License-Identifier: Apache-2.0
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.jar.Attributes;
import java.util.jar.JarOutputStream;
import java.util.jar.Manifest;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * From JDK 24 on, a library loaded from the class path makes the JVM print four lines starting
 * "WARNING: A restricted method in java.lang.System has been called" on standard error, where
 * the send failure report also goes. --enable-native-access=ALL-UNNAMED, or the manifest attribute
 * Enable-Native-Access: ALL-UNNAMED of an application jar, keeps it quiet; JDK 17 takes both.
 */
class NativeAccessTest {
    static final int FEATURE = Runtime.version().feature();
    static final String RESTRICTED = "WARNING: A restricted method in java.lang.System has been called";

    @BeforeAll
    static void privateNamespace() throws Exception {
        Harness.requirePrivateNamespace();
    }

    static List<String> java(String... options) {
        List<String> command = new ArrayList<>(List.of(System.getProperty("java.home") + "/bin/java", "-Xcheck:jni"));
        command.addAll(List.of(options));
        return command;
    }

    @Test
    void withTheFlagStandardErrorStaysEmpty() throws Exception {
        List<String> command = java(Harness.ENABLE_NATIVE_ACCESS, "-cp",
                DistributionTest.ALL_JAR + ":" + DistributionTest.TESTS_JAR, "DistScenarios", "clock");
        Harness.Child child = Harness.run(command);
        assertEquals(0, child.status(), child::toString);
        assertEquals("", child.err(), child::toString);
        assertTrue(child.out().startsWith("quillon in range\n"), child::toString);
    }

    @Test
    void anApplicationJarWithTheManifestAttributeNeedsNoFlag() throws Exception {
        Path dir = Files.createTempDirectory("nimbo-app");
        Path app = dir.resolve("app.jar");
        try {
            Manifest manifest = new Manifest();
            Attributes main = manifest.getMainAttributes();
            main.put(Attributes.Name.MANIFEST_VERSION, "1.0");
            main.put(Attributes.Name.MAIN_CLASS, "DistScenarios");
            main.put(Attributes.Name.CLASS_PATH, DistributionTest.ALL_JAR + " " + DistributionTest.TESTS_JAR);
            main.putValue("Enable-Native-Access", "ALL-UNNAMED");
            // The manifest alone: the classes come from Class-Path.
            new JarOutputStream(Files.newOutputStream(app), manifest).close();
            Harness.Child child = Harness.run(java("-jar", app.toString(), "clock"));
            assertEquals(0, child.status(), child::toString);
            assertEquals("", child.err(), child::toString);
            assertTrue(child.out().startsWith("quillon in range\n"), child::toString);
        } finally {
            Files.deleteIfExists(app);
            Files.delete(dir);
        }
    }

    /** Why the flag is there: without it, JDK 24 and later print the warning. */
    @Test
    void withoutEitherOnlyOlderJdksStayQuiet() throws Exception {
        Harness.Child child = Harness.capture(java("-cp",
                DistributionTest.ALL_JAR + ":" + DistributionTest.TESTS_JAR, "DistScenarios", "clock"));
        assertEquals(0, child.status(), child::toString);
        if (FEATURE >= 24) {
            assertTrue(child.err().startsWith(RESTRICTED), child::toString);
            assertEquals(4, child.err().lines().filter(line -> line.startsWith("WARNING: ")).count(),
                    child::toString);
        } else {
            assertEquals("", child.err(), child::toString);
        }
    }
}
