// SPDX-License-Identifier: Apache-2.0
import java.nio.charset.StandardCharsets;

/** Joins a multicast group through NimboReceive and prints each datagram it receives. */
public final class ReceiveDemo {
    public static void main(String[] args) {
        String group = args[0];
        int port = Integer.parseInt(args[1]);
        int count = Integer.parseInt(args[2]);

        NimboReceive.init_socket(group, port);
        System.out.println("joined   " + group + " on port " + port);
        for (int i = 1; i <= count; i++) {
            byte[] data = NimboReceive.read();  // always 6044 bytes, the datagram at the front
            if (data == null) System.exit(1);  // the error is printed already
            System.out.println("received " + text(data));
        }
    }

    /** The text at the front of the array: everything up to the first zero byte. */
    private static String text(byte[] data) {
        int end = 0;
        while (end < data.length && data[end] != 0) end++;
        return new String(data, 0, end, StandardCharsets.US_ASCII);
    }
}
