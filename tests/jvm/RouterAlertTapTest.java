// SPDX-License-Identifier: Apache-2.0
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static java.nio.file.StandardOpenOption.*;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.net.InetAddress;
import java.net.NetworkInterface;
import java.nio.ByteBuffer;
import java.nio.channels.AsynchronousCloseException;
import java.nio.channels.ClosedByInterruptException;
import java.nio.channels.ClosedChannelException;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.HexFormat;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;
import java.util.stream.Stream;
import nimbo.AlertedDatagram;
import nimbo.DropReason;
import nimbo.RouterAlertTap;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/**
 * RouterAlertTap on the router of tests/router-net (this JVM runs on rtr): datagrams sent from snd
 * to rcv, what the tap is handed, and what rcv's kernel accepts once the tap forwards it.
 *
 * <p>rtr1 and rcv0 have an MTU of 1400, so that longer datagrams need fragments or cannot go on;
 * snd sends IPv6 to rcv in fragments that fit (path MTU 1280), and whole to 2001:db8:2::3, a
 * neighbour of rtr1 that nothing answers for. 198.18.9.0/24 and 2001:db8:9::/64 lie behind rtr1
 * for what arrives on rtr0 only (a rule by arrival interface, which no route of the tap's copies
 * can follow). snd0 has fe80::2 beside its own link-local address, rtr0 fe80::1.
 */
class RouterAlertTapTest {
    private static final int PORT = 7700;
    private static final int FROM = 41000;
    private static final Duration NONE_COMES = Duration.ofMillis(700);
    private static final Duration COMES = Duration.ofSeconds(5);

    @BeforeAll
    static void onTheRouter() throws Exception {
        assertEquals("1", System.getenv("NIMBO_NETNS"), "run on rtr of tests/router-net");
        assertTrue(NetworkInterface.getByName("rtr0") != null && NetworkInterface.getByName("rtr1") != null,
                "run on rtr of tests/router-net");
        run(List.of("ip", "link", "set", "rtr1", "mtu", "1400"));
        run(List.of("ip", "netns", "exec", "rcv", "ip", "link", "set", "rcv0", "mtu", "1400"));
        // By a rule on its source, what snd sends to 198.18.2.4 or 2001:db8:2::4 (rcv's too) goes back.
        run(List.of("sh", "-c", "ip -n rcv addr add 198.18.2.4 dev rcv0 && ip -n rcv addr add 2001:db8:2::4 dev rcv0"
                + " && ip rule add from 198.18.1.2 to 198.18.2.4 table 100"
                + " && ip route add 198.18.2.4 via 198.18.1.2 table 100"
                + " && ip -6 rule add from 2001:db8:1::2 to 2001:db8:2::4 table 100"
                + " && ip -6 route add 2001:db8:2::4 via 2001:db8:1::2 table 100"
                // and to 198.18.2.6 it goes out rtr1, whose MTU is not the main route's (rtr0's)
                + " && ip -n rcv addr add 198.18.2.6 dev rcv0 && ip route add 198.18.2.6 via 198.18.1.2"
                + " && ip rule add from 198.18.1.2 to 198.18.2.6 table 101 && ip route add 198.18.2.6 dev rtr1 table 101"));
        run(List.of("ip", "netns", "exec", "snd", "ip", "-6", "route", "add", "2001:db8:2::2/128", "via",
                "2001:db8:1::1", "mtu", "1280"));
        for (String command : List.of("ip rule add iif rtr0 table 209", "ip route add 198.18.9.0/24 dev rtr1 table 209",
                "ip -6 rule add iif rtr0 table 209", "ip -6 route add 2001:db8:9::/64 dev rtr1 table 209",
                "ip addr add fe80::1/64 dev rtr0 nodad", "ip netns exec snd ip addr add fe80::2/64 dev snd0 nodad")) {
            run(List.of(command.split(" ")));
        }
    }

