// SPDX-License-Identifier: Apache-2.0
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetSocketAddress;
import java.net.MulticastSocket;
import java.net.NetworkInterface;
import java.net.SocketTimeoutException;
import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.ValueSource;

/** NimboSend in a real JVM, against JDK sockets and the wire watcher. */
class NimboSendTest {
    static final String GROUP = "239.1.2.3";
    static int fd;

    @BeforeAll
    static void open() throws Exception {
        Harness.requirePrivateNamespace();
        fd = NimboSend.init_socket(0, GROUP, 0);
    }

    @AfterAll
    static void close() {
        assertEquals(0, NimboSend.close_socket(fd));
    }

    static MulticastSocket joined(String group) throws Exception {
        MulticastSocket socket = new MulticastSocket(0);
        socket.joinGroup(new InetSocketAddress(group, 0), NetworkInterface.getByName("lo"));
        socket.setSoTimeout(5000);
        return socket;
    }

    @Tag("arm64")
    @ParameterizedTest
    @ValueSource(ints = {1, 100, 1472, 6500})
    void groupMembersReceiveTheBytesUnchanged(int length) throws Exception {
        try (MulticastSocket member = joined(GROUP)) {
            byte[] data = Harness.payload(length + 10);  // only the first length bytes go out
            NimboSend.write(fd, data, length, GROUP, member.getLocalPort());
            assertArrayEquals(Arrays.copyOf(data, length), Harness.receive(member));
        }
    }

    @Test
    void onlyTheLowSixteenBitsOfThePortCount() throws Exception {
        try (DatagramSocket receiver = Harness.loopbackReceiver(5000)) {
            NimboSend.write(fd, Harness.payload(5), 5, "127.0.0.1", 65536 + receiver.getLocalPort());
            assertArrayEquals(Harness.payload(5), Harness.receive(receiver));
        }
    }

    @ParameterizedTest
    @CsvSource({"0, 0", "-2147483648, -1", "12345, 99999"})
    void initSocketIgnoresItsFirstAndThirdArguments(int first, int third) throws Exception {
        int other = NimboSend.init_socket(first, GROUP, third);
        try (MulticastSocket member = joined(GROUP)) {
            NimboSend.write(other, Harness.payload(3), 3, GROUP, member.getLocalPort());
            assertArrayEquals(Harness.payload(3), Harness.receive(member));
        } finally {
            assertEquals(0, NimboSend.close_socket(other));
        }
    }

    @Test
    void lengthPastTheArrayThrowsAndSendsNothing() throws Exception {
        try (DatagramSocket receiver = Harness.loopbackReceiver(300)) {
            int port = receiver.getLocalPort();
            assertThrows(ArrayIndexOutOfBoundsException.class,
                    () -> NimboSend.write(fd, new byte[10], 11, "127.0.0.1", port));
            assertThrows(ArrayIndexOutOfBoundsException.class,
                    () -> NimboSend.write(fd, new byte[10], 7000, "127.0.0.1", port));
            assertThrows(SocketTimeoutException.class, () -> Harness.receive(receiver));
        }
    }

    @Test
    void nullArgumentsThrowAndSendNothing() {
        assertEquals("group",
                assertThrows(NullPointerException.class, () -> NimboSend.init_socket(0, null, 0)).getMessage());
        assertEquals("data",
                assertThrows(NullPointerException.class, () -> NimboSend.write(fd, null, 1, GROUP, 9)).getMessage());
        assertEquals("host",
                assertThrows(NullPointerException.class, () -> NimboSend.write(fd, new byte[1], 1, null, 9))
                        .getMessage());
    }

    @Test
    void sendBufferSizeRoundTrips() {
        assertEquals(0, NimboSend.set_snd_buf(fd, 100000));
        assertEquals(200000, NimboSend.get_snd_buf(fd));  // the kernel doubles what it is asked for
    }

