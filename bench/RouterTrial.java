// SPDX-License-Identifier: Apache-2.0
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.InterruptedIOException;
import java.io.OutputStream;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * One trial of the router table, on the hosts of tests/router-net: the receiver on rcv listens,
 * the path's tap (if any) opens on rtr, the sender on snd sends its datagrams flat out, then the
 * tap stops taking datagrams (shuts its input down), forwards what it has queued and reports, and
 * the receiver counts what arrived. Every program is a process of its own; the Java tap is one JVM
 * that serves all trials, opening a new tap for each.
 */
final class RouterTrial implements AutoCloseable {
    /** Plain datagrams through the kernel; datagrams with Router Alert through the kernel (no tap open), or a tap. */
    enum Way {
        KERNEL, KERNEL_ALERT, NIMBO_TAP, JAVA_TAP;

        boolean alert() {
            return this != KERNEL;
        }

        boolean tap() {
            return this == NIMBO_TAP || this == JAVA_TAP;
        }
    }

    static final String RECEIVER = "198.18.2.2";
    static final int PORT = 7000;
    /** Asked of both taps; the kernel doubles it (SO_RCVBUFFORCE, as root). */
    static final int TAP_BUFFER = 4 << 20;
    /** rcv holds a whole trial unread: it takes no CPU while the datagrams come. */
    static final int RECEIVER_BUFFER = 1 << 30;
    /**
     * With two CPUs or more, the sender runs on CPU 0 and either tap on CPU 1, so that each has a
     * CPU of its own and none is ever put beside the sender by the scheduler's whim.
     */
    static final boolean PINNED = Runtime.getRuntime().availableProcessors() >= 2;
    private static final int SENDER_CPU = 0;
    private static final int TAP_CPU = 1;

    /** What one trial counted. Every count is of datagrams; tap counts are 0 for kernel forwarding. */
    record Outcome(long sent, long sendNanos, long tapReceived, long tapForwarded, long tapDrops, long notForwarded,
            long received, long spanNanos, long receiverDrops, long elsewhere) {
        /** Datagrams that went missing between snd and rcv with no count to say where. */
        long uncounted() {
            return sent - received - tapDrops - notForwarded - receiverDrops - elsewhere;
        }

        double nanosPerDatagram() {
            if (received < 2) throw new IllegalStateException("rcv got " + received + " datagrams");
            return (double) spanNanos / (received - 1);
        }

        double offered() {
            return sent * 1e9 / sendNanos;
        }
    }

    private final Path build = Path.of(System.getProperty("nimbo.build"));
    private final Process javaTap;
    private final BufferedReader javaTapOut;

    private RouterTrial(Process javaTap) {
        this.javaTap = javaTap;
        this.javaTapOut = reader(javaTap);
    }