    /**
     * Datagrams sent from snd: how many the tap is handed (IPv6 fragments come one by one), what
     * forwarding each gives and why it sends none, what arrives at rcv (its kernel checks the UDP
     * checksum; with --checksum a raw socket there shows the field as it came), and the ICMP errors snd's kernel takes for its socket: "N x" of a kind the router
     * limits (six to one host at once, then one a second; N the burst), and the MTU snd's route
     * learns from "fragmentation needed" or Packet Too Big.
     */
    @Tag("arm64")
    @ParameterizedTest(name = "{0}")
    @CsvSource(delimiter = '|', textBlock = """
        ipv4 in transit           | 198.18.2.2    | --ra                   | 1 | 1 | ttl 63 options 94 04 00 00 length 100 | |
        ipv4 plain                | 198.18.2.2    |                        | 0 | 0 | ttl 63 options none length 100 | |
        ipv4 for the router       | 198.18.1.1    | --ra                   | 0 | 0 | | | 3 3 from 198.18.1.1
        ipv4 6000 bytes           | 198.18.2.2    | --ra --length 6000     | 1 | 1 | ttl 63 options 94 04 00 00 length 6000 | |
        ipv4 ttl 1, a burst       | 198.18.2.2    | --ra --ttl 1 --count 20 | 20 | 0 | | TTL_EXPIRED | 6 x 11 0 from 198.18.1.1
        ipv4 DF too long          | 198.18.2.2    | --ra --df --length 1400 | 1 | 0 | | TOO_LONG 1400 | 3 4 from 198.18.1.1 mtu 1400
        ipv4 by source, elsewhere | 198.18.2.4    | --ra                   | 1 | 1 | | |
        ipv4 by source, its MTU   | 198.18.2.6    | --ra --length 1420     | 1 | 0 | | TOO_LONG 1400 | 3 4 from 198.18.1.1 mtu 1400
        ipv4 wrong checksum stays | 198.18.2.2    | --ra --checksum 0x0bad | 1 | 1 | ttl 63 options 94 04 00 00 length 100 checksum 0bad | |
        ipv4 no checksum stays    | 198.18.2.2    | --ra --checksum 0      | 1 | 1 | ttl 63 options 94 04 00 00 length 100 checksum 0000 | | 3 3 from 198.18.2.2
        ipv4 no route             | 198.18.9.2    | --ra                   | 1 | 0 | | NO_ROUTE | 3 0 from 198.18.1.1
        ipv6 in transit           | 2001:db8:2::2 | --ra6 1                | 1 | 1 | hoplimit 63 hopopts 11 00 05 02 00 01 01 00 length 100 | |
        ipv6 other value          | 2001:db8:2::2 | --ra6 2                | 0 | 0 | hoplimit 63 hopopts 11 00 05 02 00 02 01 00 length 100 | |
        ipv6 plain                | 2001:db8:2::2 |                        | 0 | 0 | hoplimit 63 hopopts none length 100 | |
        ipv6 for the router       | 2001:db8:1::1 | --ra6 1                | 0 | 0 | | | 1 4 from 2001:db8:1::1
        ipv6 hop limit 1          | 2001:db8:2::2 | --ra6 1 --ttl 1        | 1 | 0 | | TTL_EXPIRED | 3 0 from 2001:db8:1::1
        ipv6 by source, elsewhere | 2001:db8:2::4 | --ra6 1                | 1 | 1 | | |
        ipv6 too long for the link| 2001:db8:2::3 | --ra6 1 --length 1400  | 1 | 0 | | TOO_LONG 1400 | 2 0 from 2001:db8:1::1 mtu 1400
        ipv6 no route             | 2001:db8:9::2 | --ra6 1                | 1 | 0 | | NO_ROUTE | 1 0 from 2001:db8:1::1
        ipv6 link-local source    | 2001:db8:2::2 | --ra6 1 --from fe80::2%snd0 | 1 | 0 | | NO_ROUTE | 1 2 from fe80::1
        ipv6 6000 bytes, fragments| 2001:db8:2::2 | --ra6 1 --length 6000  | 5 | 1 | hoplimit 63 hopopts 11 00 05 02 00 01 01 00 length 6000 | |
        """)
    void handsOverAndForwards(String name, String to, String options, int handed, int copies, String arrives,
            String drop, String errors) throws Exception {
        boolean ipv6 = to.contains(":");
        List<String> sendOptions = options == null ? List.of() : List.of(options.trim().split(" +"));
        int length = sendOptions.contains("--length")
                ? Integer.parseInt(sendOptions.get(sendOptions.indexOf("--length") + 1)) : 100;
        int ttl = sendOptions.contains("--ttl") ? Integer.parseInt(sendOptions.get(sendOptions.indexOf("--ttl") + 1)) : 64;
        try (RouterAlertTap tap = ipv6 ? RouterAlertTap.openIPv6(1) : RouterAlertTap.openIPv4(17);
             Harness.Watcher rcv = watchRcv(ipv6, arrives == null ? NONE_COMES : COMES,
                     sendOptions.contains("--checksum") ? new String[] {"--raw", "--checksum"} : new String[0])) {
            long start = System.nanoTime();
            Process sender = sendWatchingErrors(to, sendOptions);
            for (int i = 0; i < handed; i++) {
                AlertedDatagram d = tap.receive(COMES);
                assertTrue(d != null, "datagram " + i + " not handed over");
                assertHandedOverWhole(d, ipv6, to, ttl, options.contains("--from") ? "fe80::2" : null,
                        handed == 1 || options.contains("--count") ? length : -1);
                assertEquals(copies, tap.forward(d), () -> d + " " + tap.lastDropReason() + " " + tap.lastDropMtu());
            }
            long seconds = TimeUnit.NANOSECONDS.toSeconds(System.nanoTime() - start);
            DropReason reason = drop == null ? null : DropReason.valueOf(drop.split(" ")[0]);
            assertEquals(reason, tap.lastDropReason());
            assertEquals(drop == null || !drop.contains(" ") ? 0 : Integer.parseInt(drop.split(" ")[1]), tap.lastDropMtu());
            if (reason != null) assertEquals(handed, tap.drops(reason));
            assertNull(tap.receive(NONE_COMES), "handed over more than " + handed);
            assertErrors(errors, errors(sender), seconds);
            if (errors != null && errors.contains(" mtu ")) {
                assertLearnedMtu(to, errors.substring(errors.indexOf(" mtu ")));
            }
            List<String> seen = arrived(rcv);
            if (arrives == null) {
                assertEquals(List.of(), seen);
            } else {
                assertEquals(1, seen.size(), seen::toString);
                assertTrue(seen.get(0).contains(" " + arrives + " "), seen::toString);
            }
        }
    }

