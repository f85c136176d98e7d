// SPDX-License-Identifier: Apache-2.0
/**
 * Multicast UDP sender. Every datagram carries the IP Router Alert option (RFC 2113, bytes
 * {@code 94 04 00 00}), which asks every router on the path to examine it, and a datagram sent to
 * a multicast group leaves with TTL 128. Each {@link #write write} is followed by a fixed busy
 * spin of 4,000,000 iterations that paces the sender: about 1.1 to 1.2 ms of the calling thread's
 * time per write on the machines it was measured on, so one thread sends fewer than 1,000
 * datagrams a second. Using the class needs no privileges.
 *
 * <p><b>Failures end the process.</b> A set-up failure (unknown or non-multicast group, socket,
 * bind, TTL or Router Alert) and an unknown host in {@code write} print a message on standard
 * output and end the whole JVM with status 1; a failed send, or a length of 0, below 0 or over
 * 6500 bytes, prints {@code write: <error>} on standard error and ends the JVM with status 1.
 * No exception is thrown for them and no shutdown hook runs.
 *
 * <p><b>Threads.</b> The class keeps no state of its own: the caller owns each descriptor and
 * passes it back on every call. Calls from several threads are safe, on separate descriptors or
 * on one; each datagram goes out whole, and the spin holds only the calling thread.
 */
public final class NimboSend {
    static {
        NimboNative.load("NimboSend");
    }

    private NimboSend() {}

    /**
     * Opens a sender socket after checking that {@code group} is a multicast group. The socket is
     * bound to an ephemeral port on all local addresses and has multicast TTL 128 and the Router
     * Alert option.
     *
     * <p>A {@code group} that does not resolve ({@code <group>: Unknow host}) or lies outside
     * 224.0.0.0/4 ({@code <group>: is not  multicast}), and any failure to set the socket up,
     * print a message on standard output and end the JVM with status 1.
     *
     * @param unused not used
     * @param group a multicast group, as a dotted quad or a host name
     * @param unusedPort not used
     * @return the socket's descriptor, which the caller closes with {@link #close_socket}
     * @throws NullPointerException if {@code group} is null; nothing is opened
     */
    public static native int init_socket(int unused, String group, int unusedPort);

    /**
     * Sends the first {@code length} bytes of {@code data} to {@code host:port} as one datagram,
     * then busy-spins (about 1.1 to 1.2 ms). {@code host} is looked up again on every call: a
     * dotted quad is parsed directly, a host name goes through the system's resolver each time.
     * Any host is accepted; a unicast host gets the system's default TTL instead of 128.
     *
     * <p>Ends the JVM with status 1 when {@code host} does not resolve (message on standard
     * output), when {@code length} is 0, negative or over 6500 bytes, and when the send fails
     * ({@code write: <error>} on standard error).
     *
     * @param fd a descriptor from {@link #init_socket}
     * @param data the bytes to send
     * @param length how many bytes of {@code data} to send: 1 to 6500
     * @param host the destination, as a dotted quad or a host name
     * @param port the destination port; only its low 16 bits are used
     * @throws NullPointerException if {@code data} or {@code host} is null; nothing is sent
     * @throws ArrayIndexOutOfBoundsException if {@code length} exceeds {@code data.length};
     *     nothing is sent
     */
    public static native void write(int fd, byte[] data, int length, String host, int port);

    /**
     * Closes a socket; prints nothing.
     *
     * @param fd a descriptor from {@link #init_socket}
     * @return 0, or -1 when {@code fd} is not an open descriptor
     */
    public static native int close_socket(int fd);

    /**
     * Reads the socket's send buffer size ({@code SO_SNDBUF}).
     *
     * @param fd a descriptor from {@link #init_socket}
     * @return the size in bytes, or -1 after printing {@code getsockopt: <error>} on standard error
     */
    public static native int get_snd_buf(int fd);

    /**
     * Sets the socket's send buffer size ({@code SO_SNDBUF}); the kernel doubles the value and
     * caps it at its own limit.
     *
     * @param fd a descriptor from {@link #init_socket}
     * @param size the size asked for, in bytes
     * @return 0, or -1 after printing {@code setsockopt: <error>} on standard error
     */
    public static native int set_snd_buf(int fd, int size);
}
