// SPDX-License-Identifier: Apache-2.0
import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetSocketAddress;
import java.net.StandardProtocolFamily;
import java.nio.ByteBuffer;
import java.nio.channels.DatagramChannel;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import nimbo.RouterAlert;

/**
 * Sends datagrams to a host behind a router: through NimboSend, NimboSendUnicast (one of them as
 * long as the libraries allow, one asking the router to change it) and a JDK channel given Router
 * Alert by nimbo.RouterAlert, all with Router Alert, and through a plain JDK socket (without). Two
 * more go to the router's own address, one with Router Alert and one without: the router receives
 * those itself and must not forward them.
 */
public final class RouterDemo {
    public static void main(String[] args) throws Exception {
        String host = args[0];
        int port = Integer.parseInt(args[1]);
        String router = args[2];

        byte[] viaSend = ascii("from NimboSend");
        int fd = NimboSend.init_socket(0, "239.1.2.3", 0);
        NimboSend.write(fd, viaSend, viaSend.length, host, port);
        NimboSend.close_socket(fd);

        NimboSendUnicast.init_socket();
        NimboSendUnicast.write(router, port, ascii("to the router, from NimboSendUnicast"));
        NimboSendUnicast.write(host, port, ascii("from NimboSendUnicast"));
        NimboSendUnicast.write(host, port, ascii("change me, from NimboSendUnicast"));
        NimboSendUnicast.write(host, port, longest("6500 bytes from NimboSendUnicast"));

        try (DatagramChannel channel = RouterAlert.enable(DatagramChannel.open(StandardProtocolFamily.INET))) {
            channel.send(ByteBuffer.wrap(ascii("from a JDK DatagramChannel")), new InetSocketAddress(host, port));
        }

        try (DatagramSocket socket = new DatagramSocket()) {
            send(socket, host, port, ascii("from a JDK DatagramSocket"));
            send(socket, router, port, ascii("to the router, from a JDK DatagramSocket"));
        }
    }

    private static void send(DatagramSocket socket, String host, int port, byte[] data) throws Exception {
        socket.send(new DatagramPacket(data, data.length, new InetSocketAddress(host, port)));
    }

    /** The text, then dots up to 6500 bytes: more than one Ethernet frame holds. */
    private static byte[] longest(String text) {
        byte[] data = new byte[6500];
        Arrays.fill(data, (byte) '.');
        byte[] start = ascii(text);
        System.arraycopy(start, 0, data, 0, start.length);
        return data;
    }

    private static byte[] ascii(String text) {
        return text.getBytes(StandardCharsets.US_ASCII);
    }
}