    /** A new payload: UDP length, IP length and checksums follow, so rcv's kernel takes it. */
    @Tag("arm64")
    @ParameterizedTest(name = "{0}")
    @CsvSource({"198.18.2.2, --ra", "2001:db8:2::2, --ra6 1"})
    void newPayloadArrivesWhole(String to, String option) throws Exception {
        boolean ipv6 = to.contains(":");
        byte[] changed = "changed by the router".getBytes(StandardCharsets.US_ASCII);
        ByteBuffer payload = ByteBuffer.wrap(changed);
        try (RouterAlertTap tap = ipv6 ? RouterAlertTap.openIPv6(1) : RouterAlertTap.openIPv4(17);
             Harness.Watcher rcv = watchRcv(ipv6, COMES)) {
            send(to, List.of(option.split(" ")));
            AlertedDatagram d = tap.receive(COMES);
            assertEquals(1, tap.forward(d, payload));
            assertEquals(0, payload.position(), "the caller's buffer moved");
            List<String> seen = arrived(rcv);
            assertEquals(1, seen.size(), seen::toString);
            assertTrue(seen.get(0).endsWith(" length " + changed.length + " data " + HexFormat.of().formatHex(changed)),
                    seen::toString);
        }
    }

    /** What the kernel dropped for want of room is counted: nothing is lost silently. */
    @Test
    void everyDatagramIsHandedOverOrCounted() throws Exception {
        int sent = 300;
        try (RouterAlertTap tap = RouterAlertTap.openIPv4(17)) {
            tap.setReceiveBufferSize(1);  // the kernel's least
            send("198.18.2.2", List.of("--ra", "--count", "" + sent));
            int received = 0;
            while (tap.receive(NONE_COMES) != null) received++;
            assertTrue(tap.kernelDrops() > 0, "the queue never overflowed: " + received + " received");
            assertEquals(sent, received + tap.kernelDrops());
        }
    }

