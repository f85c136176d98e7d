// SPDX-License-Identifier: Apache-2.0
import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetSocketAddress;
import java.nio.charset.StandardCharsets;

/**
 * Sends one datagram three ways to a host behind a router: through NimboSend and
 * NimboSendUnicast (both with Router Alert) and through a plain JDK socket (without).
 */
public final class RouterDemo {
    public static void main(String[] args) throws Exception {
        String host = args[0];
        int port = Integer.parseInt(args[1]);

        byte[] viaSend = ascii("from NimboSend");
        int fd = NimboSend.init_socket(0, "239.1.2.3", 0);
        NimboSend.write(fd, viaSend, viaSend.length, host, port);
        NimboSend.close_socket(fd);

        NimboSendUnicast.init_socket();
        NimboSendUnicast.write(host, port, ascii("from NimboSendUnicast"));

        byte[] plain = ascii("from a JDK DatagramSocket");
        try (DatagramSocket socket = new DatagramSocket()) {
            socket.send(new DatagramPacket(plain, plain.length, new InetSocketAddress(host, port)));
        }
    }

    private static byte[] ascii(String text) {
        return text.getBytes(StandardCharsets.US_ASCII);
    }
}
