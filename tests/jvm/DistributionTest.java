// SPDX-License-Identifier: Apache-2.0
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Set;
import java.util.TreeSet;
import java.util.jar.JarEntry;
import java.util.jar.JarFile;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.EnumSource;

/**
 * The libraries reach a program three ways: nimbo-all.jar alone, the Debian package unpacked into a
 * scratch root, and java.library.path. Every child JVM here runs without LD_LIBRARY_PATH, and with
 * no java.library.path unless its route names one.
 */
class DistributionTest {
    static final String GROUP = "239.1.2.3";
    /** Where the jar keeps the libraries for the platform this JVM runs on. */
    static final String NATIVE_DIR = "META-INF/native/"
            + NimboNative.platform(System.getProperty("os.name"), System.getProperty("os.arch")) + "/";
    /** Every platform nimbo-all.jar carries libraries for. */
    static final List<String> PLATFORMS = List.of(System.getProperty("nimbo.platforms").split(","));
    static final Path ALL_JAR = Path.of(System.getProperty("nimbo.all.jar"));
    static final Path PLAIN_JAR = Path.of(System.getProperty("nimbo.jar"));
    static final Path DEB_ROOT = Path.of(System.getProperty("nimbo.deb.root"));
    static final String TESTS_JAR = System.getProperty("nimbo.tests.jar");
    static final List<String> CLASSES = List.of(System.getProperty("nimbo.classes").split(","));
    static final List<String> LIBRARIES = List.of(System.getProperty("nimbo.libraries").split(","));
    static final Path TMP = Path.of(System.getProperty("java.io.tmpdir"));

    @BeforeAll
    static void privateNamespace() throws Exception {
        Harness.requirePrivateNamespace();
    }

    enum Route {
        /** Only the jar with natives: each library is unpacked into its own folder and deleted once loaded. */
        JAR_ALONE(ALL_JAR, null),
        /** java.library.path wins over the copies in the jar. */
        LIBRARY_PATH(ALL_JAR, Path.of(System.getProperty("java.library.path"))),
        /** The package's files: the plain jar, and the libraries where Debian keeps JNI libraries. */
        DEBIAN_PACKAGE(DEB_ROOT.resolve("usr/share/java/nimbo.jar"), DEB_ROOT.resolve("usr/lib/jni"));

        final Path jar;
        final Path libraryPath;

        Route(Path jar, Path libraryPath) {
            this.jar = jar;
            this.libraryPath = libraryPath;
        }

        /** Where lib&lt;name&gt;.so must have been mapped from. */
        Pattern origin(String name) throws Exception {
            String file = "/lib" + name + "\\.so";
            return libraryPath == null
                    ? Pattern.compile(Pattern.quote(TMP.toRealPath().toString()) + "/nimbo-\\d+" + file + " \\(deleted\\)")
                    : Pattern.compile(Pattern.quote(libraryPath.toRealPath().toString()) + file);
        }
    }

    /** java [-Djava.library.path=P] -cp JAR:tests mainClass args, without LD_LIBRARY_PATH. */
    static Harness.Child run(List<String> env, Path jar, Path libraryPath, String mainClass, String... args)
            throws Exception {
        return run(env, jar, libraryPath, List.of(), mainClass, args);
    }

    /** The same with more JVM options. */
    static Harness.Child run(List<String> env, Path jar, Path libraryPath, List<String> options, String mainClass,
            String... args) throws Exception {
        List<String> command = new ArrayList<>(List.of("env", "-u", "LD_LIBRARY_PATH"));
        command.addAll(env);
        command.addAll(List.of(System.getProperty("java.home") + "/bin/java", "-Xcheck:jni",
                Harness.ENABLE_NATIVE_ACCESS));
        if (libraryPath != null) command.add("-Djava.library.path=" + libraryPath);
        command.addAll(options);
        command.addAll(List.of("-cp", jar + ":" + TESTS_JAR, mainClass));
        command.addAll(List.of(args));
        return Harness.run(command);
    }

    @ParameterizedTest
    @EnumSource(Route.class)
    void sendsWithRouterAlertAndReceivesFromTheRightLibraries(Route route) throws Exception {
        int port = 47100 + route.ordinal();
        Harness.Child child;
        try (Harness.Watcher wire = new Harness.Watcher("--raw", "--port", "" + port, "--count", "1")) {
            child = run(List.of(), route.jar, route.libraryPath, "DistScenarios", "roundtrip", GROUP, "" + port);
            assertEquals(0, child.status(), child::toString);
            String line = wire.datagrams().get(0);
            assertTrue(line.matches("from [0-9.]+:\\d+ to 239\\.1\\.2\\.3 ttl 128 options 94 04 00 00 length 18 .*"),
                    line);
        }
        List<String> out = child.out().lines().toList();
        assertEquals(List.of("multicast carried by the jar", "unicast carried by the jar", "quillon in range"),
                out.subList(0, 3), child::toString);
        List<String> mapped = out.subList(3, out.size());
        for (String name : List.of("NimboSend", "NimboReceive", "NimboSendUnicast", "Quillon")) {
            List<String> files = mapped.stream().filter(m -> m.contains("/lib" + name + ".so")).toList();
            assertEquals(1, files.size(), child::toString);
            String file = files.get(0).substring("mapped ".length());
            assertTrue(route.origin(name).matcher(file).matches(), file + " for " + route);
            if (route == Route.JAR_ALONE) {
                assertFalse(Files.exists(Path.of(file.replace(" (deleted)", "")).getParent()), file);
            }
        }
    }

