// SPDX-License-Identifier: Apache-2.0
import java.nio.charset.StandardCharsets;

/** Sends a few text datagrams to a multicast group through NimboSend. */
public final class SendDemo {
    public static void main(String[] args) {
        String group = args[0];
        int port = Integer.parseInt(args[1]);
        int count = Integer.parseInt(args[2]);

        int fd = NimboSend.init_socket(0, group, port);
        for (int i = 1; i <= count; i++) {
            byte[] message = ("hello #" + i + " from NimboSend").getBytes(StandardCharsets.US_ASCII);
            NimboSend.write(fd, message, message.length, group, port);
            System.out.println("sent     " + new String(message, StandardCharsets.US_ASCII));
        }
        NimboSend.close_socket(fd);
    }
}
