// SPDX-License-Identifier: Apache-2.0
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.lang.reflect.Modifier;
import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetSocketAddress;
import java.net.MulticastSocket;
import java.net.StandardProtocolFamily;
import java.net.StandardSocketOptions;
import java.nio.ByteBuffer;
import java.nio.channels.ClosedChannelException;
import java.nio.channels.DatagramChannel;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicReference;
import nimbo.RouterAlert;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** nimbo.RouterAlert on the JDK's own channels and sockets, checked on the wire with nimbo-watch. */
class RouterAlertTest {
    private static final int PORT = 7600;

    @BeforeAll
    static void privateNamespace() throws Exception {
        Harness.requirePrivateNamespace();
    }

    @Test
    void loadsFromTheModuleItWasGiven() {
        assertTrue(RouterAlert.isAvailable());
        assertNull(RouterAlert.unavailabilityCause());
        assertEquals(Boolean.getBoolean("nimbo.expect.named"), RouterAlert.class.getModule().isNamed());
    }

    /** The loader the module's classes share is no API of the module. */
    @Test
    void theLoaderIsNotPublic() throws Exception {
        assertFalse(Modifier.isPublic(Class.forName("nimbo.NimboNative").getModifiers()));
    }

    /** One datagram from each kind of JDK sender after the steps; what nimbo-watch saw of it. */
    @Tag("arm64")
    @ParameterizedTest(name = "{0} to {1} after \"{2}\": ttl {3} options {4}")
    @CsvSource({
        "inet,      127.0.0.1, enable,         64,  94 04 00 00",
        "dual,      127.0.0.1, enable,         64,  94 04 00 00",
        "dual,      239.1.2.3, enable,         128, 94 04 00 00",
        "inet,      239.1.2.3, enable enable,  128, 94 04 00 00",
        "dual,      127.0.0.1, enable disable, 64,  none",
        "dual,      239.1.2.3, none,           128, none",
        "socket,    127.0.0.1, enable,         64,  94 04 00 00",
        "multicast, 239.1.2.3, enable,         128, 94 04 00 00",
        "adaptor,   127.0.0.1, enable,         64,  94 04 00 00",
        "socket,    239.1.2.3, enable disable, 128, none",
    })
    void datagramsCarryWhatWasAskedFor(String kind, String host, String steps, int ttl, String options)
            throws Exception {
        List<String> args = new ArrayList<>(List.of("--port", "" + PORT, "--count", "1", "--timeout-ms", "5000"));
        if (host.startsWith("239.")) args.addAll(List.of("--group", host));
        try (Harness.Watcher watcher = new Harness.Watcher(args.toArray(new String[0]));
             Sender sender = Sender.open(kind)) {
            boolean enabled = false;
            for (String step : steps.split(" ")) {
                if (step.equals("enable")) sender.enable();
                if (step.equals("disable")) sender.disable();
                enabled = step.equals("enable");
            }
            assertEquals(enabled, sender.isEnabled());
            sender.send(new InetSocketAddress(host, PORT), ttl);
            List<String> seen = watcher.datagrams();
            assertEquals(1, seen.size(), seen::toString);
            assertTrue(seen.get(0).contains(" ttl " + ttl + " options " + options + " length 5 "), seen::toString);
        }
    }

    /** The hop-by-hop Router Alert after the steps: read back, and as nimbo-watch --ipv6 saw it on ::1. */
    @Tag("arm64")
    @ParameterizedTest(name = "{0} after \"{1}\": hopopts {3}")
    @CsvSource({
        "dual,   enableIPv6,                true,  11 00 05 02 00 01 01 00",
        "dual,   enableIPv6 disable,        false, none",
        "dual,   enable enableIPv6 disable, false, none",
        "socket, enableIPv6 disable,        false, none",
    })
    void disableTakesTheHopByHopRouterAlertOff(String kind, String steps, boolean enabled, String hopopts)
            throws Exception {
        try (Harness.Watcher watcher = new Harness.Watcher("--ipv6", "--port", "" + PORT, "--count", "1",
                "--timeout-ms", "5000");
             Sender sender = Sender.open(kind)) {
            for (String step : steps.split(" ")) {
                if (step.equals("enable")) sender.enable();
                if (step.equals("enableIPv6")) sender.enableIPv6(1);
                if (step.equals("disable")) sender.disable();
            }
            assertEquals(enabled, sender.isEnabledIPv6());
            assertFalse(sender.isEnabled());
            sender.send(new InetSocketAddress("::1", PORT), 1);
            List<String> seen = watcher.datagrams();
            assertEquals(1, seen.size(), seen::toString);
            assertTrue(seen.get(0).contains(" hopopts " + hopopts + " length 5 "), seen::toString);
        }
    }

