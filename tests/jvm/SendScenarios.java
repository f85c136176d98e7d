// SPDX-License-Identifier: Apache-2.0
/**
 * NimboSend calls that may end the process, run in a child JVM (Harness.jvm) so that a test can
 * read its streams and exit status. Call results go to stdout after the natives' own output.
 */
public final class SendScenarios {
    public static void main(String[] args) throws Exception {
        String[] a = args;
        switch (a[0]) {
            case "send-init" -> System.out.println(NimboSend.init_socket(0, a[1], 0));
            case "send-write" -> {
                // send-write HOST PORT LENGTH ARRAY_LENGTH [FD]
                int fd = a.length > 5 ? i(a[5]) : NimboSend.init_socket(0, "239.1.2.3", 0);
                NimboSend.write(fd, new byte[i(a[4])], i(a[3]), a[1], i(a[2]));
                System.out.println("returned");
            }
            case "send-get-buf" -> System.out.println(NimboSend.get_snd_buf(i(a[1])));
            case "send-set-buf" -> System.out.println(NimboSend.set_snd_buf(i(a[1]), i(a[2])));
            case "send-close" -> System.out.println(NimboSend.close_socket(i(a[1])));
            default -> throw new IllegalArgumentException("no scenario " + a[0]);
        }
    }

    private static int i(String s) {
        return Integer.parseInt(s);
    }
}
