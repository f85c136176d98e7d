// SPDX-License-Identifier: Apache-2.0
/**
 * NimboSendUnicast calls that may end the process, run in a child JVM (Harness.jvm) so that a test
 * can read its streams and exit status.
 *
 * <p>{@code init-write HOST PORT LENGTH} opens the socket first; {@code write HOST PORT LENGTH}
 * does not. Both then send LENGTH bytes and print "returned".
 */
public final class UnicastScenarios {
    public static void main(String[] a) {
        switch (a[0]) {
            case "init-write" -> NimboSendUnicast.init_socket();
            case "write" -> { }
            default -> throw new IllegalArgumentException("no scenario " + a[0]);
        }
        NimboSendUnicast.write(a[1], Integer.parseInt(a[2]), new byte[Integer.parseInt(a[3])]);
        System.out.println("returned");
    }
}
