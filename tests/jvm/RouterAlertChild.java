// SPDX-License-Identifier: Apache-2.0
import java.io.IOException;
import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.DatagramSocketImpl;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.NetworkInterface;
import java.net.SocketAddress;
import java.net.SocketOption;
import java.net.StandardProtocolFamily;
import java.net.StandardSocketOptions;
import java.nio.ByteBuffer;
import java.nio.channels.DatagramChannel;
import java.nio.channels.MembershipKey;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.Set;
import java.util.stream.Stream;
import nimbo.AlertedDatagram;
import nimbo.RouterAlert;
import nimbo.RouterAlertTap;

/**
 * What RouterAlertTest runs in a JVM of its own, so that its streams can be checked:
 * {@code use CASE} prints the class of what the call threw ("none" when nothing), and
 * {@code inherited PORT} enables, sends, disables and sends again on System.inheritedChannel(),
 * {@code disable-inherited} disables on it and prints what that threw and what the socket then carries,
 * {@code wire PORT VALUE INTERFACE} sends from a dual-stack channel with both Router Alerts to
 * 127.0.0.1, 239.1.2.3 (TTL 128), ::1 and ff15::1 (out of INTERFACE), and {@code tap VALUE MS}
 * prints "ready" once an IPv6 tap for VALUE is open, then what it intercepted in MS ("nothing"), and
 * {@code tap-without-memory} opens a tap where direct buffers cannot be had and prints what that
 * threw and how many descriptors it left open.
 */
public final class RouterAlertChild {
    private RouterAlertChild() {}

    public static void main(String[] args) throws Exception {
        if (args[0].equals("wire")) {
            wire(Integer.parseInt(args[1]), Integer.parseInt(args[2]), args[3]);
            return;
        }
        if (args[0].equals("tap")) {
            tap(Integer.parseInt(args[1]), Integer.parseInt(args[2]));
            return;
        }
        if (args[0].equals("tap-without-memory")) {
            tapWithoutMemory();
            return;
        }
        if (args[0].equals("inherited")) {
            inherited(Integer.parseInt(args[1]));
            return;
        }
        if (args[0].equals("disable-inherited")) {
            disableInherited();
            return;
        }
        try {
            use(args[1]);
            System.out.println("none");
        } catch (Exception e) {
            System.out.println(describe(e));
        }
    }

    /** The exception's class, and what its message names of CAP_NET_RAW or the old socket property. */
    private static String describe(Exception e) {
        String message = e.getMessage() == null ? "" : e.getMessage();
        String note = "";
        for (String named : new String[] {"CAP_NET_RAW", "-Djdk.net.usePlainDatagramSocketImpl=true"}) {
            if (message.contains(named)) note = " (" + named + ")";
        }
        return e.getClass().getName() + note;
    }

    private static void use(String which) throws Exception {
        switch (which) {
            case "null channel" -> RouterAlert.enable((DatagramChannel) null);
            case "null socket" -> RouterAlert.isEnabled((DatagramSocket) null);
            case "closed channel" -> {
                DatagramChannel channel = DatagramChannel.open();
                channel.close();
                RouterAlert.enable(channel);
            }
            case "closed socket" -> {
                DatagramSocket socket = new DatagramSocket();
                socket.close();
                RouterAlert.disable(socket);
            }
            case "foreign channel" -> RouterAlert.enable(new ForeignChannel());
            case "foreign socket" -> RouterAlert.enable(new ForeignSocket());
            case "plain socket" -> RouterAlert.enable(new DatagramSocket());
            case "value -1" -> RouterAlert.enableIPv6(DatagramChannel.open(), -1);
            case "value 65536" -> RouterAlert.enableIPv6(DatagramChannel.open(), 65536);
            case "ipv6 on inet" -> RouterAlert.enableIPv6(DatagramChannel.open(StandardProtocolFamily.INET), 0);
            case "ipv6" -> RouterAlert.enableIPv6(DatagramChannel.open(), 1);
            case "ipv4" -> {
                if (!RouterAlert.isEnabled(RouterAlert.enable(DatagramChannel.open()))) throw new AssertionError();
            }
            case "tap ipv4" -> RouterAlertTap.openIPv4(17).close();
            case "tap ipv6" -> RouterAlertTap.openIPv6(1).close();
            case "tap protocol 255" -> RouterAlertTap.openIPv4(255);
            case "tap value 65536" -> RouterAlertTap.openIPv6(65536);
            default -> throw new AssertionError("no case " + which);
        }
    }

    private static void tap(int value, int millis) throws IOException {
        try (RouterAlertTap tap = RouterAlertTap.openIPv6(value)) {
            System.out.println("ready");
            AlertedDatagram d = tap.receive(Duration.ofMillis(millis));
            System.out.println(d == null ? "nothing" : d);
        }
    }

    private static void tapWithoutMemory() throws IOException {
        long before;
        try (Stream<Path> fds = Files.list(Path.of("/proc/self/fd"))) {
            before = fds.count();
        }
        try {
            RouterAlertTap.openIPv4(17).close();
            System.out.println("opened");
        } catch (OutOfMemoryError e) {
            try (Stream<Path> fds = Files.list(Path.of("/proc/self/fd"))) {
                System.out.println(e.getClass().getName() + ", " + (fds.count() - before) + " descriptors left open");
            }
        }
    }

