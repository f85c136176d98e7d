// SPDX-License-Identifier: Apache-2.0
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;

/** What the namespace's own counters say about its UDP sockets. */
final class Net {
    private Net() {}

    /** The receive buffer every benchmark socket asks for; the kernel caps it at twice net.core.rmem_max. */
    static final int RCVBUF = 64 << 20;

    /**
     * Refuses to run anywhere but in a namespace whose one interface is loopback. Read from the
     * kernel's list of interfaces, which holds them up or down: the JDK finds none where loopback
     * is down, as it is where tests/router-net runs the router table (its hosts are namespaces of
     * their own).
     */
    static void requirePrivateNamespace() throws IOException {
        for (String line : Files.readAllLines(Path.of("/proc/self/net/dev"))) {
            int colon = line.indexOf(':');
            if (colon >= 0 && !line.substring(0, colon).trim().equals("lo")) {
                throw new IllegalStateException("not a private namespace: " + line.substring(0, colon).trim());
            }
        }
        if (!"1".equals(System.getenv("NIMBO_NETNS"))) throw new IllegalStateException("run under tests/netns-run");
    }

    /**
     * Bytes the kernel charges for the datagrams queued on the UDP socket bound to port. The JDK's
     * sockets are IPv6 sockets that also take IPv4 unless the JVM is told to prefer IPv4.
     */
    static long queuedBytes(int port) throws IOException {
        String local = String.format(":%04X", port);
        for (String table : List.of("/proc/self/net/udp", "/proc/self/net/udp6")) {
            for (String line : Files.readAllLines(Path.of(table))) {
                String[] f = line.trim().split("\\s+");
                if (f[1].endsWith(local)) return Long.parseLong(f[4].substring(f[4].indexOf(':') + 1), 16);
            }
        }
        throw new IllegalStateException("no UDP socket on port " + port);
    }

    /** Datagrams dropped so far in this namespace because a receive buffer was full. */
    static long droppedForBuffer() throws IOException {
        List<String> udp = Files.readAllLines(Path.of("/proc/self/net/snmp")).stream()
                .filter(l -> l.startsWith("Udp:")).toList();
        List<String> names = List.of(udp.get(0).split("\\s+"));
        return Long.parseLong(udp.get(1).split("\\s+")[names.indexOf("RcvbufErrors")]);
    }

    /** Bytes the kernel charges a receive buffer for one datagram of length bytes, measured on fd at port. */
    static long charge(int fd, int port, int length) throws IOException {
        int sender = BenchLoops.openSender(false);
        BenchLoops.send(sender, "127.0.0.1", port, length, 1, false);
        BenchLoops.close(sender);
        long charged = queuedBytes(port);
        if (BenchLoops.discard(fd) != 1) throw new IllegalStateException("port " + port + ": no datagram queued");
        return charged;
    }

    /** How many datagrams charged that much each fit in fd's receive buffer with a sixth to spare, at most max. */
    static int capacity(int fd, long charged, int max) {
        return (int) Math.max(1, Math.min(max, BenchLoops.receiveBuffer(fd) * 5L / 6 / charged));
    }

    /** Waits until the socket on port holds the bytes expected: every datagram sent has landed. */
    static void awaitQueued(int port, long bytes) throws IOException, InterruptedException {
        for (long deadline = System.nanoTime() + 5_000_000_000L; queuedBytes(port) < bytes; Thread.sleep(1)) {
            if (System.nanoTime() > deadline) {
                throw new IllegalStateException("port " + port + ": " + queuedBytes(port) + " of " + bytes + " bytes queued");
            }
        }
    }

    /** Fails when the namespace dropped a datagram since the count given. */
    static void requireNoDrop(long before, String what) throws IOException {
        long dropped = droppedForBuffer() - before;
        if (dropped != 0) throw new IllegalStateException(what + ": " + dropped + " datagrams dropped, buffer full");
    }
}
