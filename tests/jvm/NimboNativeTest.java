// SPDX-License-Identifier: Apache-2.0
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.regex.Pattern;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/**
 * The loader's conventions: which folder of the jar each platform takes, the error on any other
 * platform, nimbo.native.dir and its noexec check, and the availability queries.
 */
class NimboNativeTest {
    @BeforeAll
    static void privateNamespace() throws Exception {
        Harness.requirePrivateNamespace();
    }

    @ParameterizedTest(name = "{0} {1}")
    @CsvSource({
        "Linux, i386, linux-x86",
        "Linux, i486, linux-x86",
        "Linux, i586, linux-x86",
        "Linux, i686, linux-x86",
        "Linux, x86, linux-x86",
        "Linux, amd64, linux-x86_64",
        "Linux, x86_64, linux-x86_64",
        "Linux, aarch64, linux-aarch64",
        "Linux, arm64, linux-aarch64"})
    void linuxMapsToTheJarsFolders(String os, String arch, String platform) {
        assertEquals(platform, NimboNative.platform(os, arch));
        assertEquals(platform, NimboNative.jarPlatform(os, arch, "Quillon"));
    }

    @ParameterizedTest(name = "{0} {1}")
    @CsvSource({"Linux, riscv64", "Linux, arm", "Linux, ppc64le", "FreeBSD, amd64", "Mac OS X, x86_64",
        "Windows 10, x86"})
    void anyOtherPlatformHasNoFolder(String os, String arch) {
        assertNull(NimboNative.platform(os, arch));
        // This JVM has only nimbo.jar on its class path, without libraries.
        UnsatisfiedLinkError e = assertThrows(UnsatisfiedLinkError.class,
                () -> NimboNative.jarPlatform(os, arch, "Quillon"));
        assertEquals("no copy for this platform (os.name " + os + ", os.arch " + arch
                + "); the jar carries libQuillon.so for no platform", e.getMessage());
    }

    @Test
    void onAnotherPlatformTheErrorNamesItAndThePlatformsTheJarCarries() throws Exception {
        Harness.Child child = DistributionTest.run(List.of(), DistributionTest.ALL_JAR, null,
                List.of("-Dos.arch=riscv64"), "DistScenarios", "clock");
        assertEquals(1, child.status(), child::toString);
        assertTrue(child.err().contains("UnsatisfiedLinkError: cannot load library Quillon: no Quillon in "
                + "java.library.path: "), child::toString);
        assertTrue(child.err().contains("; from the jar: no copy for this platform (os.name Linux, os.arch riscv64);"
                + " the jar carries libQuillon.so for " + String.join(", ", expectedPlatforms())), child::toString);
    }

    /** The jar's platforms in the loader's order. */
    static List<String> expectedPlatforms() {
        return List.of("linux-x86", "linux-x86_64", "linux-aarch64").stream().filter(DistributionTest.PLATFORMS::contains).toList();
    }

    /** The child runs in a scratch folder holding "natives"; a relative name is taken from there. */
    @ParameterizedTest(name = "{0}")
    @CsvSource({"-Dnimbo.native.dir=ABSOLUTE", "-Dnimbo.native.dir=natives", "-Djava.io.tmpdir=natives"})
    void nimboNativeDirChoosesTheFolderOfTheCopies(String option) throws Exception {
        Path base = Files.createTempDirectory("nimbo-native-dir");
        Path dir = Files.createDirectory(base.resolve("natives"));
        try {
            Harness.Child child = DistributionTest.run(List.of("--chdir=" + base), DistributionTest.ALL_JAR, null,
                    List.of(option.replace("ABSOLUTE", dir.toString())), "DistScenarios", "clock");
            assertEquals(0, child.status(), child::toString);
            List<String> lines = child.out().lines().toList();
            assertEquals("quillon in range", lines.get(0), child::toString);
            assertEquals(2, lines.size(), child::toString);
            assertTrue(Pattern.matches("mapped " + Pattern.quote(dir.toRealPath().toString())
                    + "/nimbo-\\d+/libQuillon\\.so \\(deleted\\)", lines.get(1)), child::toString);
            try (var left = Files.list(dir)) {
                assertEquals(List.of(), left.toList(), "left behind in " + dir);
            }
        } finally {
            Files.delete(dir);
            Files.delete(base);
        }
    }

    /** The folder is mounted noexec in a private mount namespace of the child alone. */
    @Test
    void aNoexecFolderIsNamedWithTheProperty() throws Exception {
        Path dir = Files.createTempDirectory("nimbo-noexec");
        try {
            List<String> env = List.of("unshare", "--mount", "--propagation", "private", "sh", "-c",
                    "mount -t tmpfs -o noexec nimbo-noexec \"$0\" && exec \"$@\"", dir.toString());
            Harness.Child child = DistributionTest.run(env, DistributionTest.ALL_JAR, null,
                    List.of("-Dnimbo.native.dir=" + dir), "DistScenarios", "clock");
            assertEquals(1, child.status(), child::toString);
            assertTrue(child.err().contains("UnsatisfiedLinkError: cannot load library Quillon: "), child::toString);
            assertTrue(child.err().contains(" (" + dir + " is on a file system mounted noexec, where no library can"
                    + " be mapped: name a folder that allows it with -Dnimbo.native.dir=...)"), child::toString);
        } finally {
            Files.delete(dir);
        }
    }

    @Test
    void availabilityIsReportedWithoutThrowingAndEachLibraryLoadsOnce() throws Exception {
        Harness.Child loaded = DistributionTest.run(List.of(), DistributionTest.ALL_JAR, null,
                "DistScenarios", "availability");
        assertEquals(new Harness.Child("available true cause none\navailable true cause none\nclass works\n"
                + "copies mapped 1\n", "", 0), loaded);

        Harness.Child missing = DistributionTest.run(List.of(), DistributionTest.PLAIN_JAR, null,
                "DistScenarios", "availability");
        assertEquals(0, missing.status(), missing::toString);
        List<String> lines = missing.out().lines().toList();
        assertEquals(4, lines.size(), missing::toString);
        String cause = "cannot load library Quillon: no Quillon in java.library.path: ";
        assertTrue(lines.get(0).startsWith("available false cause " + cause), missing::toString);
        assertEquals(lines.get(0), lines.get(1), missing::toString);
        assertEquals("class fails " + lines.get(0).substring("available false cause ".length()), lines.get(2));
        assertEquals("copies mapped 0", lines.get(3));
        assertFalse(missing.err().contains("Exception"), missing::toString);
    }
}
