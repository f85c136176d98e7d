// SPDX-License-Identifier: Apache-2.0
import static java.nio.charset.StandardCharsets.US_ASCII;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;

import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetAddress;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.ValueSource;

/** NimboReceive in a real JVM: this JVM holds the receiving socket; JDK sockets and child JVMs send to it. */
class NimboReceiveTest {
    static final String GROUP = "239.1.2.3";
    static final int PORT = 47200;  // held by this JVM for the whole run

    @BeforeAll
    static void join() throws Exception {
        Harness.requirePrivateNamespace();
        NimboReceive.init_socket(GROUP, PORT);
    }

    /** The next datagram's array; fails instead of hanging when none comes. */
    static byte[] read() {
        byte[] data = assertTimeoutPreemptively(Duration.ofSeconds(10), NimboReceive::read);
        assertEquals(6044, data.length);
        return data;
    }

    @Tag("arm64")
    @ParameterizedTest
    @ValueSource(ints = {1, 100, 6044, 7000})
    void jdkSenderReachesNimboReceive(int length) throws Exception {
        byte[] data = new byte[length];
        for (int k = 0; k < length; k++) data[k] = (byte) (k * 31 + length);
        try (DatagramSocket socket = new DatagramSocket()) {
            socket.send(new DatagramPacket(data, length, InetAddress.getByName(GROUP), PORT));
        }
        int kept = Math.min(length, 6044);  // a longer datagram is cut
        assertArrayEquals(Arrays.copyOf(data, kept), Arrays.copyOf(read(), kept));
    }

    @Tag("arm64")
    @Test
    void nimboSendJvmReachesNimboReceive() throws Exception {
        assertEquals(new Harness.Child("", "", 0), Harness.jvm("ReceiveScenarios", "send", GROUP, "" + PORT, "5"));
        for (int k = 1; k <= 5; k++) {
            byte[] expected = ("datagram #" + k).getBytes(US_ASCII);
            assertArrayEquals(expected, Arrays.copyOf(read(), expected.length));
        }
    }

    @Tag("arm64")
    @ParameterizedTest(name = "{0} init {1}")
    @CsvSource(delimiter = '|', value = {
        "route    | 10.1.2.3 47201        | 1 | '10.1.2.3: is not  multicast\n'",
        "route    | nowhere.invalid 47201 | 1 | 'nowhere.invalid: Unknow host\n'",
        "route    | 239.1.2.3 47200       | 1 | 'cannot bind socket\n'",           // PORT: this JVM holds it
        "route    | 239.1.2.3 47201 47201 | 1 | 'cannot bind socket\n'",           // twice in one process
        "route    | 239.1.2.3 47201 47202 | 0 | 'joined\n'",                       // another port is fine
        "no-route | 239.1.2.3 47201       | 1 | 'cannot join multicast group\n'",
    })
    void initSocketInAChildJvm(String namespace, String args, int status, String out) throws Exception {
        List<String> command = new ArrayList<>();
        if (namespace.equals("no-route")) {
            command.addAll(List.of(System.getProperty("nimbo.netns"), "--no-multicast-route"));
        }
        command.addAll(Harness.javaCommand(List.of(), "ReceiveScenarios", ("init " + args.trim()).split(" +")));
        assertEquals(new Harness.Child(out.translateEscapes(), "", status), Harness.run(command));
    }

    @Test
    void bufferCallsAndReadFailCleanlyUntilInitSocket() throws Exception {
        // Before init_socket there is no socket at all: a bad descriptor, not descriptor 0.
        assertEquals(new Harness.Child(
                        "-1\n-1\nnull\nNullPointerException: group\n-1\n0\n200000\n",
                        "getsockopt: Bad file descriptor\nrecvfrom: Bad file descriptor\n"
                                + "getsockopt: Bad file descriptor\n",
                        0),
                Harness.jvm("ReceiveScenarios", "calls-around-init", GROUP, "47203"));
    }

    /**
     * Each array equals the library's whole buffer as a fresh process fills it: the datagram, then
     * what longer earlier ones left, then zeros past the longest so far.
     */
    @ParameterizedTest(name = "datagrams of {0} bytes")
    @ValueSource(strings = {"10 100 10", "0 5 1", "100 10 6044 1 0", "7000 64"})
    void everyArrayIsTheWholeBufferFromLoadingOn(String lengths) throws Exception {
        List<String> args = new ArrayList<>(List.of("sequence", GROUP, "47207"));
        args.addAll(List.of(lengths.split(" ")));
        assertEquals(new Harness.Child("ok\n".repeat(args.size() - 3), "", 0),
                Harness.jvm("ReceiveScenarios", args.toArray(String[]::new)));
    }

    @ParameterizedTest(name = "port argument {0} binds {1}")
    @CsvSource({"47204, 47204", "112741, 47205", "-18330, 47206"})  // p, 2^16 + p, p - 2^16
    void firstReadAfterLoadingHasZerosPastTheDatagram(String portArgument, String port) throws Exception {
        assertEquals(new Harness.Child("6044 hello then zeros\n", "", 0),
                Harness.jvm("ReceiveScenarios", "first-read", GROUP, portArgument, port));
    }
}