    /** Starts the Java tap's JVM on rtr with this JVM's own options: heap, library path, checks. */
    static RouterTrial start() throws IOException {
        if (!Files.exists(Path.of("/run/netns/rtr"))) throw new IllegalStateException("run under tests/router-net");
        List<String> java = new ArrayList<>(List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString()));
        java.addAll(ManagementFactory.getRuntimeMXBean().getInputArguments());
        java.addAll(List.of("-cp", System.getProperty("java.class.path"), "RouterTapBench", "" + TAP_BUFFER));
        return new RouterTrial(on("rtr", TAP_CPU, java));
    }

    /** The Java tap JVM's command line, for the table's description. */
    static String javaTapOptions() {
        return Bench.options();
    }

    Outcome run(Way way, int length, int count) throws Exception {
        long elsewhereBefore = PathCounters.drops();
        Process receiver = on("rcv", -1, List.of(tool("bench/nimbo-bench-count"), "--port", "" + PORT,
                "--buffer", "" + RECEIVER_BUFFER));
        BufferedReader receiverOut = reader(receiver);
        await(receiverOut, "ready");
        Process nimboTap = null;
        BufferedReader tapOut = javaTapOut;
        if (way == Way.NIMBO_TAP) {
            nimboTap = on("rtr", TAP_CPU, List.of(tool("tools/nimbo-tap"), "--quiet", "--receive-buffer",
                    "" + TAP_BUFFER));
            tapOut = reader(nimboTap);
        } else if (way == Way.JAVA_TAP) {
            command(javaTap, "go");
        }
        if (way.tap()) await(tapOut, "ready");

        List<String> send = new ArrayList<>(List.of(tool("bench/nimbo-bench-send"), "--to", RECEIVER,
                "--port", "" + PORT, "--length", "" + length, "--count", "" + count));
        if (way.alert()) send.add("--router-alert");
        Process sender = on("snd", SENDER_CPU, send);
        long[] sent = numbers(await(reader(sender), "sent "), 2);
        finish(sender, "nimbo-bench-send", 0);
        // The sender is done: the tap stops taking datagrams and forwards those it has queued.
        if (nimboTap != null) nimboTap.toHandle().destroy();  // SIGTERM, and the streams stay open
        if (way == Way.JAVA_TAP) command(javaTap, "stop");
        // Taken, copies sent, the kernel's drops and, from the Java tap, the sum of drops(reason):
        // every datagram it took and sent no copy of, counted by its reason. nimbo-tap reports each
        // of those with its reason; all being unicast, they are the ones taken less the copies.
        long[] tapped = way.tap() ? numbers(await(tapOut, "tap received "), way == Way.JAVA_TAP ? 4 : 3)
                : new long[3];
        long notForwarded = way == Way.JAVA_TAP ? tapped[3] : tapped[0] - tapped[1];
        if (nimboTap != null) finish(nimboTap, "nimbo-tap", 0);

        command(receiver, "go");
        long[] got = numbers(await(receiverOut, "received "), 3);
        finish(receiver, "nimbo-bench-count", 0);
        long elsewhere = PathCounters.drops() - elsewhereBefore;
        return new Outcome(sent[0], sent[1], tapped[0], tapped[1], tapped[2], notForwarded, got[0], got[1], got[2],
                elsewhere);
    }

    @Override
    public void close() throws IOException {
        javaTap.getOutputStream().close();
        finish(javaTap, "RouterTapBench", 0);
    }

    private String tool(String relative) {
        return build.resolve(relative).toString();
    }

    /** A program on one of router-net's hosts, on one CPU when cpu is not -1 and PINNED; its errors go to ours. */
    static Process on(String host, int cpu, List<String> command) throws IOException {
        List<String> full = new ArrayList<>(List.of("ip", "netns", "exec", host));
        if (cpu >= 0 && PINNED) full.addAll(List.of("taskset", "-c", "" + cpu));
        full.addAll(command);
        return new ProcessBuilder(full).redirectError(ProcessBuilder.Redirect.INHERIT).start();
    }

    private static BufferedReader reader(Process p) {
        return new BufferedReader(new InputStreamReader(p.getInputStream(), StandardCharsets.US_ASCII));
    }

    private static void command(Process p, String line) throws IOException {
        OutputStream in = p.getOutputStream();
        in.write((line + "\n").getBytes(StandardCharsets.US_ASCII));
        in.flush();
    }

    /** The first line that starts with prefix; any line before it is passed on to our output. */
    private static String await(BufferedReader out, String prefix) throws IOException {
        for (String line; (line = out.readLine()) != null; ) {
            if (line.startsWith(prefix)) return line;
            System.out.println(line);
        }
        throw new IOException("ended before \"" + prefix + "\"");
    }

    private static void finish(Process p, String name, int status) throws IOException {
        try {
            if (!p.waitFor(30, TimeUnit.SECONDS)) {
                p.destroyForcibly();
                throw new IllegalStateException(name + " did not end");
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new InterruptedIOException(name);
        }
        if (p.exitValue() != status) throw new IllegalStateException(name + ": status " + p.exitValue());
    }

    /** The first n whole numbers among the line's words. */
    private static long[] numbers(String line, int n) {
        long[] found = Arrays.stream(line.split(" ")).filter(w -> w.matches("\\d+")).mapToLong(Long::parseLong).toArray();
        if (found.length < n) throw new IllegalStateException("not " + n + " numbers: " + line);
        return Arrays.copyOf(found, n);
    }
}
