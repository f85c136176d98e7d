// SPDX-License-Identifier: Apache-2.0
import java.net.InetSocketAddress;
import java.nio.ByteBuffer;
import java.nio.channels.DatagramChannel;
import java.util.ArrayList;
import java.util.List;
import nimbo.RouterAlert;

/** DatagramChannel.send with and without nimbo.RouterAlert, beside NimboSendUnicast.write and C++ sendto. */
final class ChannelBench {
    private ChannelBench() {}

    private static final String HOST = "127.0.0.1";
    private static final int PORT = 47302;

    static Section run(Bench.Config config) throws Exception {
        NimboSendUnicast.init_socket();
        int sink = BenchLoops.openReceiver(null, PORT, Net.RCVBUF);
        int cppAlert = BenchLoops.openSender(true);
        int cppPlain = BenchLoops.openSender(false);
        InetSocketAddress to = new InetSocketAddress(HOST, PORT);
        Table table = new Table("payload", "`DatagramChannel.send`", "`DatagramChannel.send`, Router Alert",
                "Router Alert / plain", "`NimboSendUnicast.write`", "C++ `sendto`, Router Alert",
                "C++ `sendto`, plain", "datagrams per trial");
        List<Section.Target> targets = new ArrayList<>();
        try (DatagramChannel plain = DatagramChannel.open();
             DatagramChannel alerted = RouterAlert.enable(DatagramChannel.open())) {
            for (int length : Bench.SIZES) {
                int count = Net.capacity(sink, Net.charge(sink, PORT, length), config.quick() ? 20 : 4000);
                byte[] data = Bench.payload(length);
                ByteBuffer buffer = ByteBuffer.allocateDirect(length).put(data);
                List<Trials.Result> r = Trials.run(List.of(
                        new Trials.Path("plain", SendBench.delivered(sink, length, n -> send(plain, buffer, to, n))),
                        new Trials.Path("alerted", SendBench.delivered(sink, length, n -> send(alerted, buffer, to, n))),
                        new Trials.Path("nimbo", SendBench.delivered(sink, length, n -> {
                            long start = System.nanoTime();
                            for (int i = 0; i < n; i++) NimboSendUnicast.write(HOST, PORT, data);
                            return System.nanoTime() - start;
                        })),
                        new Trials.Path("c++ alert", SendBench.delivered(sink, length, n -> cpp(cppAlert, length, n))),
                        new Trials.Path("c++ plain", SendBench.delivered(sink, length, n -> cpp(cppPlain, length, n)))),
                        count, config.warmup(), config.trials());
                double ratio = r.get(1).median() / r.get(0).median();
                table.row(length + " B", r.get(0).cell(), r.get(1).cell(), Trials.ratio(ratio), r.get(2).cell(),
                        r.get(3).cell(), r.get(4).cell(), "" + count);
                targets.add(new Section.Target("`DatagramChannel.send` with Router Alert within 3% of without, "
                        + length + " B", String.format("%+.2f%%", 100 * (ratio - 1)), ratio <= 1.03));
            }
        }
        BenchLoops.close(cppAlert);
        BenchLoops.close(cppPlain);
        BenchLoops.close(sink);
        String text = "## Router Alert on a JDK channel: nanoseconds per datagram to " + HOST + "\n\n"
                + "`DatagramChannel.open()` (dual-stack) sending a direct buffer to an address made once, plain and"
                + " after `RouterAlert.enable`; `NimboSendUnicast.write` looks the host up on every call (a dotted"
                + " quad, parsed without the resolver); the C++ loops send to an address made once. Each trial's"
                + " datagrams all arrive; the sink is emptied, untimed, after each trial.\n\n"
                + table.markdown();
        return new Section(text, targets);
    }

    private static long send(DatagramChannel channel, ByteBuffer buffer, InetSocketAddress to, int n) throws Exception {
        long start = System.nanoTime();
        for (int i = 0; i < n; i++) {
            buffer.rewind();
            channel.send(buffer, to);
        }
        return System.nanoTime() - start;
    }

    private static long cpp(int fd, int length, int n) {
        long start = System.nanoTime();
        BenchLoops.send(fd, HOST, PORT, length, n, false);
        return System.nanoTime() - start;
    }
}
