// SPDX-License-Identifier: Apache-2.0
package nimbo;

import java.io.IOException;
import java.net.DatagramSocket;
import java.net.SocketException;
import java.nio.channels.ClosedChannelException;
import java.nio.channels.DatagramChannel;
import java.util.Objects;

/**
 * The IP Router Alert option on the JDK's own datagram channels and sockets: once enabled, every
 * datagram the channel sends asks each router on its path to examine it. Everything else (blocking
 * or not, selectors, multicast joins, close) stays the JDK's.
 *
 * <p>IPv4 (RFC 2113): {@link #enable} puts {@code 94 04 00 00} into the IP options of every IPv4
 * datagram, also the IPv4 and IPv4-mapped destinations of a dual-stack channel. IPv6 (RFC 2711):
 * {@link #enableIPv6} adds a hop-by-hop header carrying Router Alert with a value (0 MLD, 1 RSVP,
 * 2 Active Networks); Linux allows that only with {@code CAP_NET_RAW}. Options the socket already
 * carries are kept.
 *
 * <p>Only channels and sockets this JDK made are accepted ({@code DatagramChannel.open()},
 * {@code new DatagramSocket()}, {@code new MulticastSocket()}, {@code channel.socket()}); anything
 * else is an {@link IllegalArgumentException}. A closed channel is a {@link ClosedChannelException},
 * a closed socket a {@link SocketException}, a failed system call an {@link IOException} with the
 * system's text. Nothing is printed. Every method is safe from any thread, also while others send
 * on or close the channel.
 *
 * <pre>{@code
 * try (DatagramChannel channel = RouterAlert.enable(DatagramChannel.open())) {
 *     channel.setOption(StandardSocketOptions.IP_MULTICAST_TTL, 128);
 *     channel.send(ByteBuffer.wrap(data), new InetSocketAddress("239.1.2.3", 5000));  // with 94 04 00 00
 * }
 * }</pre>
 *
 * <p>A connected channel that {@code disconnect()} has to rebuild (the JDK makes a new socket when
 * the kernel loses the local address) loses Router Alert with the old socket: enable it again.
 *
 * <p>The native library {@code libnimbo.so} is loaded with this class: from {@code java.library.path}
 * when it is there (the Debian package puts it in {@code /usr/lib/jni}), otherwise from the copy this
 * module's jar carries under {@code META-INF/native/linux-x86_64/}, {@code META-INF/native/linux-x86/} or
 * {@code META-INF/native/linux-aarch64/},
 * copied into a new folder under the system property {@code nimbo.native.dir} (default
 * {@code java.io.tmpdir}) and deleted once loaded. When it cannot be loaded, {@link #isAvailable()} is
 * false, {@link #unavailabilityCause()} says why, and every other method throws
 * {@link UnsupportedOperationException}. From JDK 24 on, the JVM prints a warning as the library loads
 * unless native access is enabled for this module: {@code --enable-native-access=nimbo} with the jar on
 * the module path, {@code --enable-native-access=ALL-UNNAMED} with it on the class path.
 */
public final class RouterAlert {
    private static final Throwable CAUSE = load();

    private RouterAlert() {}

    /**
     * Whether the native library is loaded, so that the other methods work.
     *
     * @return true when {@code libnimbo.so} is loaded
     */
    public static boolean isAvailable() {
        return CAUSE == null;
    }

    /**
     * Why the native library could not be loaded; nothing is thrown.
     *
     * @return the error loading {@code libnimbo.so} gave, or null when it is loaded
     */
    public static Throwable unavailabilityCause() {
        return CAUSE;
    }

    /**
     * Every IPv4 datagram the channel sends from now on carries Router Alert ({@code 94 04 00 00});
     * options the socket already carries are kept, and enabling twice changes nothing.
     *
     * @param <T> the channel's type
     * @param channel a channel this JDK made, IPv4 or dual-stack
     * @return the channel
     * @throws ClosedChannelException the channel is closed
     * @throws IOException the system refused, with its text, or the IP options have no room left
     */
    public static <T extends DatagramChannel> T enable(T channel) throws IOException {
        addIPv4(require(channel, "channel"));
        return channel;
    }

    /**
     * Every IPv6 datagram the channel sends from now on carries a hop-by-hop Router Alert with this
     * value (0 to 65535); a Router Alert already there takes the new value. Needs {@code CAP_NET_RAW}.
     *
     * @param <T> the channel's type
     * @param channel a channel this JDK made, IPv6 or dual-stack
     * @param value the Router Alert value: 0 MLD, 1 RSVP, 2 Active Networks
     * @return the channel
     * @throws IllegalArgumentException the value is out of range, or the channel is IPv4 only
     * @throws IOException without {@code CAP_NET_RAW}, saying so, or when the system refuses
     */
    public static <T extends DatagramChannel> T enableIPv6(T channel, int value) throws IOException {
        addIPv6(require(channel, "channel"), checkValue(value));
        return channel;
    }