    /** Debian's JVMs look in /usr/lib/jni; others (such as Temurin) need java.library.path. */
    @Test
    void theInstalledPackageNeedsNoLibraryPathOnDebiansJvms() throws Exception {
        assumeTrue("Debian".equals(System.getProperty("java.vendor")),
                "not a Debian JVM: " + System.getProperty("java.vendor"));
        Harness.Child child = run(List.of(), PLAIN_JAR, null, "DistScenarios", "library-path");
        assertTrue(List.of(child.out().strip().split(":")).contains("/usr/lib/jni"),
                "this JVM does not look in /usr/lib/jni by default: " + child);
    }

    @Test
    void eachCopyGoesToAFreshFolderOnlyItsOwnerCanEnter() throws Exception {
        Harness.Child child = run(List.of(), ALL_JAR, null, "DistScenarios", "extract", "Quillon", "NimboSend");
        assertEquals(0, child.status(), child::toString);
        List<String> lines = child.out().lines().toList();
        assertEquals(2, lines.size(), child::toString);
        Pattern line = Pattern.compile(Pattern.quote(TMP.toString()) + "/(nimbo-\\d+) rwx------ (lib\\w+\\.so) (\\d+)");
        Set<String> folders = new TreeSet<>();
        try (JarFile jar = new JarFile(ALL_JAR.toFile())) {
            for (String text : lines) {
                Matcher m = line.matcher(text);
                assertTrue(m.matches(), text);
                folders.add(m.group(1));
                assertEquals(jar.getEntry(NATIVE_DIR + m.group(2)).getSize(), Long.parseLong(m.group(3)), text);
            }
        }
        assertEquals(2, folders.size(), child::toString);
    }

    @Test
    void theJarsHoldTheClassesAndOnlyTheAllJarTheLibraries() throws Exception {
        Set<String> classes = new TreeSet<>(Set.of("META-INF/MANIFEST.MF", "META-INF/LICENSE", "NimboNative.class"));
        Set<String> natives = new TreeSet<>();
        for (String name : CLASSES) classes.add(name + ".class");
        for (String platform : PLATFORMS) {
            for (String name : LIBRARIES) natives.add("META-INF/native/" + platform + "/lib" + name + ".so");
        }
        Set<String> all = new TreeSet<>(classes);
        all.addAll(natives);
        assertEquals(classes, files(PLAIN_JAR));
        assertEquals(classes, files(DEB_ROOT.resolve("usr/share/java/nimbo.jar")));
        assertEquals(all, files(ALL_JAR));
    }

    static Set<String> files(Path jar) throws Exception {
        try (JarFile file = new JarFile(jar.toFile())) {
            Set<String> names = new TreeSet<>();
            for (JarEntry entry : Collections.list(file.entries())) {
                if (!entry.isDirectory()) names.add(entry.getName());
            }
            return names;
        }
    }

    @Test
    void withoutAnyCopyTheErrorNamesTheLibraryAndBothReasons() throws Exception {
        Harness.Child child = run(List.of(), PLAIN_JAR, null, "DistScenarios", "roundtrip", GROUP, "47110");
        assertEquals(1, child.status(), child::toString);
        assertTrue(child.err().contains("java.lang.UnsatisfiedLinkError: cannot load library NimboReceive: "
                + "no NimboReceive in java.library.path: "), child::toString);
        assertTrue(child.err().contains("; from the jar: no " + NATIVE_DIR + "libNimboReceive.so on the class path"),
                child::toString);
    }

    @Test
    void fromTheJarNimboPacketStillNeedsAProviderOfMnimboSocket() throws Exception {
        Harness.Child alone = run(List.of(), ALL_JAR, null, "PacketScenarios", GROUP, "80");
        assertEquals(1, alone.status(), alone::toString);
        Matcher m = Pattern.compile("UnsatisfiedLinkError: cannot load library NimboPacket: no NimboPacket in "
                + "java.library.path: .*; from the jar: (" + Pattern.quote(TMP.toString()) + "/nimbo-\\d+)"
                + "/libNimboPacket\\.so: .*undefined symbol: mnimboSocket").matcher(alone.err());
        assertTrue(m.find(), alone::toString);
        assertFalse(Files.exists(Path.of(m.group(1))), "left behind: " + m.group(1));

        Harness.Child provided = run(List.of("LD_PRELOAD=" + Harness.preloading(System.getProperty("nimbo.packet.double")),
                "NIMBO_DOUBLE_HANDLE=7"), ALL_JAR, null, "PacketScenarios", GROUP, "80");
        assertEquals(new Harness.Child("c'est ok", "mnimboSocket(0, 0, \"MulticastS\", \"239.1.2.3\", 80)\n", 0),
                provided);
    }
}
