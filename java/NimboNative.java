// SPDX-License-Identifier: Apache-2.0
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;

/**
 * Loads the native libraries: the ordinary way first, so that java.library.path and installed
 * copies win, then from the copy a jar carries under META-INF/native/&lt;platform&gt;/, where the
 * platform is linux-x86, linux-x86_64 or linux-aarch64.
 *
 * <p>Each library is tried at most once per class loader; the outcome is remembered, and
 * {@link #isAvailable} and {@link #unavailabilityCause} report it without throwing.
 *
 * <p>System property {@code nimbo.native.dir}: the folder the jar's copies go to (default
 * java.io.tmpdir). It must allow executable mappings (not be mounted noexec).
 */
public final class NimboNative {
    /** The platforms a jar may carry, as folder names under META-INF/native/. */
    private static final List<String> PLATFORMS = List.of("linux-x86", "linux-x86_64", "linux-aarch64");

    private static final FileAttribute<Set<PosixFilePermission>> OWNER_ONLY =
            PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------"));

    /** Each library tried so far, and why it failed to load; null when it loaded. */
    private static final Map<String, UnsatisfiedLinkError> OUTCOMES = new HashMap<>();

    private NimboNative() {}

    /**
     * Whether a library is loaded, loading it first if it was never tried.
     *
     * @param library the library's name without prefix or suffix, such as {@code NimboSend}
     * @return true when lib&lt;library&gt;.so is loaded
     */
    public static boolean isAvailable(String library) {
        return outcome(library) == null;
    }

    /**
     * Why a library could not be loaded, loading it first if it was never tried; nothing is thrown.
     *
     * @param library the library's name without prefix or suffix, such as {@code NimboSend}
     * @return the error that loading lib&lt;library&gt;.so gave, or null when it is loaded
     */
    public static Throwable unavailabilityCause(String library) {
        return outcome(library);
    }

    /** Loads lib&lt;name&gt;.so, or throws UnsatisfiedLinkError with the reason each way failed. */
    static void load(String name) {
        UnsatisfiedLinkError failure = outcome(name);
        if (failure != null) {
            throw failure;
        }
    }

    /**
     * Class initialisers of different classes may load at once; one lock keeps each library to one
     * attempt. Nothing here initialises another of our classes, so the lock cannot deadlock.
     */
    private static synchronized UnsatisfiedLinkError outcome(String name) {
        if (!OUTCOMES.containsKey(name)) {
            OUTCOMES.put(name, attempt(name));
        }
        return OUTCOMES.get(name);
    }

    private static UnsatisfiedLinkError attempt(String name) {
        try {
            System.loadLibrary(name);
            return null;
        } catch (UnsatisfiedLinkError ordinary) {
            try {
                loadFromJar(name);
                return null;
            } catch (IOException | UnsatisfiedLinkError fromJar) {
                UnsatisfiedLinkError both = new UnsatisfiedLinkError("cannot load library " + name
                        + ": " + ordinary.getMessage() + "; from the jar: " + fromJar.getMessage());
                both.addSuppressed(ordinary);
                both.addSuppressed(fromJar);
                return both;
            }
        }
    }

    /**
     * The copy is deleted as soon as it is loaded: the mapping outlives the file, and nothing is
     * left behind when native code ends the process, which skips the JVM's exit hooks.
     */
    private static void loadFromJar(String name) throws IOException {
        Path copy = extract(name);
        try {
            System.load(copy.toString());
        } catch (UnsatisfiedLinkError e) {
            if (!allowsExecution(copy.getParent())) {
                UnsatisfiedLinkError noexec = new UnsatisfiedLinkError(e.getMessage() + " ("
                        + copy.getParent().getParent() + " is on a file system mounted noexec, where no"
                        + " library can be mapped: name a folder that allows it with -Dnimbo.native.dir=...)");
                noexec.initCause(e);
                throw noexec;
            }
            throw e;
        } finally {
            Files.deleteIfExists(copy);
            Files.deleteIfExists(copy.getParent());
        }
    }

