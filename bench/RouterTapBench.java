// SPDX-License-Identifier: Apache-2.0
import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.CompletableFuture;
import nimbo.AlertedDatagram;
import nimbo.DropReason;
import nimbo.RouterAlertTap;

/**
 * The router table's Java tap, run on the router host: for each "go" on standard input, opens a
 * {@link RouterAlertTap} with the receive buffer given, prints "ready", and receives and forwards
 * in a thread of its own until the next line ("stop": the sender is done) shuts its input down
 * and it has forwarded what was queued; then closes the tap and prints "tap received N forwarded F
 * kernel drops D", as nimbo-tap does, and "not forwarded X": the datagrams forward sent no copy of,
 * counted by reason. One JVM serves every trial, so that all but the first run compiled code, as
 * a router's long-running program would.
 *
 * <p>Usage: RouterTapBench RECEIVE_BUFFER_BYTES
 */
public final class RouterTapBench {
    private RouterTapBench() {}

    public static void main(String[] args) throws Exception {
        int receiveBuffer = Integer.parseInt(args[0]);
        BufferedReader commands = new BufferedReader(new InputStreamReader(System.in, StandardCharsets.US_ASCII));
        while (commands.readLine() != null) {
            System.out.println(round(receiveBuffer, commands));
        }
    }

    private static String round(int receiveBuffer, BufferedReader commands) throws Exception {
        try (RouterAlertTap tap = RouterAlertTap.openIPv4(17)) {
            tap.setReceiveBufferSize(receiveBuffer);
            CompletableFuture<long[]> counts = new CompletableFuture<>();
            new Thread(() -> {
                long received = 0;
                long forwarded = 0;
                try {
                    for (AlertedDatagram d; (d = tap.receive()) != null; received++) {
                        forwarded += tap.forward(d);
                    }
                    counts.complete(new long[] {received, forwarded});
                } catch (Throwable e) {
                    counts.completeExceptionally(e);
                }
            }, "forwarding").start();
            System.out.println("ready");
            commands.readLine();
            tap.shutdownInput();
            long[] n = counts.get();
            long dropped = 0;
            for (DropReason reason : DropReason.values()) {
                dropped += tap.drops(reason);
            }
            return "tap received " + n[0] + " forwarded " + n[1] + " kernel drops " + tap.kernelDrops()
                    + " not forwarded " + dropped;
        }
    }
}
