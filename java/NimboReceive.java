/**
 * Multicast UDP receiver: one socket for the whole process, bound to a port on all local
 * addresses (no address reuse) and joined to a multicast group.
 *
 * <p>Set-up failures end the process with a message on standard output and status 1. A failed
 * receive prints "recvfrom: ..." on standard error and the process goes on. Calls from several
 * threads at once are safe.
 */
public final class NimboReceive {
    static {
        NimboNative.load("NimboReceive");
    }

    private NimboReceive() {}

    /** Binds the low 16 bits of port and joins group; call once per port (the process ends on a port in use). */
    public static native void init_socket(String group, int port);

    /**
     * Waits for the next datagram and returns a new 6044-byte array with the datagram at its front
     * (cut to 6044 bytes); the bytes after it are left over from earlier, longer datagrams, or zero.
     * Returns null after printing the error when the receive fails.
     */
    public static native byte[] read();

    /** The socket's receive buffer size, or -1 after printing the error. */
    public static native int get_rcv_buf();

    /** Sets the socket's receive buffer size (the kernel doubles it); returns 0, or -1 silently. */
    public static native int set_rcv_buf(int size);
}