    /** A socket that already carries options keeps them; Router Alert comes and goes after them. */
    @ParameterizedTest(name = "options {0}")
    @CsvSource({
        "01010101,         01 01 01 01 94 04 00 00,                   01 01 01 01",
        "0707040000000000, 07 07 08 7f 00 00 01 94 04 00 00 00,       07 07 08 7f 00 00 01 00",
    })
    void optionsAlreadyThereStay(String before, String withAlert, String without) throws Exception {
        try (Harness.Watcher watcher = new Harness.Watcher("--port", "" + PORT, "--count", "2", "--timeout-ms", "5000")) {
            List<String> command = new ArrayList<>(List.of(System.getProperty("nimbo.with.ip.options"), before));
            command.addAll(childJvm("inherited", "" + PORT));
            Harness.Child child = Harness.run(command);
            assertEquals(new Harness.Child("", "", 0), child);
            List<String> seen = watcher.datagrams();
            assertEquals(2, seen.size(), seen::toString);
            assertTrue(seen.get(0).contains(" options " + withAlert + " length 2 "), seen::toString);
            assertTrue(seen.get(1).contains(" options " + without + " length 3 "), seen::toString);
        }
    }

    /**
     * disable changes both Router Alerts or neither: without CAP_NET_RAW the hop-by-hop header
     * cannot change, so the IPv4 option stays too.
     */
    @ParameterizedTest(name = "without CAP_NET_RAW {0}: {1}")
    @CsvSource({
        "false, 'none, then ipv4 false ipv6 false'",
        "true,  'java.io.IOException (CAP_NET_RAW), then ipv4 true ipv6 true'",
    })
    void disableChangesBothOrNeither(boolean withoutNetRaw, String outcome) throws Exception {
        List<String> command = new ArrayList<>(List.of(System.getProperty("nimbo.with.ip.options"),
                "--hop-by-hop", "0000050200010100", "94040000"));
        if (withoutNetRaw) command.addAll(List.of("setpriv", "--inh-caps=-all", "--bounding-set=-net_raw"));
        command.addAll(childJvm("disable-inherited"));
        assertEquals(new Harness.Child(outcome + "\n", "", 0), Harness.run(command));
    }

    /** Bad use is the standard exception and nothing else: no message, no end of the JVM. */
    @ParameterizedTest(name = "{0}: {2}")
    @CsvSource({
        "null channel,    false, java.lang.NullPointerException",
        "null socket,     false, java.lang.NullPointerException",
        "closed channel,  false, java.nio.channels.ClosedChannelException",
        "closed socket,   false, java.net.SocketException",
        "foreign channel, false, java.lang.IllegalArgumentException",
        "foreign socket,  false, java.lang.IllegalArgumentException (-Djdk.net.usePlainDatagramSocketImpl=true)",
        "value -1,        false, java.lang.IllegalArgumentException",
        "value 65536,     false, java.lang.IllegalArgumentException",
        "ipv6 on inet,    false, java.lang.IllegalArgumentException",
        "ipv6,            false, none",
        "ipv6,            true,  java.io.IOException (CAP_NET_RAW)",
        "ipv4,            true,  none",
        "tap protocol 255, false, java.lang.IllegalArgumentException",
        "tap value 65536, false, java.lang.IllegalArgumentException",
        "tap ipv4,        false, none",
        "tap ipv4,        true,  java.io.IOException (CAP_NET_RAW)",
        "tap ipv6,        true,  java.io.IOException (CAP_NET_RAW)",
    })
    void badUseIsAnException(String use, boolean withoutNetRaw, String thrown) throws Exception {
        List<String> command = new ArrayList<>();
        if (withoutNetRaw) command.addAll(List.of("setpriv", "--inh-caps=-all", "--bounding-set=-net_raw"));
        command.addAll(childJvm("use", use));
        assertEquals(new Harness.Child(thrown + "\n", "", 0), Harness.run(command));
    }

    /** JDK 17's old socket implementation puts the socket on no channel. */
    @Test
    void oldSocketImplementationIsRefused() throws Exception {
        assumeTrue(Runtime.version().feature() == 17);
        List<String> command = childJvm("use", "plain socket");
        command.add(1, "-Djdk.net.usePlainDatagramSocketImpl=true");
        assertEquals(new Harness.Child("java.lang.IllegalArgumentException (-Djdk.net.usePlainDatagramSocketImpl=true)\n",
                "", 0), Harness.run(command));
    }

