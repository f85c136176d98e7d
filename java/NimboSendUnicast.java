/**
 * Unicast UDP sender. One socket serves the whole process; every datagram carries the IP Router
 * Alert option and leaves with the system's default TTL.
 *
 * <p>Set-up failures and an unknown host end the process with a message on standard output and
 * status 1; a failed send, or an array over 6500 bytes, ends it with "write: ..." on standard
 * error and status 1. Safe to call from several threads.
 */
public final class NimboSendUnicast {
    static {
        NimboNative.load("NimboSendUnicast");
    }

    private NimboSendUnicast() {}

    /** Opens the process's sender socket on an ephemeral port. */
    public static native void init_socket();

    /** Sends all of data (at most 6500 bytes, possibly none) to host:port as one datagram. */
    public static native void write(String host, int port, byte[] data);
}
