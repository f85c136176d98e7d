// SPDX-License-Identifier: Apache-2.0
import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.time.Duration;
import nimbo.AlertedDatagram;
import nimbo.RouterAlertTap;

/**
 * The router table's Java tap, run on the router host: for each line on standard input, opens a
 * {@link RouterAlertTap} with the receive buffer given, prints "ready", waits up to 30 s for the
 * first datagram, then receives and forwards until idleMillis pass without one, closes the tap and prints
 * "tap received N forwarded F kernel drops D", as nimbo-tap --quiet does. One JVM serves every
 * trial, so that all but the first run compiled code, as a router's long-running program would.
 *
 * <p>Usage: RouterTapBench RECEIVE_BUFFER_BYTES IDLE_MILLIS
 */
public final class RouterTapBench {
    private RouterTapBench() {}

    private static final Duration FIRST = Duration.ofSeconds(30);

    public static void main(String[] args) throws Exception {
        int receiveBuffer = Integer.parseInt(args[0]);
        Duration idle = Duration.ofMillis(Long.parseLong(args[1]));
        BufferedReader commands = new BufferedReader(new InputStreamReader(System.in, StandardCharsets.US_ASCII));
        while (commands.readLine() != null) {
            System.out.println(round(receiveBuffer, idle));
        }
    }

    private static String round(int receiveBuffer, Duration idle) throws Exception {
        long received = 0;
        long forwarded = 0;
        try (RouterAlertTap tap = RouterAlertTap.openIPv4(17)) {
            tap.setReceiveBufferSize(receiveBuffer);
            System.out.println("ready");
            for (AlertedDatagram d = tap.receive(FIRST); d != null; d = tap.receive(idle)) {
                received++;
                forwarded += tap.forward(d);
            }
            return "tap received " + received + " forwarded " + forwarded + " kernel drops " + tap.kernelDrops();
        }
    }
}
