// SPDX-License-Identifier: Apache-2.0
import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetAddress;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.TreeSet;

/**
 * A program that uses the libraries however they reached it (the jar alone, the installed
 * package, java.library.path), run in a child JVM by DistributionTest.
 *
 * <p>{@code roundtrip GROUP PORT}: sends through NimboSend to the group, receiving with
 * NimboReceive, and through NimboSendUnicast to loopback, receiving with a JDK socket; samples Quillon, then prints the file each library
 * was mapped from. {@code extract CLASS...}: unpacks each class's library from the jar the way
 * NimboNative does and prints the folder it went to, its permissions and the copy's size.
 * {@code library-path}: prints the JVM's java.library.path. {@code clock}: samples Quillon and
 * prints the file its library was mapped from. {@code availability}: asks NimboNative twice
 * whether Quillon's library is available and why not, then uses the class, and prints the
 * answers and how many copies of the library are mapped.
 */
public final class DistScenarios {
    static final String TEXT = "carried by the jar";
    static final byte[] DATA = TEXT.getBytes(StandardCharsets.US_ASCII);

    public static void main(String[] a) throws Exception {
        switch (a[0]) {
            case "roundtrip" -> roundtrip(a[1], Integer.parseInt(a[2]));
            case "extract" -> {
                for (int i = 1; i < a.length; i++) extract(a[i]);
            }
            case "library-path" -> System.out.println(System.getProperty("java.library.path"));
            case "clock" -> clock();
            case "availability" -> availability();
            default -> throw new IllegalArgumentException("no scenario " + a[0]);
        }
    }

    static void roundtrip(String group, int port) throws Exception {
        NimboReceive.init_socket(group, port);
        int fd = NimboSend.init_socket(0, group, 0);
        NimboSend.write(fd, DATA, DATA.length, group, port);
        NimboSend.close_socket(fd);
        System.out.println("multicast " + new String(NimboReceive.read(), 0, DATA.length, StandardCharsets.US_ASCII));
        try (DatagramSocket host = new DatagramSocket(0, InetAddress.getLoopbackAddress())) {
            host.setSoTimeout(5000);
            NimboSendUnicast.init_socket();
            NimboSendUnicast.write("127.0.0.1", host.getLocalPort(), DATA);
            System.out.println("unicast " + received(host));
        }
        long micros = Quillon.TempsSys();
        System.out.println("quillon " + (micros >= 0 && micros < 1_000_000 ? "in range" : micros));

        for (String file : mapped("NimboSend|NimboReceive|NimboSendUnicast|Quillon")) {
            System.out.println("mapped " + file);
        }
    }

    /** The files whose name is lib&lt;one of names&gt;.so that this process has mapped. */
    static TreeSet<String> mapped(String names) throws Exception {
        TreeSet<String> mapped = new TreeSet<>();
        for (String line : Files.readAllLines(Path.of("/proc/self/maps"))) {
            String[] fields = line.split(" +", 6);
            if (fields.length == 6 && fields[5].matches(".*/lib(" + names + ")\\.so.*")) {
                mapped.add(fields[5]);
            }
        }
        return mapped;
    }

    static void clock() throws Exception {
        long micros = Quillon.TempsSys();
        System.out.println("quillon " + (micros >= 0 && micros < 1_000_000 ? "in range" : micros));
        for (String file : mapped("Quillon")) System.out.println("mapped " + file);
    }

    static void availability() throws Exception {
        for (int i = 0; i < 2; i++) {
            Throwable cause = NimboNative.unavailabilityCause("Quillon");
            System.out.println("available " + NimboNative.isAvailable("Quillon") + " cause "
                    + (cause == null ? "none" : cause.getMessage()));
        }
        try {
            Quillon.TempsSys();
            System.out.println("class works");
        } catch (UnsatisfiedLinkError e) {
            System.out.println("class fails " + e.getMessage());
        }
        System.out.println("copies mapped " + mapped("Quillon").size());
    }

    static String received(DatagramSocket socket) throws Exception {
        DatagramPacket packet = new DatagramPacket(new byte[100], 100);
        socket.receive(packet);
        return new String(packet.getData(), 0, packet.getLength(), StandardCharsets.US_ASCII);
    }

    static void extract(String name) throws Exception {
        Path copy = NimboNative.extract(name);
        Path dir = copy.getParent();
        System.out.println(dir + " " + PosixFilePermissions.toString(Files.getPosixFilePermissions(dir))
                + " " + copy.getFileName() + " " + Files.size(copy));
        Files.delete(copy);
        Files.delete(dir);
    }
}
