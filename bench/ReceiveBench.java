// SPDX-License-Identifier: Apache-2.0
import java.io.IOException;
import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.NetworkInterface;
import java.net.StandardSocketOptions;
import java.nio.ByteBuffer;
import java.nio.channels.DatagramChannel;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * NimboReceive.read against the JDK's two ways to receive and a plain recvfrom loop. Every trial
 * first fills its path's socket (untimed), then times draining it, so the figure is the cost of
 * receiving, not the sender's speed.
 */
final class ReceiveBench {
    private ReceiveBench() {}

    private static final String GROUP = "239.1.2.5";
    private static final int NIMBO_PORT = 47400;
    private static final int SOCKET_PORT = 47401;
    private static final int CHANNEL_PORT = 47402;
    private static final int CPP_PORT = 47403;
    private static final int ARRAY = 6044;  // what NimboReceive.read always returns

    /** The longest datagram NimboReceive has received so far: what its buffer holds past a shorter one. */
    private static int longest;

    /** Where the allocation path's arrays go, so that the compiler cannot leave them out. */
    private static byte[] kept;

    static Section run(Bench.Config config) throws Exception {
        NimboReceive.init_socket(GROUP, NIMBO_PORT);
        NimboReceive.set_rcv_buf(Net.RCVBUF);
        InetAddress group = InetAddress.getByName(GROUP);
        NetworkInterface lo = NetworkInterface.getByName("lo");
        int cpp = BenchLoops.openReceiver(GROUP, CPP_PORT, Net.RCVBUF);
        int sender = BenchLoops.openSender(false);
        try (DatagramSocket socket = new DatagramSocket(SOCKET_PORT);
                DatagramChannel channel = DatagramChannel.open()) {
            socket.setReceiveBufferSize(Net.RCVBUF);
            socket.joinGroup(new InetSocketAddress(group, 0), lo);
            channel.setOption(StandardSocketOptions.SO_RCVBUF, Net.RCVBUF);
            channel.bind(new InetSocketAddress(CHANNEL_PORT)).join(group, lo);
            // The JDK reports half of what the kernel reserves.
            List<Integer> buffers = List.of(NimboReceive.get_rcv_buf(), 2 * socket.getReceiveBufferSize(),
                    2 * channel.getOption(StandardSocketOptions.SO_RCVBUF), BenchLoops.receiveBuffer(cpp));
            if (buffers.stream().distinct().count() != 1) throw new IllegalStateException("receive buffers differ: " + buffers);

            Receivers receivers = new Receivers(socket, channel, cpp, sender);
            Table table = table();
            Table full = table();
            StringBuilder chart = new StringBuilder("# payload, then median, 25th and 75th percentile in ns for"
                    + " NimboReceive.read, DatagramSocket.receive, DatagramChannel.receive, C++ recvfrom,"
                    + " new byte[6044] alone\n");
            List<Section.Target> targets = new ArrayList<>();
            // Shortest first: each size is measured while NimboReceive's buffer has seen nothing longer.
            for (int length : Bench.SIZES) {
                List<Trials.Result> r = receivers.measure(length, config);
                double vsSocket = r.get(1).median() / r.get(0).median();
                double vsCpp = r.get(3).median() / r.get(0).median();
                targets.add(new Section.Target("`NimboReceive.read` at least 1.2x `DatagramSocket`, " + length + " B",
                        Trials.ratio(vsSocket), vsSocket >= 1.2));
                targets.add(new Section.Target("`NimboReceive.read` at least 0.8x C++ `recvfrom`, " + length + " B",
                        Trials.ratio(vsCpp), vsCpp >= 0.8));
                row(table, length, r, receivers.count);
                chart.append(length);
                for (Trials.Result p : r) {
                    chart.append(String.format(" %.1f %.1f %.1f", p.median(), p.quantile(0.25), p.quantile(0.75)));
                }
                chart.append('\n');
            }
            Files.writeString(config.out().resolve("receive.dat"), chart);
            // Once a 6044-byte datagram has filled NimboReceive's buffer, as in a long-lived receiver.
            for (int s = 0; s < Bench.SIZES.length - 1; s++) {
                row(full, Bench.SIZES[s], receivers.measure(Bench.SIZES[s], config), receivers.count);
            }
            BenchLoops.close(cpp);
            BenchLoops.close(sender);

            String text = "## Receive: nanoseconds per datagram\n\n"
                    + "Each trial fills its path's socket with datagrams sent to " + GROUP + " (untimed; every socket"
                    + " has joined the group on its own port, with the same " + buffers.get(0) + "-byte receive buffer),"
                    + " waits until the kernel has queued all of them, then times draining them. Nothing is dropped:"
                    + " a trial fills at most five sixths of the buffer, and the namespace's drop counter is checked."
                    + " `NimboReceive.read` returns a new 6044-byte array; `DatagramSocket.receive` receives into a new"
                    + " 6044-byte array per datagram; `DatagramChannel.receive` into one reused direct buffer; C++"
                    + " `recvfrom` into one 6044-byte buffer. The last datagram of every trial is checked byte by byte."
                    + " Sizes run shortest first, so NimboReceive's buffer holds nothing longer than the datagrams"
                    + " being measured. The ceiling is the ratio a path would reach if it cost no more than the C++"
                    + " loop plus `new byte[6044]` alone, the least that receiving into a new array can cost.\n\n"
                    + table.markdown()
                    + "\nThe three shorter sizes again, every path, after the 6044-byte trials: NimboReceive's buffer"
                    + " now holds a full datagram, and every read copies all of it.\n\n"
                    + full.markdown()
                    + "\n![Receive cost against payload size](receive.png)\n";
            return new Section(text, targets);
        }
    }