    /**
     * Takes Router Alert, IPv4 and IPv6, off the channel's datagrams; other options stay. Both go,
     * or, when this throws, both stay.
     *
     * @param channel a channel this JDK made
     * @throws IOException the channel is closed, or the system refused, with its text (taking the
     *     IPv6 Router Alert off needs {@code CAP_NET_RAW} too)
     */
    public static void disable(DatagramChannel channel) throws IOException {
        removeAll(require(channel, "channel"));
    }

    /**
     * Whether the socket now carries the IPv4 Router Alert, as the kernel reports it.
     *
     * @param channel a channel this JDK made
     * @return true when its IP options hold Router Alert
     * @throws IOException the channel is closed, or the system refused, with its text
     */
    public static boolean isEnabled(DatagramChannel channel) throws IOException {
        return hasIPv4(require(channel, "channel"));
    }

    /**
     * Whether the socket now carries the IPv6 hop-by-hop Router Alert, as the kernel reports it.
     *
     * @param channel a channel this JDK made
     * @return true when its hop-by-hop options hold Router Alert
     * @throws IOException the channel is closed, or the system refused, with its text
     */
    public static boolean isEnabledIPv6(DatagramChannel channel) throws IOException {
        return hasIPv6(require(channel, "channel"));
    }

    /**
     * {@link #enable(DatagramChannel)} for a socket (also a {@code MulticastSocket}).
     *
     * @param <T> the socket's type
     * @param socket a socket this JDK built on a channel
     * @return the socket
     * @throws IOException the socket is closed ({@link SocketException}), or the system refused
     */
    public static <T extends DatagramSocket> T enable(T socket) throws IOException {
        try {
            addIPv4(require(socket, "socket"));
        } catch (ClosedChannelException e) {
            throw closed(e);
        }
        return socket;
    }

    /**
     * {@link #enableIPv6(DatagramChannel, int)} for a socket.
     *
     * @param <T> the socket's type
     * @param socket a socket this JDK built on a channel
     * @param value the Router Alert value, 0 to 65535
     * @return the socket
     * @throws IllegalArgumentException the value is out of range, or the socket is IPv4 only
     * @throws IOException the socket is closed ({@link SocketException}), without
     *     {@code CAP_NET_RAW}, or the system refused
     */
    public static <T extends DatagramSocket> T enableIPv6(T socket, int value) throws IOException {
        try {
            addIPv6(require(socket, "socket"), checkValue(value));
        } catch (ClosedChannelException e) {
            throw closed(e);
        }
        return socket;
    }

    /**
     * {@link #disable(DatagramChannel)} for a socket.
     *
     * @param socket a socket this JDK built on a channel
     * @throws IOException the socket is closed ({@link SocketException}), or the system refused
     */
    public static void disable(DatagramSocket socket) throws IOException {
        try {
            removeAll(require(socket, "socket"));
        } catch (ClosedChannelException e) {
            throw closed(e);
        }
    }

    /**
     * {@link #isEnabled(DatagramChannel)} for a socket.
     *
     * @param socket a socket this JDK built on a channel
     * @return true when its IP options hold Router Alert
     * @throws IOException the socket is closed ({@link SocketException}), or the system refused
     */
    public static boolean isEnabled(DatagramSocket socket) throws IOException {
        try {
            return hasIPv4(require(socket, "socket"));
        } catch (ClosedChannelException e) {
            throw closed(e);
        }
    }

    /**
     * {@link #isEnabledIPv6(DatagramChannel)} for a socket.
     *
     * @param socket a socket this JDK built on a channel
     * @return true when its hop-by-hop options hold Router Alert
     * @throws IOException the socket is closed ({@link SocketException}), or the system refused
     */
    public static boolean isEnabledIPv6(DatagramSocket socket) throws IOException {
        try {
            return hasIPv6(require(socket, "socket"));
        } catch (ClosedChannelException e) {
            throw closed(e);
        }
    }

    private static Throwable load() {
        try {
            NimboNative.load("nimbo");
            return null;
        } catch (LinkageError | RuntimeException e) {
            return e;
        }
    }

    private static <T> T require(T target, String name) {
        Objects.requireNonNull(target, name);
        if (CAUSE != null) {
            throw new UnsupportedOperationException("Router Alert is unavailable: " + CAUSE.getMessage(), CAUSE);
        }
        return target;
    }

    private static int checkValue(int value) {
        if (value < 0 || value > 0xFFFF) {
            throw new IllegalArgumentException("Router Alert value out of range 0..65535: " + value);
        }
        return value;
    }

    /** What DatagramSocket itself throws once closed. */
    private static SocketException closed(ClosedChannelException cause) {
        SocketException e = new SocketException("Socket is closed");
        e.initCause(cause);
        return e;
    }

    // target: a DatagramChannel or DatagramSocket the JDK made.
    private static native void addIPv4(Object target) throws IOException;

    private static native void addIPv6(Object target, int value) throws IOException;

    private static native void removeAll(Object target) throws IOException;

    private static native boolean hasIPv4(Object target) throws IOException;

    private static native boolean hasIPv6(Object target) throws IOException;
}