    /**
     * shutdownInput in the middle of a flood: the tap hands over what was queued, then null, to each
     * of two forwarding threads, and the kernel forwards the rest itself; rcv gets every datagram the
     * tap's full queue did not drop, once.
     */
    @Test
    void shutdownInputLosesNothing() throws Exception {
        int sent = 100_000;
        Process rcv = new ProcessBuilder("ip", "netns", "exec", "rcv", System.getProperty("nimbo.count"), "--port",
                "" + PORT).start();
        BufferedReader counted = new BufferedReader(new InputStreamReader(rcv.getInputStream(),
                StandardCharsets.US_ASCII));
        assertEquals("ready", counted.readLine());
        try (RouterAlertTap tap = RouterAlertTap.openIPv4(17)) {
            AtomicLong taken = new AtomicLong();
            Callable<Void> forwarding = () -> {
                for (AlertedDatagram d; (d = tap.receive()) != null; taken.incrementAndGet()) tap.forward(d);
                return null;
            };
            ExecutorService threads = Executors.newFixedThreadPool(2);
            List<Future<Void>> forwarders = List.of(threads.submit(forwarding), threads.submit(forwarding));
            Process flood = new ProcessBuilder("ip", "netns", "exec", "snd", System.getProperty("nimbo.flood"), "--to",
                    "198.18.2.2", "--port", "" + PORT, "--router-alert", "--count", "" + sent).start();
            while (taken.get() < 1000) Thread.sleep(1);
            assertFalse(tap.isInputShutdown());
            assertTrue(tap.shutdownInput().isInputShutdown());
            assertEquals(0, flood.waitFor());
            for (Future<Void> f : forwarders) f.get(30, TimeUnit.SECONDS);
            threads.shutdown();
            assertNull(tap.receive(), "handed over after the end");
            rcv.getOutputStream().close();  // go
            String[] line = counted.readLine().split(" ");  // received N span S ns drops D
            assertEquals(sent - tap.kernelDrops(), Long.parseLong(line[1]), String.join(" ", line));
            assertEquals("0", line[6], "rcv dropped some");
            assertTrue(Long.parseLong(line[1]) > taken.get(), "the kernel forwarded none");
        } finally {
            rcv.destroy();
        }
    }

    /** A tap that cannot get its buffers leaves no descriptor open, nor a socket taking Router Alert. */
    @Test
    void failedOpenLeavesNothingOpen() throws Exception {
        Harness.Child child = Harness.run(Harness.javaCommand(List.of("-XX:MaxDirectMemorySize=64k"),
                "RouterAlertChild", "tap-without-memory"));
        assertEquals("java.lang.OutOfMemoryError, 0 descriptors left open\n", child.out(), child::toString);
    }

    @Test
    void timeOutGivesNull() throws Exception {
        try (RouterAlertTap tap = RouterAlertTap.openIPv4(17)) {
            tap.setMark(0x5241);  // what tap-check proves on the wire with nimbo-tap --mark
            assertEquals(0x5241, tap.getMark());
            long start = System.nanoTime();
            assertNull(tap.receive(Duration.ofMillis(300)));
            assertTrue(System.nanoTime() - start >= TimeUnit.MILLISECONDS.toNanos(300));
            assertNull(tap.receive(Duration.ZERO));
            assertThrows(IllegalArgumentException.class, () -> tap.receive(Duration.ofMillis(-1)));
        }
    }

    /** As NIO channels do: close() ends a waiting receive, an interrupt closes the tap. */
    @ParameterizedTest(name = "{0}")
    @CsvSource({"close, java.nio.channels.AsynchronousCloseException",
                "interrupt, java.nio.channels.ClosedByInterruptException"})
    void waitEnds(String how, Class<?> thrown) throws Exception {
        long before = tapDescriptors();
        RouterAlertTap tap = RouterAlertTap.openIPv6(1);
        CompletableFuture<Throwable> outcome = new CompletableFuture<>();
        Thread waiter = new Thread(() -> {
            try {
                tap.receive();
                outcome.complete(null);
            } catch (Throwable e) {
                outcome.complete(e);
            }
        });
        waiter.start();
        Thread.sleep(200);  // well into the wait
        if (how.equals("close")) {
            tap.close();
        } else {
            waiter.interrupt();
        }
        assertInstanceOf(thrown, outcome.get(5, TimeUnit.SECONDS));
        assertEquals(before, tapDescriptors(), "the waiter left, and the descriptors stayed open");
        assertFalse(tap.isOpen());
        assertThrows(ClosedChannelException.class, tap::receive);
        assertThrows(ClosedChannelException.class, tap::getReceiveBufferSize);
        assertEquals(0, tap.kernelDrops());
        tap.close();
    }

    /** Closing a tap that no call is using closes its sockets and its eventfd at once. */
    @Test
    void closeWithNoCallInProgressClosesTheDescriptors() throws Exception {
        long before = tapDescriptors();
        RouterAlertTap tap = RouterAlertTap.openIPv4(17);
        assertEquals(before + 4, tapDescriptors());
        tap.close();
        assertEquals(before, tapDescriptors());
    }

