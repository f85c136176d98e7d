// SPDX-License-Identifier: Apache-2.0
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.time.Duration;
import nimbo.AlertedDatagram;
import nimbo.RouterAlertTap;

/**
 * The router's program: intercepts the UDP datagrams in transit that carry Router Alert, prints
 * each, and sends it on; a datagram whose text starts with "change me" goes on with a new text.
 * Prints "ready" once the tap is open; ends after COUNT datagrams, or with status 2 after
 * TIMEOUT_MS without one.
 */
public final class RouterTapDemo {
    private static final byte[] CHANGED = "changed by the router".getBytes(StandardCharsets.US_ASCII);

    public static void main(String[] args) throws Exception {
        int count = Integer.parseInt(args[0]);
        Duration timeout = Duration.ofMillis(Long.parseLong(args[1]));
        try (RouterAlertTap tap = RouterAlertTap.openIPv4(17)) {
            System.out.println("ready");
            for (int seen = 0; seen < count; seen++) {
                AlertedDatagram d = tap.receive(timeout);
                if (d == null) {
                    System.out.println("tap timeout after " + seen + " datagrams");
                    System.exit(2);
                }
                String text = text(d.payload());
                boolean change = text.startsWith("change me");
                int copies = change ? tap.forward(d, ByteBuffer.wrap(CHANGED)) : tap.forward(d);
                System.out.println("tap from " + d.source().getHostAddress() + " to " + d.destination().getHostAddress()
                        + " ttl " + d.ttl() + " options " + hex(d.options()) + " length " + d.payload().remaining()
                        + " \"" + text + "\"" + (change ? " changed to \"" + text(ByteBuffer.wrap(CHANGED)) + "\"" : "")
                        + ", sent on: " + copies);
            }
        }
    }

    /** The payload's first printable characters, up to 40. */
    private static String text(ByteBuffer payload) {
        StringBuilder text = new StringBuilder();
        while (payload.hasRemaining() && text.length() < 40) {
            char c = (char) (payload.get() & 0xFF);
            if (c < ' ' || c > '~') break;
            text.append(c);
        }
        return text.toString();
    }

    private static String hex(ByteBuffer bytes) {
        StringBuilder hex = new StringBuilder();
        while (bytes.hasRemaining()) {
            hex.append(hex.length() == 0 ? "" : " ").append(String.format("%02x", bytes.get()));
        }
        return hex.toString();
    }
}