    /**
     * A thread toggling Router Alert while the channel is closed under it never touches the
     * descriptor number after the close: a socket opened at once, likely on that number, stays
     * plain, and the thread stops at the close rather than going on with the new socket.
     */
    @Test
    void closeUnderAConcurrentCallerLeavesTheNextSocketAlone() throws Exception {
        for (int round = 0; round < 200; round++) {
            DatagramChannel channel = DatagramChannel.open();
            AtomicReference<Throwable> failure = new AtomicReference<>();
            AtomicBoolean stop = new AtomicBoolean();
            Thread toggler = new Thread(() -> {
                try {
                    while (!stop.get()) {
                        RouterAlert.enable(channel);
                        RouterAlert.disable(channel);
                    }
                } catch (ClosedChannelException expected) {
                    // the end of the round
                } catch (Throwable e) {
                    failure.set(e);
                }
            });
            toggler.start();
            Thread.yield();
            channel.close();
            try (DatagramChannel next = DatagramChannel.open()) {
                toggler.join(10_000);
                stop.set(true);
                assertFalse(toggler.isAlive(), "round " + round + ": still toggling after the close");
                assertNull(failure.get());
                assertFalse(RouterAlert.isEnabled(next), "round " + round);
            }
        }
    }

    /** The command line of a child JVM like this one, running RouterAlertChild. */
    private static List<String> childJvm(String... args) {
        List<String> command = new ArrayList<>(List.of(System.getProperty("java.home") + "/bin/java", "-Xcheck:jni"));
        String options = System.getProperty("nimbo.child.options", "");
        if (!options.isBlank()) command.addAll(List.of(options.trim().split(" +")));
        command.addAll(List.of("-Djava.library.path=" + System.getProperty("java.library.path"),
                "-cp", System.getProperty("nimbo.classpath"), "RouterAlertChild"));
        command.addAll(List.of(args));
        return command;
    }

    /** The kinds of JDK sender the API takes, behind one face. */
    private interface Sender extends AutoCloseable {
        void enable() throws IOException;

        void enableIPv6(int value) throws IOException;

        void disable() throws IOException;

        boolean isEnabled() throws IOException;

        boolean isEnabledIPv6() throws IOException;

        void send(InetSocketAddress to, int multicastTtl) throws IOException;

        @Override
        void close() throws IOException;

        static Sender open(String kind) throws IOException {
            return switch (kind) {
                case "inet" -> new OnChannel(DatagramChannel.open(StandardProtocolFamily.INET));
                case "dual" -> new OnChannel(DatagramChannel.open());
                case "socket" -> new OnSocket(new DatagramSocket());
                case "multicast" -> new OnSocket(new MulticastSocket());
                case "adaptor" -> new OnSocket(DatagramChannel.open().socket());
                default -> throw new IllegalArgumentException(kind);
            };
        }
    }

    private record OnChannel(DatagramChannel channel) implements Sender {
        public void enable() throws IOException { RouterAlert.enable(channel); }
        public void enableIPv6(int value) throws IOException { RouterAlert.enableIPv6(channel, value); }
        public void disable() throws IOException { RouterAlert.disable(channel); }
        public boolean isEnabled() throws IOException { return RouterAlert.isEnabled(channel); }
        public boolean isEnabledIPv6() throws IOException { return RouterAlert.isEnabledIPv6(channel); }
        public void close() throws IOException { channel.close(); }

        public void send(InetSocketAddress to, int multicastTtl) throws IOException {
            channel.setOption(StandardSocketOptions.IP_MULTICAST_TTL, multicastTtl);
            channel.send(ByteBuffer.wrap(Harness.payload(5)), to);
        }
    }

    private record OnSocket(DatagramSocket socket) implements Sender {
        public void enable() throws IOException { RouterAlert.enable(socket); }
        public void enableIPv6(int value) throws IOException { RouterAlert.enableIPv6(socket, value); }
        public void disable() throws IOException { RouterAlert.disable(socket); }
        public boolean isEnabled() throws IOException { return RouterAlert.isEnabled(socket); }
        public boolean isEnabledIPv6() throws IOException { return RouterAlert.isEnabledIPv6(socket); }
        public void close() { socket.close(); }

        public void send(InetSocketAddress to, int multicastTtl) throws IOException {
            socket.setOption(StandardSocketOptions.IP_MULTICAST_TTL, multicastTtl);
            socket.send(new DatagramPacket(Harness.payload(5), 5, to));
        }
    }
}
