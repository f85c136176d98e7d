// SPDX-License-Identifier: Apache-2.0
import java.io.IOException;
import java.lang.management.GarbageCollectorMXBean;
import java.lang.management.ManagementFactory;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.ZonedDateTime;
import java.time.format.DateTimeFormatter;
import java.util.ArrayList;
import java.util.List;
import java.util.stream.Collectors;

/**
 * The benchmarks: each library against what a Java developer would use instead and against the
 * same system calls from plain C++. Prints each table as it is done, then writes them all to
 * RESULTS.md (and the receive figures to receive.dat for the chart) in the output folder, and each
 * table also on its own there (TABLE.md, TABLE.targets).
 *
 * <p>Usage: Bench [--quick] [--out DIR] [--notes FILE] [--tables receive,unicast,multicast,clock,channel,router]
 * [--include-saved router]. The router table runs under tests/router-net, the others under
 * tests/netns-run; --include-saved takes tables an earlier run in another namespace left in DIR
 * into this run's RESULTS.md.
 */
public final class Bench {
    private Bench() {}

    static final int[] SIZES = {64, 512, 1472, 6044};

    private static volatile long sink;

    /** Keeps a result alive, so that the compiler cannot drop the work that made it. */
    static void consume(long value) {
        sink = sink + value;
    }

    /** Byte i is i * 31 + 7: neighbours differ, so a shifted or cut copy shows. */
    static byte[] payload(int length) {
        byte[] data = new byte[length];
        for (int i = 0; i < length; i++) data[i] = (byte) (i * 31 + 7);
        return data;
    }

    /** --quick: tiny counts that run every path once or twice, to keep the benchmark from rotting. */
    record Config(boolean quick, int warmup, int trials, Path out, Path notes, List<String> tables,
            List<String> saved) {
        static Config parse(String[] args) {
            boolean quick = false;
            Path out = Path.of(".");
            Path notes = null;
            List<String> tables = List.of("receive", "unicast", "multicast", "clock", "channel");
            List<String> saved = List.of();
            for (int i = 0; i < args.length; i++) {
                switch (args[i]) {
                    case "--quick" -> quick = true;
                    case "--out" -> out = Path.of(args[++i]);
                    case "--notes" -> notes = Path.of(args[++i]);
                    case "--tables" -> tables = List.of(args[++i].split(","));
                    case "--include-saved" -> saved = List.of(args[++i].split(","));
                    default -> throw new IllegalArgumentException("unknown argument " + args[i]);
                }
            }
            return quick ? new Config(true, 1, 3, out, notes, tables, saved)
                    : new Config(false, 5, 41, out, notes, tables, saved);
        }

        /** Whether this JVM runs a table besides the router's, on loopback. */
        boolean onLoopback() {
            return tables.stream().anyMatch(t -> !t.equals("router"));
        }

        boolean withRouter() {
            return tables.contains("router") || saved.contains("router");
        }
    }

    public static void main(String[] args) throws Exception {
        Config config = Config.parse(args);
        Net.requirePrivateNamespace();
        Files.createDirectories(config.out());
        String loadBefore = loadAverage();
        List<Section> sections = new ArrayList<>();
        for (String table : config.tables()) {
            Section section = switch (table) {
                case "receive" -> ReceiveBench.run(config);
                case "unicast" -> SendBench.unicast(config);
                case "multicast" -> SendBench.multicast(config);
                case "clock" -> ClockBench.run(config);
                case "channel" -> ChannelBench.run(config);
                case "router" -> RouterBench.run(config);
                default -> throw new IllegalArgumentException("unknown table " + table);
            };
            System.out.println(section.markdown());
            section.save(config.out(), table);
            sections.add(section);
        }
        for (String table : config.saved()) sections.add(Section.load(config.out(), table));
        String targets = targets(sections);
        System.out.println(targets);

        StringBuilder results = new StringBuilder("# Benchmarks\n\n")
                .append("Written by `scripts/bench` on ")
                .append(ZonedDateTime.now().format(DateTimeFormatter.ofPattern("yyyy-MM-dd HH:mm z")))
                .append(config.quick() ? " with tiny counts (`--quick`): the figures mean nothing.\n\n" : ".\n\n")
                .append(machine(config, loadBefore, loadAverage()))
                .append(config.onLoopback() ? method(config) : "")
                .append(targets).append('\n');
        for (Section section : sections) results.append(section.markdown()).append('\n');
        if (config.notes() != null) results.append(Files.readString(config.notes()));
        Files.writeString(config.out().resolve("RESULTS.md"), results);
    }