    private static Table table() {
        return new Table("payload", "`NimboReceive.read`", "`DatagramSocket.receive`", "`DatagramChannel.receive`",
                "C++ `recvfrom`", "`new byte[6044]` alone, nothing received", "throughput vs `DatagramSocket` (target 1.2x)",
                "vs C++ (target 0.8x)", "ceiling for any path that returns a new array, vs `DatagramSocket` / vs C++",
                "datagrams per trial");
    }

    private static void row(Table table, int length, List<Trials.Result> r, int count) {
        double nimbo = r.get(0).median();
        double floor = r.get(3).median() + r.get(4).median();  // a receive plus a new array
        table.row(length + " B", r.get(0).cell(), r.get(1).cell(), r.get(2).cell(), r.get(3).cell(), r.get(4).cell(),
                Trials.ratio(r.get(1).median() / nimbo), Trials.ratio(r.get(3).median() / nimbo),
                Trials.ratio(r.get(1).median() / floor) + " / " + Trials.ratio(r.get(3).median() / floor), "" + count);
    }

    /** The four receiving sockets besides NimboReceive's, and the socket that fills them. */
    private static final class Receivers {
        final DatagramSocket socket;
        final DatagramChannel channel;
        final int cpp;
        final int sender;
        int count;  // datagrams per trial in the latest measure()

        Receivers(DatagramSocket socket, DatagramChannel channel, int cpp, int sender) {
            this.socket = socket;
            this.channel = channel;
            this.cpp = cpp;
            this.sender = sender;
        }

        /** Every path, interleaved, at one payload size: Nimbo, socket, channel, C++, allocation alone. */
        List<Trials.Result> measure(int length, Bench.Config config) throws Exception {
            long charged = Net.charge(cpp, CPP_PORT, length);
            count = Net.capacity(cpp, charged, config.quick() ? 30 : 10_000);
            Filler fill = new Filler(sender, length, count, charged);
            return Trials.run(List.of(
                    new Trials.Path("nimbo", n -> fill.then(NIMBO_PORT, k -> nimbo(k, length))),
                    new Trials.Path("socket", n -> fill.then(SOCKET_PORT, k -> socket(socket, k, length))),
                    new Trials.Path("channel", n -> fill.then(CHANNEL_PORT, k -> channel(channel, k, length))),
                    new Trials.Path("c++", n -> fill.then(CPP_PORT, k -> cpp(cpp, k, length))),
                    new Trials.Path("allocation", ReceiveBench::allocation)),
                    count, config.warmup(), config.trials());
        }
    }

    /** Fills a port's socket with count datagrams of length bytes, then runs the timed drain. */
    private record Filler(int sender, int length, int count, long charged) {
        long then(int port, Trials.Trial drain) throws Exception {
            long dropped = Net.droppedForBuffer();
            if (BenchLoops.send(sender, GROUP, port, length, count, false) != count) throw new IOException("send failed");
            Net.awaitQueued(port, count * charged);
            Net.requireNoDrop(dropped, "port " + port);
            long elapsed = drain.run(count);
            if (Net.queuedBytes(port) != 0) throw new IllegalStateException("port " + port + ": datagrams left over");
            return elapsed;
        }
    }

    private static long nimbo(int count, int length) {
        byte[] last = null;
        long start = System.nanoTime();
        for (int i = 0; i < count; i++) last = NimboReceive.read();
        long elapsed = System.nanoTime() - start;
        longest = Math.max(longest, length);
        byte[] expected = Arrays.copyOf(Bench.payload(longest), ARRAY);  // zeros past the longest
        if (!Arrays.equals(last, expected)) throw new IllegalStateException("NimboReceive.read: wrong array");
        return elapsed;
    }

    private static long socket(DatagramSocket socket, int count, int length) throws IOException {
        DatagramPacket packet = new DatagramPacket(new byte[0], 0);  // one packet, a new array each time
        long start = System.nanoTime();
        for (int i = 0; i < count; i++) {
            packet.setData(new byte[ARRAY]);
            socket.receive(packet);
        }
        long elapsed = System.nanoTime() - start;
        if (!Arrays.equals(Arrays.copyOf(packet.getData(), packet.getLength()), Bench.payload(length))) {
            throw new IllegalStateException("DatagramSocket.receive: wrong datagram");
        }
        return elapsed;
    }

    private static long channel(DatagramChannel channel, int count, int length) throws IOException {
        ByteBuffer buffer = ByteBuffer.allocateDirect(ARRAY);  // one per trial, reused for every datagram
        long start = System.nanoTime();
        for (int i = 0; i < count; i++) {
            buffer.clear();
            channel.receive(buffer);
        }
        long elapsed = System.nanoTime() - start;
        byte[] last = new byte[buffer.flip().remaining()];
        buffer.get(last);
        if (!Arrays.equals(last, Bench.payload(length))) throw new IllegalStateException("DatagramChannel.receive: wrong datagram");
        return elapsed;
    }

    /** What every path that hands out a new 6044-byte array pays before it receives anything. */
    private static long allocation(int count) {
        long start = System.nanoTime();
        for (int i = 0; i < count; i++) kept = new byte[ARRAY];
        return System.nanoTime() - start;
    }

    private static long cpp(int fd, int count, int length) {
        long start = System.nanoTime();
        long received = BenchLoops.receive(fd, count);
        long elapsed = System.nanoTime() - start;
        if (received != (long) count * length) throw new IllegalStateException("recvfrom: " + received + " bytes");
        byte[] expected = Bench.payload(length);
        for (int i = 0; i < length; i++) {
            if ((byte) BenchLoops.receivedByte(i) != expected[i]) throw new IllegalStateException("recvfrom: wrong datagram");
        }
        return elapsed;
    }
}
