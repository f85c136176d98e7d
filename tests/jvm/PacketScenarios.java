// SPDX-License-Identifier: Apache-2.0
/**
 * NimboPacket.init_socket(GROUP, PORT) in a child JVM that may or may not have a provider of
 * mnimboSocket preloaded. GROUP "null" passes null and prints the exception's class and message.
 */
public final class PacketScenarios {
    public static void main(String[] a) {
        String group = a[0].equals("null") ? null : a[0];
        try {
            NimboPacket.init_socket(group, Integer.parseInt(a[1]));
        } catch (NullPointerException e) {
            System.out.println("NullPointerException " + e.getMessage());
        }
    }
}