    /**
     * An interrupted thread's call closes the tap, as NIO channels do, also when a datagram is
     * queued that the call could take without waiting.
     */
    @Test
    void interruptedCallerClosesTheTapThoughADatagramIsQueued() throws Exception {
        long before = tapDescriptors();
        RouterAlertTap tap = RouterAlertTap.openIPv4(17);
        send("198.18.2.2", List.of("--ra"));
        awaitQueued();
        Thread.currentThread().interrupt();
        try {
            assertThrows(ClosedByInterruptException.class, () -> tap.receive(NONE_COMES));
        } finally {
            Thread.interrupted();
        }
        assertFalse(tap.isOpen());
        assertEquals(before, tapDescriptors());
    }

    /** With IPV6_ROUTER_ALERT_ISOLATE a tap in another namespace takes nothing this router forwards. */
    @Test
    void tapInAnotherNamespaceTakesNothing() throws Exception {
        List<String> command = new ArrayList<>(List.of("ip", "netns", "exec", "snd"));
        command.addAll(Harness.javaCommand(List.of(), "RouterAlertChild", "tap", "1", "3000"));
        Process other = new ProcessBuilder(command).redirectErrorStream(true).start();
        String ready = new String(other.getInputStream().readNBytes(6), StandardCharsets.US_ASCII);
        assertEquals("ready\n", ready);
        try (Harness.Watcher rcv = watchRcv(true, COMES)) {
            send("2001:db8:2::2", List.of("--ra6", "1"));
            List<String> seen = arrived(rcv);
            assertEquals(1, seen.size(), "the router did not forward it: " + seen);
        }
        assertTrue(other.waitFor(30, TimeUnit.SECONDS));
        assertEquals("nothing\n", new String(other.getInputStream().readAllBytes(), StandardCharsets.US_ASCII));
    }

    @Test
    void forwardRefusesWhatItCannotSend() throws Exception {
        RouterAlertTap ipv4 = RouterAlertTap.openIPv4(17);
        try (RouterAlertTap ipv6 = RouterAlertTap.openIPv6(1)) {
            send("198.18.2.2", List.of("--ra"));
            AlertedDatagram d = ipv4.receive(COMES);
            assertThrows(IllegalArgumentException.class, () -> ipv6.forward(d));
            assertThrows(IllegalArgumentException.class, () -> ipv4.forward(d, ByteBuffer.allocate(65536)));
            Path sparse = Files.createTempFile("nimbo", ".sparse");  // Integer.MAX_VALUE - 10 bytes, no memory
            try (FileChannel c = FileChannel.open(sparse, READ, WRITE, DELETE_ON_CLOSE)) {
                c.write(ByteBuffer.allocate(1), Integer.MAX_VALUE - 11);  // a 32-bit JVM has no room to map it:
                if (System.getProperty("sun.arch.data.model").equals("64"))
                    assertThrows(IllegalArgumentException.class,
                            () -> ipv4.forward(d, c.map(FileChannel.MapMode.READ_ONLY, 0, Integer.MAX_VALUE - 10)));
            }
            ipv4.close();
            assertThrows(ClosedChannelException.class, () -> ipv4.forward(d));
            assertThrows(ClosedChannelException.class, () -> ipv4.setMark(1));
        }
    }

    private static void assertHandedOverWhole(AlertedDatagram d, boolean ipv6, String to, int ttl, String from,
            int length) throws Exception {
        assertEquals(InetAddress.getByName(from != null ? from : ipv6 ? "2001:db8:1::2" : "198.18.1.2"), d.source());
        assertEquals(InetAddress.getByName(to), d.destination());
        assertEquals(ttl, d.ttl());
        assertEquals(ipv6 ? 1 : 0, d.routerAlertValue());
        assertEquals(NetworkInterface.getByName("rtr0").getIndex(), d.interfaceIndex());
        assertTrue(d.packet().isReadOnly() && d.options().isReadOnly() && d.payload().isReadOnly());
        byte[] options = new byte[d.options().remaining()];
        d.options().get(options);
        byte next = (byte) (length < 0 ? 44 : 17);  // a fragment header, or UDP
        assertArrayEquals(ipv6 ? new byte[] {next, 0, 5, 2, 0, 1, 1, 0} : new byte[] {(byte) 0x94, 4, 0, 0}, options);
        if (length < 0) {
            assertEquals(44, d.protocol(), "an IPv6 fragment");
            assertEquals(-1, d.sourcePort());
            return;
        }
        assertEquals(17, d.protocol());
        assertEquals(FROM, d.sourcePort());
        assertEquals(PORT, d.destinationPort());
        assertEquals(ByteBuffer.wrap(Harness.payload(length)), d.payload());
        assertEquals((ipv6 ? 48 : 24) + 8 + length, d.packet().remaining());
    }

