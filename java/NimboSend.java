/**
 * Multicast UDP sender. Every datagram carries the IP Router Alert option, leaves with
 * multicast TTL 128 when sent to a group, and is followed by a fixed busy spin.
 *
 * <p>Set-up failures end the process with a message on standard output and status 1; a failed
 * send ends it with "write: ..." on standard error and status 1.
 */
public final class NimboSend {
    static {
        NimboNative.load("NimboSend");
    }

    private NimboSend() {}

    /** Opens a sender socket after checking that group is a multicast group; returns its descriptor. */
    public static native int init_socket(int unused, String group, int unusedPort);

    /** Sends the first length bytes of data to host:port as one datagram, then spins. */
    public static native void write(int fd, byte[] data, int length, String host, int port);

    /** Closes the socket; returns 0, or -1 when fd is not an open descriptor. */
    public static native int close_socket(int fd);

    /** The socket's send buffer size, or -1 after printing the error. */
    public static native int get_snd_buf(int fd);

    /** Sets the socket's send buffer size; returns 0, or -1 after printing the error. */
    public static native int set_snd_buf(int fd, int size);
}