    private static String targets(List<Section> sections) {
        Table table = new Table("target", "measured", "");
        for (Section section : sections) {
            for (Section.Target t : section.targets()) table.row(t.goal(), t.measured(), t.met() ? "met" : "**missed**");
        }
        return "## Targets\n\nRatios of medians, from the tables of this run.\n\n" + table.markdown();
    }

    private static String machine(Config config, String loadBefore, String loadAfter) throws IOException {
        List<String> cpu = Files.readAllLines(Path.of("/proc/cpuinfo"));
        String model = field(cpu, "model name");
        boolean virtual = field(cpu, "flags").contains(" hypervisor");
        String memory = field(Files.readAllLines(Path.of("/proc/meminfo")), "MemTotal");
        String gcs = ManagementFactory.getGarbageCollectorMXBeans().stream()
                .map(GarbageCollectorMXBean::getName).collect(Collectors.joining(", "));
        return "## Machine\n\n"
                + "- CPU: " + model + ", " + Runtime.getRuntime().availableProcessors() + " CPUs"
                + (virtual ? " (a virtual machine)" : "") + "; memory " + memory + "\n"
                + "- Linux " + System.getProperty("os.version") + ", clock source "
                + read("/sys/devices/system/clocksource/clocksource0/current_clocksource")
                + "; glibc " + BenchLoops.libcVersion() + "\n"
                + "- " + System.getProperty("java.vm.name") + " " + System.getProperty("java.vm.version")
                + "; options `" + options()
                + "`; collectors " + gcs + "\n"
                + "- Load average (1, 5, 15 min): " + loadBefore + " at the start, " + loadAfter + " at the end"
                + " (the run itself keeps one CPU busy)\n"
                + (config.onLoopback() ? "- A private network namespace holding only loopback (tests/netns-run); " : "- ")
                + "net.core.rmem_max " + read("/proc/sys/net/core/rmem_max") + " bytes\n"
                + (config.withRouter() ? "- The router table: three hosts in a private namespace of their own"
                        + " (tests/router-net), run just before the other tables; see its section\n" : "")
                + "\n";
    }

    /** This JVM's options as the results show them: the build folder, wherever it is, as {@code <build>}. */
    static String options() {
        String options = String.join(" ", ManagementFactory.getRuntimeMXBean().getInputArguments());
        return options.replace(System.getProperty("nimbo.build", "<build>"), "<build>");
    }

    private static String method(Config config) {
        return "## How it measures\n\n"
                + "- One JVM runs every table; each table comes from this one run. A trial times a fixed number of"
                + " operations with `System.nanoTime()`; " + config.warmup() + " unrecorded rounds of warm-up, then "
                + config.trials() + " recorded trials per path. Within a round each path runs once, in an order that"
                + " moves on by one path every round, so that changes in the machine's load fall on all paths alike.\n"
                + "- Each cell: the median cost per operation over the trials, ± half the interquartile range as a"
                + " share of the median. Ratios are of medians; a throughput ratio is the other path's time over"
                + " Nimbo's.\n"
                + "- The heap is fixed and touched before the run (`-Xms` = `-Xmx`, `-XX:+AlwaysPreTouch`): the first"
                + " touch of a memory page is very expensive on these machines, and a path that allocates an array"
                + " per datagram would otherwise pay a page fault on every read until the heap had been touched once.\n"
                + "- The C++ loops (bench/BenchLoops.cpp) run inside the same JVM: Java times one native call, which"
                + " runs the whole loop without touching the JVM.\n"
                + (config.withRouter() ? "- Except the router table, which measures programs on three hosts and says"
                        + " how in its section.\n" : "")
                + "\n";
    }

    private static String field(List<String> lines, String name) {
        return lines.stream().filter(l -> l.startsWith(name)).findFirst()
                .map(l -> l.substring(l.indexOf(':') + 1).trim()).orElse("?");
    }

    /** The first line of a file; read whole lines, as /proc/sys hands out nothing to a read that starts past 0. */
    private static String read(String file) throws IOException {
        return Files.readAllLines(Path.of(file)).get(0).trim();
    }

    static String loadAverage() throws IOException {
        String[] f = read("/proc/loadavg").split(" ");
        return f[0] + " " + f[1] + " " + f[2];
    }
}
