// SPDX-License-Identifier: Apache-2.0
/**
 * Multicast UDP receiver: one socket for the whole process, bound to a port on all local
 * addresses (no address reuse) and joined to a multicast group. Every datagram comes back as a
 * new 6044-byte array. Using the class needs no privileges.
 *
 * <p><b>Failures in {@link #init_socket init_socket} end the process:</b> a message on standard
 * output and exit status 1, with no exception and no shutdown hook. A failed receive or buffer
 * call prints a message on standard error (except {@link #set_rcv_buf}) and the process goes on.
 *
 * <p><b>Threads.</b> Calls from several threads at once are safe: concurrent readers each get one
 * whole datagram, and a reader never sees a socket that is not yet bound and joined.
 */
public final class NimboReceive {
    static {
        NimboNative.load("NimboReceive");
    }

    private NimboReceive() {}

    /**
     * Opens the process's receiving socket, binds it to {@code port} on all local addresses and
     * joins {@code group} on the interface the kernel picks. A later call opens a new socket and
     * reads move to it; the old one stays open.
     *
     * <p>Ends the JVM with status 1, after a message on standard output, when {@code group} does
     * not resolve or is not in 224.0.0.0/4, when the port is taken (also by an earlier call),
     * when there is no route for the group, or when the socket cannot be opened.
     *
     * @param group a multicast group, as a dotted quad or a host name; its characters stay held
     *     for the life of the process
     * @param port the port to bind; only its low 16 bits are used
     * @throws NullPointerException if {@code group} is null; nothing is opened
     */
    public static native void init_socket(String group, int port);

    /**
     * Waits for the next datagram and returns it at the front of a new 6044-byte array. A longer
     * datagram is cut to 6044 bytes. Its length is not passed on: the bytes after it are left over
     * from earlier, longer datagrams, or zero.
     *
     * @return a new 6044-byte array; or null after printing {@code recvfrom: <error>} on standard
     *     error when the receive fails (also before {@link #init_socket}); or null with the VM's
     *     {@code OutOfMemoryError} pending when no array could be made, the datagram then staying
     *     for the next call
     */
    public static native byte[] read();

    /**
     * Reads the socket's receive buffer size ({@code SO_RCVBUF}).
     *
     * @return the size in bytes, or -1 after printing {@code getsockopt: <error>} on standard
     *     error (also before {@link #init_socket})
     */
    public static native int get_rcv_buf();

    /**
     * Sets the socket's receive buffer size ({@code SO_RCVBUF}); the kernel doubles the value and
     * caps it at its own limit.
     *
     * @param size the size asked for, in bytes
     * @return 0, or -1 without any message (also before {@link #init_socket})
     */
    public static native int set_rcv_buf(int size);
}