    @Tag("arm64")
    @ParameterizedTest(name = "{0} {1}")
    @CsvSource(delimiter = '|', value = {
        "send-init  | 10.1.2.3               | stdout | '10.1.2.3: is not  multicast\n'",
        "send-init  | 240.0.0.0              | stdout | '240.0.0.0: is not  multicast\n'",
        "send-init  | nowhere.invalid        | stdout | 'nowhere.invalid: Unknow host\n'",
        "send-write | nowhere.invalid 9 1 1  | stdout | 'nowhere.invalid: Unknow host\n'",
        "send-write | 127.0.0.1 9 0 1        | stderr | 'java: write: Invalid argument\n'",
        "send-write | 127.0.0.1 9 -1 1       | stderr | 'java: write: Message too long\n'",
        "send-write | 127.0.0.1 9 6501 7000  | stderr | 'java: write: Message too long\n'",
        "send-write | 127.0.0.1 9 1 1 9999   | stderr | 'java: write: Bad file descriptor\n'",
    })
    void fatalPathsReportAndExitOne(String scenario, String args, String stream, String text) throws Exception {
        List<String> argv = new java.util.ArrayList<>(List.of(scenario));
        argv.addAll(List.of(args.trim().split(" +")));
        Harness.jvm("SendScenarios", argv.toArray(String[]::new)).assertFatal(stream, text.translateEscapes());
    }

    @ParameterizedTest(name = "{0}")
    @CsvSource(delimiter = '|', value = {
        "send-get-buf 9999        | '-1\n' | 'getsockopt: Bad file descriptor\n'",
        "send-set-buf 9999 100000 | '-1\n' | 'setsockopt: Bad file descriptor\n'",
        "send-close 9999          | '-1\n' | ''",
    })
    void badDescriptorsFailWithoutEndingTheProcess(String args, String out, String err) throws Exception {
        Harness.Child child = Harness.jvm("SendScenarios", args.trim().split(" +"));
        assertEquals(new Harness.Child(out.translateEscapes(), err.translateEscapes(), 0), child);
    }

    @Tag("arm64")
    @Test
    void everyDatagramCarriesRouterAlertAndGroupsGetTtl128() throws Exception {
        int port = 47001;
        try (Harness.Watcher toGroup = new Harness.Watcher("--group", GROUP, "--port", "" + port, "--count", "3")) {
            for (int i = 0; i < 3; i++) NimboSend.write(fd, Harness.payload(20), 20, GROUP, port);
            for (String line : toGroup.datagrams()) {
                assertTrue(line.matches("from [0-9.]+:\\d+ to 239\\.1\\.2\\.3 ttl 128 options 94 04 00 00 length 20 .*"), line);
            }
        }
        try (Harness.Watcher toHost = new Harness.Watcher("--port", "" + port, "--count", "1")) {
            NimboSend.write(fd, Harness.payload(20), 20, "127.0.0.1", port);
            String line = toHost.datagrams().get(0);
            assertTrue(line.matches("from .* to 127\\.0\\.0\\.1 ttl 64 options 94 04 00 00 length 20 .*"), line);
        }
    }

    @Test
    void eachWriteSpinsAfterItsSend() throws Exception {
        try (DatagramSocket receiver = Harness.loopbackReceiver(5000);
             DatagramSocket plain = new DatagramSocket()) {
            InetSocketAddress to = new InetSocketAddress("127.0.0.1", receiver.getLocalPort());
            DatagramPacket packet = new DatagramPacket(Harness.payload(64), 64, to);
            long jdk = time(() -> plain.send(packet));
            long nimbo = time(() -> NimboSend.write(fd, Harness.payload(64), 64, "127.0.0.1", to.getPort()));
            // Four million iterations cannot take under 0.3 ms on any core.
            assertTrue(nimbo >= 100 * 300_000L, "100 writes took only " + nimbo + " ns");
            assertTrue(nimbo > jdk, "100 writes " + nimbo + " ns, 100 JDK sends " + jdk + " ns");
        }
    }

    interface Send {
        void run() throws Exception;
    }

    static long time(Send send) throws Exception {
        long start = System.nanoTime();
        for (int i = 0; i < 100; i++) send.run();
        return System.nanoTime() - start;
    }
}
