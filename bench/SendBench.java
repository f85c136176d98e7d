// SPDX-License-Identifier: Apache-2.0
import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetSocketAddress;
import java.util.ArrayList;
import java.util.List;

/** NimboSendUnicast.write against the JDK and sendto from C++; NimboSend.write against its own spin. */
final class SendBench {
    private SendBench() {}

    private static final String HOST = "127.0.0.1";
    private static final int UNICAST_PORT = 47300;
    private static final String GROUP = "239.1.2.4";  // nobody joins it: each datagram ends at the sender's host
    private static final int MULTICAST_PORT = 47301;

    static Section unicast(Bench.Config config) throws Exception {
        NimboSendUnicast.init_socket();
        int sink = BenchLoops.openReceiver(null, UNICAST_PORT, Net.RCVBUF);
        int cpp = BenchLoops.openSender(true);
        Table table = new Table("payload", "`NimboSendUnicast.write`", "`DatagramSocket.send`, address made once",
                "`DatagramSocket.send`, address made per call", "C++ `sendto`, host looked up per call",
                "C++ `sendto`, address once", "throughput vs `DatagramSocket` (once / per call)",
                "ceiling with a lookup per call: `DatagramSocket` (once) / C++ per call", "datagrams per trial");
        List<Section.Target> targets = new ArrayList<>();
        try (DatagramSocket jdk = new DatagramSocket()) {
            for (int length : Bench.SIZES) {
                int count = Net.capacity(sink, Net.charge(sink, UNICAST_PORT, length), config.quick() ? 20 : 4000);
                byte[] data = Bench.payload(length);
                DatagramPacket once = new DatagramPacket(data, length, new InetSocketAddress(HOST, UNICAST_PORT));
                DatagramPacket perCall = new DatagramPacket(data, length);
                List<Trials.Result> r = Trials.run(List.of(
                        new Trials.Path("nimbo", delivered(sink, length, n -> {
                            long start = System.nanoTime();
                            for (int i = 0; i < n; i++) NimboSendUnicast.write(HOST, UNICAST_PORT, data);
                            return System.nanoTime() - start;
                        })),
                        new Trials.Path("jdk once", delivered(sink, length, n -> {
                            long start = System.nanoTime();
                            for (int i = 0; i < n; i++) jdk.send(once);
                            return System.nanoTime() - start;
                        })),
                        new Trials.Path("jdk per call", delivered(sink, length, n -> {
                            long start = System.nanoTime();
                            for (int i = 0; i < n; i++) {
                                perCall.setSocketAddress(new InetSocketAddress(HOST, UNICAST_PORT));
                                jdk.send(perCall);
                            }
                            return System.nanoTime() - start;
                        })),
                        new Trials.Path("c++ lookup", delivered(sink, length, n -> {
                            long start = System.nanoTime();
                            BenchLoops.send(cpp, HOST, UNICAST_PORT, length, n, true);
                            return System.nanoTime() - start;
                        })),
                        new Trials.Path("c++ once", delivered(sink, length, n -> {
                            long start = System.nanoTime();
                            BenchLoops.send(cpp, HOST, UNICAST_PORT, length, n, false);
                            return System.nanoTime() - start;
                        }))),
                        count, config.warmup(), config.trials());
                double nimbo = r.get(0).median();
                double vsOnce = r.get(1).median() / nimbo;
                double vsPerCall = r.get(2).median() / nimbo;
                table.row(length + " B", r.get(0).cell(), r.get(1).cell(), r.get(2).cell(), r.get(3).cell(),
                        r.get(4).cell(), Trials.ratio(vsOnce) + " / " + Trials.ratio(vsPerCall),
                        Trials.ratio(r.get(1).median() / r.get(3).median()), "" + count);
                targets.add(new Section.Target("`NimboSendUnicast.write` at least as fast as `DatagramSocket.send`, " + length + " B",
                        Trials.ratio(vsOnce) + " (address made once), " + Trials.ratio(vsPerCall) + " (per call)",
                        vsOnce >= 1.0));
            }
        }
        BenchLoops.close(cpp);
        BenchLoops.close(sink);
        String text = "## Unicast send: nanoseconds per datagram to " + HOST + "\n\n"
                + "Each trial sends its datagrams to one socket, which is emptied (untimed) after the trial;"
                + " nothing is dropped. `NimboSendUnicast.write` looks the host up on every call, as the C++ loop"
                + " of the second-to-last column does. The JDK cannot put Router Alert on a datagram; both C++"
                + " loops send with it, as the library does. Throughput ratio = JDK time / Nimbo time. The ceiling"
                + " is the ratio a path that looks the host up on every call would reach if it cost no more than"
                + " the C++ loop that does the same.\n\n"
                + table.markdown();
        return new Section(text, targets);
    }

    static Section multicast(Bench.Config config) throws Exception {
        int fd = NimboSend.init_socket(0, GROUP, MULTICAST_PORT);
        int count = config.quick() ? 2 : 100;
        List<Trials.Path> paths = new ArrayList<>();
        paths.add(new Trials.Path("the 4,000,000-iteration spin alone", n -> {
            long start = System.nanoTime();
            for (int i = 0; i < n; i++) BenchLoops.spin();
            return System.nanoTime() - start;
        }));
        for (int length : Bench.SIZES) {
            byte[] data = Bench.payload(length);
            paths.add(new Trials.Path("`NimboSend.write`, " + length + " B", n -> {
                long start = System.nanoTime();
                for (int i = 0; i < n; i++) NimboSend.write(fd, data, length, GROUP, MULTICAST_PORT);
                return System.nanoTime() - start;
            }));
        }
        List<Trials.Result> r = Trials.run(paths, count, config.warmup(), config.trials());
        NimboSend.close_socket(fd);

        double spin = r.get(0).median();
        Table table = new Table("call", "per call (median ±spread)", "added to the spin", "vs the spin alone");
        List<Section.Target> targets = new ArrayList<>();
        for (Trials.Result result : r) {
            double ratio = result.median() / spin;
            table.row(result.name(), result.cell(), Trials.nanos(result.median() - spin), Trials.ratio(ratio));
            if (result != r.get(0)) {
                targets.add(new Section.Target(result.name() + " within 5% of the spin alone",
                        String.format("%+.2f%%", 100 * (ratio - 1)), ratio <= 1.05));
            }
        }
        String text = "## Multicast send: time per `NimboSend.write` and per spin\n\n"
                + count + " calls per trial, to " + GROUP + ", which no socket has joined. The spin alone is the"
                + " library's own busy loop (common/spin.h), compiled into the benchmark's C++ library and called"
                + " once per native call.\n\n"
                + table.markdown();
        return new Section(text, targets);
    }

    /** The trial, then the sink emptied: every datagram sent must have arrived, its bytes intact. */
    static Trials.Trial delivered(int sink, int length, Trials.Trial send) {
        return n -> {
            long elapsed = send.run(n);
            int arrived = BenchLoops.discard(sink);
            if (arrived != n) throw new IllegalStateException(n + " datagrams sent, " + arrived + " arrived");
            if (length > 0 && BenchLoops.receivedByte(length - 1) != (Bench.payload(length)[length - 1] & 0xff)) {
                throw new IllegalStateException("the last datagram's bytes differ from the payload");
            }
            return elapsed;
        };
    }
}