    /** Copies the jar's lib&lt;name&gt;.so into a new folder in nimbo.native.dir that only this user can enter. */
    static Path extract(String name) throws IOException {
        String resource = resource(jarPlatform(System.getProperty("os.name"), System.getProperty("os.arch"), name),
                name);
        try (InputStream in = NimboNative.class.getResourceAsStream("/" + resource)) {
            if (in == null) {
                throw new IOException("no " + resource + " on the class path");
            }
            Path dir;
            try {
                dir = Files.createTempDirectory(nativeDir(), "nimbo-", OWNER_ONLY);
            } catch (IOException e) {
                throw new IOException("cannot make a folder in " + nativeDir() + " (nimbo.native.dir): " + e, e);
            }
            Path copy = dir.resolve(System.mapLibraryName(name));
            try {
                Files.copy(in, copy);
            } catch (IOException e) {
                Files.deleteIfExists(copy);
                Files.deleteIfExists(dir);
                throw e;
            }
            return copy;
        }
    }

    /** Absolute, as System.load wants the copy's path: a relative folder is taken from the working directory. */
    private static Path nativeDir() {
        return Path.of(System.getProperty("nimbo.native.dir", System.getProperty("java.io.tmpdir"))).toAbsolutePath();
    }

    private static String resource(String platform, String name) {
        return "META-INF/native/" + platform + "/" + System.mapLibraryName(name);
    }

    /**
     * linux-x86, linux-x86_64 or linux-aarch64 for these os.name and os.arch values; on any other platform an
     * UnsatisfiedLinkError that names the platform seen and those the jar carries library for.
     */
    static String jarPlatform(String osName, String osArch, String library) {
        String platform = platform(osName, osArch);
        if (platform != null) {
            return platform;
        }
        List<String> carried = new ArrayList<>();
        for (String p : PLATFORMS) {
            if (NimboNative.class.getResource("/" + resource(p, library)) != null) {
                carried.add(p);
            }
        }
        throw new UnsatisfiedLinkError("no copy for this platform (os.name " + osName + ", os.arch " + osArch
                + "); the jar carries " + System.mapLibraryName(library) + " for "
                + (carried.isEmpty() ? "no platform" : String.join(", ", carried)));
    }

    /** The jar's folder name for a platform, or null when the jar can carry none for it. */
    static String platform(String osName, String osArch) {
        if (!"Linux".equals(osName)) {
            return null;
        }
        switch (osArch) {
            case "i386":
            case "i486":
            case "i586":
            case "i686":
            case "x86":
                return "linux-x86";
            case "amd64":
            case "x86_64":
                return "linux-x86_64";
            case "aarch64":
            case "arm64":
                return "linux-aarch64";
            default:
                return null;
        }
    }

    /** False only when the folder is known to be on a file system mounted noexec. */
    private static boolean allowsExecution(Path folder) {
        try {
            String path = folder.toRealPath().toString();
            String best = "";
            boolean noexec = false;
            // Fields: id parent major:minor root mount-point options ...; octal escapes in paths.
            for (String line : Files.readAllLines(Path.of("/proc/self/mountinfo"))) {
                String[] fields = line.split(" ");
                if (fields.length < 6) {
                    continue;
                }
                String mountPoint = unescape(fields[4]);
                boolean holds = path.equals(mountPoint) || mountPoint.equals("/")
                        || path.startsWith(mountPoint + "/");
                // A later mount on the same point hides the earlier one.
                if (holds && mountPoint.length() >= best.length()) {
                    best = mountPoint;
                    noexec = Set.of(fields[5].split(",")).contains("noexec");
                }
            }
            return !noexec;
        } catch (IOException | RuntimeException e) {
            return true;
        }
    }

    private static String unescape(String field) {
        StringBuilder out = new StringBuilder();
        for (int i = 0; i < field.length(); i++) {
            char c = field.charAt(i);
            if (c == '\\' && i + 3 < field.length()) {
                out.append((char) Integer.parseInt(field.substring(i + 1, i + 4), 8));
                i += 3;
            } else {
                out.append(c);
            }
        }
        return out.toString();
    }
}
