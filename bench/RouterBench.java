// SPDX-License-Identifier: Apache-2.0
import java.util.ArrayList;
import java.util.EnumMap;
import java.util.List;
import java.util.Map;

/**
 * The router table: datagrams per second from snd through rtr to rcv (tests/router-net), forwarded
 * by the kernel, by nimbo-tap and by a Java program on nimbo.RouterAlertTap, and where every
 * datagram that did not arrive was counted.
 */
final class RouterBench {
    private RouterBench() {}

    private static final int[] SIZES = {64, 1472};
    private static final List<String> NAMES = List.of("kernel forwarding, no Router Alert", "`nimbo-tap`",
            "Java `RouterAlertTap`");

    static Section run(Bench.Config config) throws Exception {
        int warmup = config.quick() ? 1 : 2;
        int trials = config.quick() ? 3 : 9;
        String loadBefore = Bench.loadAverage();
        Table rates = new Table("payload", NAMES.get(0), NAMES.get(1), NAMES.get(2),
                "Java / `nimbo-tap` (target 0.9x)", "`nimbo-tap` / kernel", "datagrams sent per trial");
        Table loss = new Table("payload", "path", "trials", "sent", "offered by snd (median)", "taken by the tap",
                "tap's kernel drops", "sent = taken + kernel drops", "forwarded", "received at rcv",
                "rcv's socket drops", "dropped elsewhere, as the kernel counted", "uncounted loss");
        List<Section.Target> targets = new ArrayList<>();
        List<RouterTrial.Outcome> javaRuns = new ArrayList<>();
        try (RouterTrial trial = RouterTrial.start()) {
            for (int length : SIZES) {
                int count = config.quick() ? 2000 : length > 1000 ? 100_000 : 200_000;
                Map<RouterTrial.Way, List<RouterTrial.Outcome>> runs = new EnumMap<>(RouterTrial.Way.class);
                List<Trials.MeasuredPath> paths = new ArrayList<>();
                for (RouterTrial.Way way : RouterTrial.Way.values()) {
                    List<RouterTrial.Outcome> list = new ArrayList<>();
                    runs.put(way, list);
                    paths.add(new Trials.MeasuredPath(way.name(), n -> {
                        RouterTrial.Outcome o = trial.run(way, length, n);
                        System.out.println("router " + length + " B " + way + ": " + o);
                        list.add(o);
                        return o.nanosPerDatagram();
                    }));
                }
                List<Trials.Result> r = Trials.measure(paths, count, warmup, trials);
                double ratio = r.get(1).median() / r.get(2).median();  // rates: Java over nimbo-tap
                rates.row(length + " B", r.get(0).rateCell(), r.get(1).rateCell(), r.get(2).rateCell(),
                        Trials.ratio(ratio), Trials.ratio(r.get(0).median() / r.get(1).median()), String.format("%,d", count));
                targets.add(new Section.Target("Java `RouterAlertTap` at least 0.9x `nimbo-tap`, " + length + " B",
                        Trials.ratio(ratio), ratio >= 0.9));
                for (RouterTrial.Way way : RouterTrial.Way.values()) lossRow(loss, length, way, runs.get(way));
                javaRuns.addAll(runs.get(RouterTrial.Way.JAVA_TAP));
            }
        }
        targets.add(lossTarget(javaRuns));
        return new Section(text(warmup, trials, loadBefore) + rates.markdown()
                + "\nWhere the datagrams went, summed over every trial of each path (warm-up included); counts of"
                + " datagrams.\n\n" + loss.markdown(), targets);
    }

    private static void lossRow(Table loss, int length, RouterTrial.Way way, List<RouterTrial.Outcome> runs) {
        boolean tap = way != RouterTrial.Way.KERNEL;
        long balanced = runs.stream().filter(o -> o.sent() == o.tapReceived() + o.tapDrops()).count();
        double[] offered = runs.stream().mapToDouble(RouterTrial.Outcome::offered).sorted().toArray();
        loss.row(length + " B", NAMES.get(way.ordinal()), "" + runs.size(), sum(runs, RouterTrial.Outcome::sent),
                String.format("%,.0f/s", offered[offered.length / 2]),
                tap ? sum(runs, RouterTrial.Outcome::tapReceived) : "",
                tap ? sum(runs, RouterTrial.Outcome::tapDrops) : "",
                tap ? balanced + " of " + runs.size() + " trials" : "",
                tap ? sum(runs, RouterTrial.Outcome::tapForwarded) : "",
                sum(runs, RouterTrial.Outcome::received), sum(runs, RouterTrial.Outcome::receiverDrops),
                sum(runs, RouterTrial.Outcome::elsewhere), sum(runs, RouterTrial.Outcome::uncounted));
    }

    /** Met when every datagram sent to the Java tap either reached rcv or is among its kernelDrops(). */
    private static Section.Target lossTarget(List<RouterTrial.Outcome> runs) {
        long uncounted = runs.stream().mapToLong(RouterTrial.Outcome::uncounted).sum();
        long sent = runs.stream().mapToLong(RouterTrial.Outcome::sent).sum();
        return new Section.Target("every datagram the Java tap did not forward counted by `kernelDrops()`",
                String.format("%,d uncounted of %,d sent (%d trials)", uncounted, sent, runs.size()), uncounted == 0);
    }

    private static String sum(List<RouterTrial.Outcome> runs, java.util.function.ToLongFunction<RouterTrial.Outcome> f) {
        return String.format("%,d", runs.stream().mapToLong(f).sum());
    }

    private static String text(int warmup, int trials, String loadBefore) throws Exception {
        return "## Router: datagrams per second through a forwarding host\n\n"
                + "Three hosts in a private namespace (tests/router-net): snd 198.18.1.2, rtr, rcv 198.18.2.2, joined"
                + " by veth pairs of MTU 1500; rtr forwards. A trial: a receiver on rcv (bench/router_count.cpp) listens"
                + " with a " + RouterTrial.RECEIVER_BUFFER + "-byte receive buffer and reads nothing until the trial is"
                + " over; the path's tap starts on rtr; a sender on snd (bench/router_send.cpp) sends a fixed number of"
                + " UDP datagrams to rcv as fast as `sendmmsg` takes them, with Router Alert for the two taps and"
                + " without for kernel forwarding; the tap stops after " + RouterTrial.IDLE_MS + " ms without a"
                + " datagram; then rcv drains its queue. A cell is the rate at rcv: datagrams received, less one, over"
                + " the time from the first arrival to the last, both stamped by rcv's kernel (`SO_TIMESTAMPNS`)."
                + " The sender offers more than either tap can take, so each tap runs flat out and its queue overflows;"
                + " the kernel counts what it drops there, and both taps ask for the same " + RouterTrial.TAP_BUFFER
                + "-byte receive buffer (`nimbo-tap --quiet --receive-buffer`, `setReceiveBufferSize`). The Java tap"
                + " (bench/RouterTapBench.java) is one JVM for all trials, with this run's options (`"
                + RouterTrial.javaTapOptions() + "`); it opens a new tap for each trial and loops `receive`, `forward`."
                + " With Router Alert a 1472-byte payload makes a 1504-byte datagram: snd sends it in two fragments,"
                + " rtr puts them together for the tap, and the tap sends it on in two fragments again. " + warmup
                + " unrecorded rounds, then " + trials + " recorded trials per path, the paths taking turns as in the"
                + " other tables; each cell: the median rate ± half the interquartile range, as a share. Load average"
                + " (1, 5, 15 min): " + loadBefore + " at the start of this table, " + Bench.loadAverage()
                + " at the end.\n\n";
    }
}
