// SPDX-License-Identifier: Apache-2.0
import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetAddress;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;

/**
 * NimboReceive (and a NimboSend sender) in a child JVM (Harness.jvm): set-ups that end the
 * process, and what a freshly loaded library does. Call results go to stdout after the natives'
 * own output; a read that never returns ends the child with status 3 after 10 s.
 */
public final class ReceiveScenarios {
    public static void main(String[] a) throws Exception {
        Thread watchdog = new Thread(() -> {
            try {
                Thread.sleep(10_000);
            } catch (InterruptedException e) {
                return;
            }
            System.out.println("timed out");
            Runtime.getRuntime().halt(3);
        });
        watchdog.setDaemon(true);
        watchdog.start();

        switch (a[0]) {
            case "init" -> {  // init GROUP PORT [PORT...]: one init_socket per port
                for (int k = 2; k < a.length; k++) NimboReceive.init_socket(a[1], i(a[k]));
                System.out.println("joined");
            }
            case "calls-around-init" -> {  // calls-around-init GROUP PORT
                System.out.println(NimboReceive.get_rcv_buf());
                System.out.println(NimboReceive.set_rcv_buf(100000));
                System.out.println(NimboReceive.read() == null ? "null" : "array");
                try {
                    NimboReceive.init_socket(null, i(a[2]));
                } catch (NullPointerException e) {
                    System.out.println("NullPointerException: " + e.getMessage());
                }
                System.out.println(NimboReceive.get_rcv_buf());  // still no socket
                NimboReceive.init_socket(a[1], i(a[2]));
                System.out.println(NimboReceive.set_rcv_buf(100000));
                System.out.println(NimboReceive.get_rcv_buf());
            }
            case "first-read" -> {  // first-read GROUP PORT_ARGUMENT SEND_PORT: sends "hello" to itself
                NimboReceive.init_socket(a[1], i(a[2]));
                try (DatagramSocket socket = new DatagramSocket()) {
                    byte[] hello = "hello".getBytes(StandardCharsets.US_ASCII);
                    socket.send(new DatagramPacket(hello, hello.length, InetAddress.getByName(a[1]), i(a[3])));
                }
                byte[] data = NimboReceive.read();
                boolean zeros = true;
                for (int k = 5; k < data.length; k++) zeros &= data[k] == 0;
                System.out.println(data.length + " " + new String(data, 0, 5, StandardCharsets.US_ASCII)
                        + (zeros ? " then zeros" : " then leftovers"));
            }
            case "sequence" -> {  // sequence GROUP PORT LENGTH...: datagrams to itself, each array checked
                NimboReceive.init_socket(a[1], i(a[2]));
                byte[] buffer = new byte[6044];  // what the library's buffer must hold: zeros at first
                try (DatagramSocket socket = new DatagramSocket()) {
                    for (int k = 3; k < a.length; k++) {
                        byte[] datagram = new byte[i(a[k])];
                        for (int j = 0; j < datagram.length; j++) datagram[j] = (byte) (j * 31 + k * 7 + 1);
                        socket.send(new DatagramPacket(datagram, datagram.length, InetAddress.getByName(a[1]), i(a[2])));
                        System.arraycopy(datagram, 0, buffer, 0, Math.min(datagram.length, buffer.length));
                        byte[] data = NimboReceive.read();
                        int at = Arrays.mismatch(data, buffer);
                        System.out.println(at < 0 ? "ok" : "after " + a[k] + " bytes: byte " + at + " differs");
                    }
                }
            }
            case "receive" -> {  // receive GROUP PORT COUNT: each datagram as text, to its first zero
                NimboReceive.init_socket(a[1], i(a[2]));
                System.out.println("joined");
                for (int k = 0; k < i(a[3]); k++) {
                    byte[] data = NimboReceive.read();
                    int end = 0;
                    while (end < data.length && data[end] != 0) end++;
                    System.out.println(new String(data, 0, end, StandardCharsets.US_ASCII));
                }
            }
            case "send" -> {  // send GROUP PORT COUNT: "datagram #1", ... through NimboSend
                int fd = NimboSend.init_socket(0, a[1], 0);
                for (int k = 1; k <= i(a[3]); k++) {
                    byte[] data = ("datagram #" + k).getBytes(StandardCharsets.US_ASCII);
                    NimboSend.write(fd, data, data.length, a[1], i(a[2]));
                }
                NimboSend.close_socket(fd);
            }
            default -> throw new IllegalArgumentException("no scenario " + a[0]);
        }
    }

    private static int i(String s) {
        return Integer.parseInt(s);
    }
}
