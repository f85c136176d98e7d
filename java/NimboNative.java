// SPDX-License-Identifier: Apache-2.0
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Locale;
import java.util.Set;

/**
 * Loads the library of one of the native classes: the ordinary way first, so that
 * java.library.path and installed copies win, then from the copy a jar carries under
 * native/&lt;os&gt;-&lt;arch&gt;/. Not part of the API.
 */
final class NimboNative {
    private static final FileAttribute<Set<PosixFilePermission>> OWNER_ONLY =
            PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------"));

    private NimboNative() {}

    /** Loads lib&lt;name&gt;.so, or throws UnsatisfiedLinkError with the reason each way failed. */
    static void load(String name) {
        try {
            System.loadLibrary(name);
        } catch (UnsatisfiedLinkError ordinary) {
            try {
                loadFromJar(name);
            } catch (IOException | UnsatisfiedLinkError fromJar) {
                UnsatisfiedLinkError both = new UnsatisfiedLinkError("cannot load library " + name
                        + ": " + ordinary.getMessage() + "; from the jar: " + fromJar.getMessage());
                both.addSuppressed(ordinary);
                both.addSuppressed(fromJar);
                throw both;
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
        } finally {
            Files.deleteIfExists(copy);
            Files.deleteIfExists(copy.getParent());
        }
    }

    /** Copies the jar's lib&lt;name&gt;.so into a new folder that only this user can enter. */
    static Path extract(String name) throws IOException {
        String resource = "native/" + platform() + "/" + System.mapLibraryName(name);
        try (InputStream in = NimboNative.class.getResourceAsStream("/" + resource)) {
            if (in == null) {
                throw new IOException("no " + resource + " on the class path");
            }
            Path dir = Files.createTempDirectory("nimbo-", OWNER_ONLY);
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

    /** linux-x86_64 on the platform the jar carries libraries for. */
    private static String platform() {
        String os = System.getProperty("os.name").toLowerCase(Locale.ROOT);
        String arch = System.getProperty("os.arch");
        return os + "-" + (arch.equals("amd64") ? "x86_64" : arch);
    }
}
