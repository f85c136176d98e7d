// SPDX-License-Identifier: Apache-2.0
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.net.DatagramSocket;
import java.net.SocketTimeoutException;
import java.util.ArrayList;
import java.util.List;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/**
 * NimboSendUnicast in a real JVM, against JDK sockets and the wire watcher. Concurrent writers are
 * tested on the C++ side, under ThreadSanitizer in the tsan build
 * (tests/unit/nimbo_send_unicast_test.cpp).
 */
class NimboSendUnicastTest {
    @BeforeAll
    static void open() throws Exception {
        Harness.requirePrivateNamespace();
        NimboSendUnicast.init_socket();
    }

    @Tag("arm64")
    @ParameterizedTest(name = "{0} bytes to port + {1}")
    @CsvSource({"0, 0", "1, 0", "1472, 0", "6500, 0", "5, 65536"})
    void theReceiverGetsExactlyTheArray(int length, int portHighBits) throws Exception {
        try (DatagramSocket receiver = Harness.loopbackReceiver(5000)) {
            byte[] data = Harness.payload(length);
            NimboSendUnicast.write("127.0.0.1", portHighBits + receiver.getLocalPort(), data);
            assertArrayEquals(data, Harness.receive(receiver));
        }
    }

    @Tag("arm64")
    @Test
    void datagramsCarryRouterAlertAndTheDefaultTtlFromOneSocket() throws Exception {
        int port = 47002;
        try (Harness.Watcher watcher = new Harness.Watcher("--port", "" + port, "--count", "2")) {
            NimboSendUnicast.write("127.0.0.1", port, Harness.payload(20));
            NimboSendUnicast.write("localhost", port, new byte[0]);
            Pattern line = Pattern.compile("from 127\\.0\\.0\\.1:(\\d+) to 127\\.0\\.0\\.1"
                    + " ttl 64 options 94 04 00 00 length (\\d+) .*");
            List<String> sources = new ArrayList<>();
            List<String> lengths = new ArrayList<>();
            for (String seen : watcher.datagrams()) {
                Matcher m = line.matcher(seen);
                assertTrue(m.matches(), seen);
                sources.add(m.group(1));
                lengths.add(m.group(2));
            }
            assertEquals(List.of("20", "0"), lengths);
            assertEquals(sources.get(0), sources.get(1), "one socket sends every datagram");
        }
    }

    @Test
    void nullArgumentsThrowAndSendNothing() throws Exception {
        try (DatagramSocket receiver = Harness.loopbackReceiver(300)) {
            int port = receiver.getLocalPort();
            assertEquals("host", assertThrows(NullPointerException.class,
                    () -> NimboSendUnicast.write(null, port, new byte[1])).getMessage());
            assertEquals("data", assertThrows(NullPointerException.class,
                    () -> NimboSendUnicast.write("127.0.0.1", port, null)).getMessage());
            assertThrows(SocketTimeoutException.class, () -> Harness.receive(receiver));
        }
    }

    @Tag("arm64")
    @ParameterizedTest(name = "{0} {1}")
    @CsvSource(delimiter = '|', value = {
        "init-write | nowhere.invalid 1 | stdout | 'nowhere.invalid: Unknow host\n'",
        "init-write | ::1 1             | stdout | '::1: Unknow host\n'",
        "write      | 127.0.0.1 1       | stderr | 'java: write: Bad file descriptor\n'",
        "init-write | 127.0.0.1 6501    | stderr | 'java: write: Message too long\n'",
    })
    void fatalPathsReportExitOneAndSendNothing(String scenario, String args, String stream, String text)
            throws Exception {
        try (DatagramSocket receiver = Harness.loopbackReceiver(300)) {
            String[] a = args.trim().split(" +");
            Harness.jvm("UnicastScenarios", scenario, a[0], "" + receiver.getLocalPort(), a[1])
                    .assertFatal(stream, text.translateEscapes());
            assertThrows(SocketTimeoutException.class, () -> Harness.receive(receiver));
        }
    }
}
