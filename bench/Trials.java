// SPDX-License-Identifier: Apache-2.0
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/** Timed trials of several paths, interleaved, and the median and spread of each path's cost. */
final class Trials {
    private Trials() {}

    /** Runs count operations and returns the nanoseconds of the part that is measured. */
    @FunctionalInterface
    interface Trial {
        long run(int count) throws Exception;
    }

    record Path(String name, Trial trial) {}

    /** Runs a trial of count operations and returns the nanoseconds per operation that it measured itself. */
    @FunctionalInterface
    interface Measured {
        double run(int count) throws Exception;
    }

    record MeasuredPath(String name, Measured trial) {}

    /** One path's cost per operation in each trial, in nanoseconds, sorted. */
    record Result(String name, double[] perOperation) {
        double median() {
            return quantile(0.5);
        }

        /** Half the interquartile range, as a share of the median. */
        double spread() {
            return (quantile(0.75) - quantile(0.25)) / 2 / median();
        }

        double quantile(double q) {
            double position = q * (perOperation.length - 1);
            int below = (int) Math.floor(position);
            int above = Math.min(below + 1, perOperation.length - 1);
            return perOperation[below] + (position - below) * (perOperation[above] - perOperation[below]);
        }

        /** "1,234 ns ±0.8%": the median and the spread. */
        String cell() {
            return nanos(median()) + String.format(" ±%.1f%%", 100 * spread());
        }

        /** "812,345/s ±0.8%": operations per second at the median cost, and the spread. */
        String rateCell() {
            return String.format("%,.0f/s ±%.1f%%", 1e9 / median(), 100 * spread());
        }
    }

    /**
     * Runs warmup unrecorded rounds, then trials recorded ones. A round runs every path once, each
     * round starting one path further on, so that no path always follows the same neighbour and a
     * change in the machine's load falls on all of them alike.
     */
    static List<Result> run(List<Path> paths, int count, int warmup, int trials) throws Exception {
        List<MeasuredPath> measured = new ArrayList<>();
        for (Path p : paths) measured.add(new MeasuredPath(p.name(), n -> (double) p.trial().run(n) / n));
        return measure(measured, count, warmup, trials);
    }

    /** As {@link #run}, for trials that count their operations themselves (those that got through, say). */
    static List<Result> measure(List<MeasuredPath> paths, int count, int warmup, int trials) throws Exception {
        double[][] costs = new double[paths.size()][trials];
        for (int round = -warmup; round < trials; round++) {
            for (int k = 0; k < paths.size(); k++) {
                int p = Math.floorMod(round + k, paths.size());
                double cost = paths.get(p).trial().run(count);
                if (round >= 0) costs[p][round] = cost;
            }
        }
        List<Result> results = new ArrayList<>();
        for (int p = 0; p < paths.size(); p++) {
            Arrays.sort(costs[p]);
            results.add(new Result(paths.get(p).name(), costs[p]));
        }
        return results;
    }

    /** Nanoseconds to three significant digits or whole numbers: "23.4 ns", "1,234 ns". */
    static String nanos(double ns) {
        return (Math.abs(ns) < 100 ? String.format("%.1f", ns) : String.format("%,.0f", ns)) + " ns";
    }

    /** "1.23x". */
    static String ratio(double r) {
        return String.format("%.2fx", r);
    }
}
