// SPDX-License-Identifier: Apache-2.0
import java.util.List;

/** Quillon.TempsSys against the JDK's clocks, gettimeofday from C++ and an empty JNI call. */
final class ClockBench {
    private ClockBench() {}

    static Section run(Bench.Config config) throws Exception {
        int count = config.quick() ? 1_000 : 1_000_000;
        List<Trials.Result> r = Trials.run(List.of(
                new Trials.Path("`Quillon.TempsSys()`", ClockBench::tempsSys),
                new Trials.Path("`System.currentTimeMillis()`", ClockBench::currentTimeMillis),
                new Trials.Path("`System.nanoTime()`", ClockBench::nanoTime),
                new Trials.Path("C++ `gettimeofday` loop", ClockBench::gettimeofday),
                new Trials.Path("empty JNI call (the JVM's floor for any native method)", ClockBench::nothing)),
                count, config.warmup(), config.trials());

        double millis = r.get(1).median();
        Table table = new Table("call", "per call (median ±spread)", "vs `currentTimeMillis`");
        for (Trials.Result result : r) {
            table.row(result.name(), result.cell(), Trials.ratio(result.median() / millis));
        }
        double ratio = r.get(0).median() / millis;
        String text = "## Clock: nanoseconds per call\n\n"
                + count + " calls per trial; the C++ loop is one native call that runs them all.\n\n"
                + table.markdown();
        return new Section(text, List.of(new Section.Target("`TempsSys` within 1.5x of `System.currentTimeMillis()`",
                Trials.ratio(ratio) + " the time", ratio <= 1.5)));
    }

    private static long tempsSys(int count) {
        long sum = 0;
        long start = System.nanoTime();
        for (int i = 0; i < count; i++) sum += Quillon.TempsSys();
        long elapsed = System.nanoTime() - start;
        Bench.consume(sum);
        return elapsed;
    }

    private static long currentTimeMillis(int count) {
        long sum = 0;
        long start = System.nanoTime();
        for (int i = 0; i < count; i++) sum += System.currentTimeMillis();
        long elapsed = System.nanoTime() - start;
        Bench.consume(sum);
        return elapsed;
    }

    private static long nanoTime(int count) {
        long sum = 0;
        long start = System.nanoTime();
        for (int i = 0; i < count; i++) sum += System.nanoTime();
        long elapsed = System.nanoTime() - start;
        Bench.consume(sum);
        return elapsed;
    }

    private static long gettimeofday(int count) {
        long start = System.nanoTime();
        long sum = BenchLoops.gettimeofday(count);
        long elapsed = System.nanoTime() - start;
        Bench.consume(sum);
        return elapsed;
    }

    private static long nothing(int count) {
        long start = System.nanoTime();
        for (int i = 0; i < count; i++) BenchLoops.nothing();
        return System.nanoTime() - start;
    }
}
