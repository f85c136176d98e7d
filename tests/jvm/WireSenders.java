// SPDX-License-Identifier: Apache-2.0
import java.util.Arrays;

/**
 * Sends datagrams of known lengths through both senders for an outside dissector to check:
 * NimboSend to a group, then NimboSendUnicast to loopback, all to one port.
 * Usage: WireSenders GROUP PORT LENGTH...
 */
public final class WireSenders {
    public static void main(String[] args) {
        String group = args[0];
        int port = Integer.parseInt(args[1]);
        int[] lengths = Arrays.stream(args, 2, args.length).mapToInt(Integer::parseInt).toArray();

        int fd = NimboSend.init_socket(0, group, port);
        for (int length : lengths) {
            if (length > 0) NimboSend.write(fd, new byte[length], length, group, port);
        }
        NimboSend.close_socket(fd);

        NimboSendUnicast.init_socket();
        for (int length : lengths) NimboSendUnicast.write("127.0.0.1", port, new byte[length]);
    }
}
