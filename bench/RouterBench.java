// SPDX-License-Identifier: Apache-2.0
import java.util.ArrayList;
import java.util.EnumMap;
import java.util.List;
import java.util.Map;
import java.util.function.ToLongFunction;

/**
 * The router table: datagrams per second from snd through rtr to rcv (tests/router-net), forwarded
 * by the kernel (plain datagrams, and the same Router Alert datagrams the taps take, with no tap
 * open), by nimbo-tap and by a Java program on nimbo.RouterAlertTap, and where every datagram that
 * did not arrive was counted.
 */
final class RouterBench {
    private RouterBench() {}

    private static final int[] SIZES = {64, 1472};
    private static final List<String> NAMES = List.of("kernel forwarding, plain", "kernel forwarding, Router Alert",
            "`nimbo-tap`", "Java `RouterAlertTap`");

    static Section run(Bench.Config config) throws Exception {
        int warmup = config.quick() ? 1 : 2;
        int trials = config.quick() ? 3 : 9;
        String loadBefore = Bench.loadAverage();
        Table rates = new Table("payload", NAMES.get(0), NAMES.get(1), NAMES.get(2), NAMES.get(3),
                "Java / `nimbo-tap` (target 1.0x)", "`nimbo-tap` / kernel, Router Alert (target 0.5x)",
                "Java / kernel, Router Alert (target 0.5x)", "datagrams sent per trial");
        Table loss = new Table("payload", "path", "trials", "sent", "offered by snd (median)", "taken by the tap",
                "tap's kernel drops", "not forwarded by the tap, counted by reason", "received at rcv",
                "rcv's socket drops", "dropped elsewhere, as the kernel counted", "uncounted loss");
        List<Section.Target> targets = new ArrayList<>();
        List<RouterTrial.Outcome> all = new ArrayList<>();
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
                // Rates are the inverse of the medians' costs.
                double java = r.get(2).median() / r.get(3).median();
                double nimbo = r.get(1).median() / r.get(2).median();
                double javaKernel = r.get(1).median() / r.get(3).median();
                rates.row(length + " B", r.get(0).rateCell(), r.get(1).rateCell(), r.get(2).rateCell(),
                        r.get(3).rateCell(), Trials.ratio(java), Trials.ratio(nimbo), Trials.ratio(javaKernel),
                        String.format("%,d", count));
                targets.add(new Section.Target("Java `RouterAlertTap` at least 1.0x `nimbo-tap`, " + length + " B",
                        Trials.ratio(java), java >= 1.0));
                targets.add(new Section.Target("`nimbo-tap` at least 0.5x the kernel forwarding the same datagrams, "
                        + length + " B", Trials.ratio(nimbo), nimbo >= 0.5));
                targets.add(new Section.Target("Java `RouterAlertTap` at least 0.5x the kernel forwarding the same"
                        + " datagrams, " + length + " B", Trials.ratio(javaKernel), javaKernel >= 0.5));
                for (RouterTrial.Way way : RouterTrial.Way.values()) {
                    lossRow(loss, length, way, runs.get(way));
                    all.addAll(runs.get(way));
                }
            }
        }
        targets.add(lossTarget(all));
        return new Section(text(warmup, trials, loadBefore) + rates.markdown()
                + "\nWhere the datagrams went, summed over every trial of each path (warm-up included); counts of"
                + " datagrams.\n\n" + loss.markdown(), targets);
    }

    private static void lossRow(Table loss, int length, RouterTrial.Way way, List<RouterTrial.Outcome> runs) {
        boolean tap = way.tap();
        double[] offered = runs.stream().mapToDouble(RouterTrial.Outcome::offered).sorted().toArray();
        loss.row(length + " B", NAMES.get(way.ordinal()), "" + runs.size(), sum(runs, RouterTrial.Outcome::sent),
                String.format("%,.0f/s", offered[offered.length / 2]),
                tap ? sum(runs, RouterTrial.Outcome::tapReceived) : "",
                tap ? sum(runs, RouterTrial.Outcome::tapDrops) : "",
                tap ? sum(runs, RouterTrial.Outcome::notForwarded) : "",
                sum(runs, RouterTrial.Outcome::received), sum(runs, RouterTrial.Outcome::receiverDrops),
                sum(runs, RouterTrial.Outcome::elsewhere), sum(runs, RouterTrial.Outcome::uncounted));
    }

    /** Met when every datagram sent on every path reached rcv or was counted where it was dropped. */
    private static Section.Target lossTarget(List<RouterTrial.Outcome> runs) {
        long uncounted = runs.stream().mapToLong(RouterTrial.Outcome::uncounted).sum();
        long sent = runs.stream().mapToLong(RouterTrial.Outcome::sent).sum();
        return new Section.Target("every datagram arrived or was counted where it was dropped, the taps' queues at"
                + " their end included", String.format("%,d uncounted of %,d sent (%d trials)", uncounted, sent,
                runs.size()), uncounted == 0);
    }

    private static String sum(List<RouterTrial.Outcome> runs, ToLongFunction<RouterTrial.Outcome> f) {
        return String.format("%,d", runs.stream().mapToLong(f).sum());
    }

    private static String text(int warmup, int trials, String loadBefore) throws Exception {
        return "## Router: datagrams per second through a forwarding host\n\n"
                + "Three hosts in a private namespace (tests/router-net): snd 198.18.1.2, rtr, rcv 198.18.2.2, joined"
                + " by veth pairs of MTU 1500; rtr forwards. A trial: a receiver on rcv (bench/router_count.cpp) listens"
                + " with a " + RouterTrial.RECEIVER_BUFFER + "-byte receive buffer and reads nothing until the trial is"
                + " over; the path's tap starts on rtr; a sender on snd (bench/router_send.cpp) sends a fixed number of"
                + " UDP datagrams to rcv as fast as `sendmmsg` takes them, with Router Alert except for plain kernel"
                + " forwarding; once the sender is done, the tap shuts its input down (`nimbo-tap` on SIGTERM, the Java"
                + " tap with `shutdownInput()`), forwards what it has queued and reports; then rcv drains its queue. With"
                + " no tap open the kernel forwards Router Alert datagrams itself: that column is the fair baseline"
                + " for the taps, the plain one shows what the option costs the kernel. A cell is the rate at rcv:"
                + " datagrams received, less one, over the time from the first arrival to the last, both stamped by"
                + " rcv's kernel (`SO_TIMESTAMPNS`). The sender offers more than either tap can take, so each tap runs"
                + " flat out and its queue overflows; the kernel counts what it drops there, and both taps ask for the"
                + " same " + RouterTrial.TAP_BUFFER + "-byte receive buffer (`nimbo-tap --quiet --receive-buffer`,"
                + " `setReceiveBufferSize`). The Java tap (bench/RouterTapBench.java) is one JVM for all trials, with"
                + " this run's options (`" + RouterTrial.javaTapOptions() + "`); it opens a new tap for each trial and"
                + " loops `receive`, `forward` in one thread. With Router Alert a 1472-byte payload makes a 1504-byte"
                + " datagram: snd sends it in two fragments; the kernel forwards the fragments as they are, while rtr"
                + " puts them together for a tap, which sends it on in two fragments again. " + warmup
                + " unrecorded rounds, then " + trials + " recorded trials per path, the paths taking turns as in the"
                + " other tables; each cell: the median rate ± half the interquartile range, as a share. Load average"
                + " (1, 5, 15 min): " + loadBefore + " at the start of this table, " + Bench.loadAverage()
                + " at the end.\n\n";
    }
}