    private static void inherited(int port) throws IOException {
        DatagramChannel channel = (DatagramChannel) System.inheritedChannel();
        InetSocketAddress to = new InetSocketAddress(InetAddress.getLoopbackAddress(), port);
        RouterAlert.enable(channel);
        channel.send(ByteBuffer.wrap("on".getBytes(StandardCharsets.US_ASCII)), to);
        RouterAlert.disable(channel);
        channel.send(ByteBuffer.wrap("off".getBytes(StandardCharsets.US_ASCII)), to);
    }

    private static void disableInherited() throws IOException {
        DatagramChannel channel = (DatagramChannel) System.inheritedChannel();
        String thrown = "none";
        try {
            RouterAlert.disable(channel);
        } catch (IOException e) {
            thrown = describe(e);
        }
        System.out.println(thrown + ", then ipv4 " + RouterAlert.isEnabled(channel)
                + " ipv6 " + RouterAlert.isEnabledIPv6(channel));
    }

    private static void wire(int port, int value, String nic) throws IOException {
        try (DatagramChannel channel = RouterAlert.enableIPv6(RouterAlert.enable(DatagramChannel.open()), value)) {
            channel.setOption(StandardSocketOptions.IP_MULTICAST_TTL, 128);
            channel.setOption(StandardSocketOptions.IP_MULTICAST_IF, NetworkInterface.getByName(nic));
            for (String host : new String[] {"127.0.0.1", "239.1.2.3", "::1", "ff15::1"}) {
                channel.send(ByteBuffer.wrap(host.getBytes(StandardCharsets.US_ASCII)), new InetSocketAddress(host, port));
            }
        }
    }

    /** A DatagramChannel that is not the JDK's. */
    private static final class ForeignChannel extends DatagramChannel {
        ForeignChannel() {
            super(null);
        }

        @Override public DatagramChannel bind(SocketAddress local) { throw new UnsupportedOperationException(); }
        @Override public <T> DatagramChannel setOption(SocketOption<T> name, T value) { throw new UnsupportedOperationException(); }
        @Override public <T> T getOption(SocketOption<T> name) { throw new UnsupportedOperationException(); }
        @Override public Set<SocketOption<?>> supportedOptions() { throw new UnsupportedOperationException(); }
        @Override public DatagramSocket socket() { throw new UnsupportedOperationException(); }
        @Override public boolean isConnected() { return false; }
        @Override public DatagramChannel connect(SocketAddress remote) { throw new UnsupportedOperationException(); }
        @Override public DatagramChannel disconnect() { throw new UnsupportedOperationException(); }
        @Override public SocketAddress getRemoteAddress() { return null; }
        @Override public SocketAddress receive(ByteBuffer dst) { throw new UnsupportedOperationException(); }
        @Override public int send(ByteBuffer src, SocketAddress target) { throw new UnsupportedOperationException(); }
        @Override public int read(ByteBuffer dst) { throw new UnsupportedOperationException(); }
        @Override public long read(ByteBuffer[] dsts, int offset, int length) { throw new UnsupportedOperationException(); }
        @Override public int write(ByteBuffer src) { throw new UnsupportedOperationException(); }
        @Override public long write(ByteBuffer[] srcs, int offset, int length) { throw new UnsupportedOperationException(); }
        @Override public SocketAddress getLocalAddress() { return null; }
        @Override public MembershipKey join(InetAddress group, NetworkInterface nic) { throw new UnsupportedOperationException(); }
        @Override public MembershipKey join(InetAddress group, NetworkInterface nic, InetAddress source) { throw new UnsupportedOperationException(); }
        @Override protected void implCloseSelectableChannel() {}
        @Override protected void implConfigureBlocking(boolean block) {}
    }

    /** A DatagramSocket on an implementation of its own, not on a JDK channel. */
    private static final class ForeignSocket extends DatagramSocket {
        ForeignSocket() {
            super(new ForeignImpl());
        }
    }

    @SuppressWarnings("deprecation")
    private static final class ForeignImpl extends DatagramSocketImpl {
        @Override protected void create() {}
        @Override protected void bind(int port, InetAddress address) {}
        @Override protected void send(DatagramPacket packet) {}
        @Override protected int peek(InetAddress address) { return 0; }
        @Override protected int peekData(DatagramPacket packet) { return 0; }
        @Override protected void receive(DatagramPacket packet) {}
        @Override protected void setTTL(byte ttl) {}
        @Override protected byte getTTL() { return 0; }
        @Override protected void setTimeToLive(int ttl) {}
        @Override protected int getTimeToLive() { return 0; }
        @Override protected void join(InetAddress group) {}
        @Override protected void leave(InetAddress group) {}
        @Override protected void joinGroup(SocketAddress group, NetworkInterface nic) {}
        @Override protected void leaveGroup(SocketAddress group, NetworkInterface nic) {}
        @Override protected void close() {}
        @Override public void setOption(int id, Object value) {}
        @Override public Object getOption(int id) { return null; }
    }
}