    /** The sockets and eventfds this JVM holds: where a tap's descriptors show. */
    private static long tapDescriptors() throws Exception {
        try (Stream<Path> fds = Files.list(Path.of("/proc/self/fd"))) {
            return fds.map(RouterAlertTapTest::target)
                    .filter(t -> t.startsWith("socket:") || t.equals("anon_inode:[eventfd]")).count();
        }
    }

    private static String target(Path fd) {
        try {
            return Files.readSymbolicLink(fd).toString();
        } catch (IOException e) {
            return "";  // the listing's own descriptor, closed since
        }
    }

    /** Until the IPv4 UDP tap's socket, bound to 224.0.0.0, has a datagram queued. */
    private static void awaitQueued() throws Exception {
        for (long end = System.nanoTime() + COMES.toNanos(); System.nanoTime() < end; Thread.sleep(10)) {
            for (String line : Files.readAllLines(Path.of("/proc/self/net/raw"))) {
                String[] f = line.trim().split("\\s+");
                if (f[1].equals("000000E0:0011") && !f[4].endsWith(":00000000")) {
                    return;
                }
            }
        }
        throw new AssertionError("no datagram queued on the tap");
    }

    /** The datagrams the watcher saw, without its closing line. */
    private static List<String> arrived(Harness.Watcher watcher) throws Exception {
        return watcher.datagrams().stream().filter(line -> line.startsWith("from ")).toList();
    }

    private static Harness.Watcher watchRcv(boolean ipv6, Duration timeout, String... more) throws Exception {
        List<String> args = new ArrayList<>(List.of("--port", "" + PORT, "--count", "1",
                "--timeout-ms", "" + timeout.toMillis(), "--data-bytes", "32"));
        if (ipv6) args.add(0, "--ipv6");
        args.addAll(List.of(more));
        return Harness.Watcher.on("rcv", args.toArray(new String[0]));
    }

    /** "N x LINE": N to N + seconds of LINE, for errors the router limits to one a second after a burst of N. */
    private static void assertErrors(String expected, List<String> seen, long seconds) {
        if (expected == null) {
            assertEquals(List.of(), seen);
            return;
        }
        int at = expected.indexOf(" x ");
        int burst = at < 0 ? 1 : Integer.parseInt(expected.substring(0, at));
        String line = at < 0 ? expected : expected.substring(at + 3);
        assertTrue(seen.size() >= burst && seen.size() <= burst + (at < 0 ? 0 : seconds), seen::toString);
        assertEquals(List.of(line), seen.stream().distinct().toList());
    }

    /** snd's route to `to` learned the MTU (" mtu N") from the error; forgotten again for the next rows. */
    private static void assertLearnedMtu(String to, String mtu) throws Exception {
        String v = to.contains(":") ? "-6" : "-4";
        // Without a sanitizer runtime this JVM may preload: ip's route printing trips AddressSanitizer.
        Harness.Child route = Harness.capture(
                List.of("env", "-u", "LD_PRELOAD", "ip", "netns", "exec", "snd", "ip", v, "route", "get", to));
        assertTrue(route.out().contains(mtu + " "), route::toString);
        run(List.of("ip", "netns", "exec", "snd", "ip", v, "route", "flush", "cache"));
    }

    /** send-udp on snd, in the background: it sends, and reports the ICMP errors that came back once told. */
    private static Process sendWatchingErrors(String to, List<String> options) throws Exception {
        List<String> command = new ArrayList<>(List.of("ip", "netns", "exec", "snd", System.getProperty("nimbo.send"),
                "--to", to, "--port", "" + PORT, "--from-port", "" + FROM, "--errors"));
        command.addAll(options);
        return new ProcessBuilder(command).redirectErrorStream(true).start();
    }

    private static List<String> errors(Process sender) throws Exception {
        sender.getOutputStream().close();
        String out = new String(sender.getInputStream().readAllBytes(), StandardCharsets.US_ASCII);
        assertTrue(sender.waitFor(30, TimeUnit.SECONDS));
        assertEquals(0, sender.exitValue(), out);
        return out.lines().toList();
    }

    private static void send(String to, List<String> options) throws Exception {
        List<String> command = new ArrayList<>(List.of("ip", "netns", "exec", "snd", System.getProperty("nimbo.send"),
                "--to", to, "--port", "" + PORT, "--from-port", "" + FROM));
        command.addAll(options);
        run(command);
    }

    private static void run(List<String> command) throws Exception {
        Harness.Child child = Harness.capture(command);
        assertEquals(0, child.status(), () -> command + ": " + child);
    }
}
