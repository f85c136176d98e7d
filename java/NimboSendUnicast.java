// SPDX-License-Identifier: Apache-2.0
/**
 * Unicast UDP sender. One socket serves the whole process; every datagram carries the IP Router
 * Alert option (RFC 2113) and leaves with the system's default TTL. A write returns as soon as
 * the kernel has the datagram: there is no spin. Using the class needs no privileges.
 *
 * <p><b>Failures end the process.</b> A set-up failure and a host that does not resolve to an
 * IPv4 address print a message on standard output and end the whole JVM with status 1; a failed
 * send, a write before {@link #init_socket init_socket}, or an array over 6500 bytes prints
 * {@code write: <error>} on standard error and ends the JVM with status 1. No exception is thrown
 * for them and no shutdown hook runs.
 *
 * <p><b>Threads.</b> Calls from several threads at once are safe: each datagram goes out whole,
 * to its own caller's destination. Host lookups run in parallel; the sends themselves take turns.
 */
public final class NimboSendUnicast {
    static {
        NimboNative.load("NimboSendUnicast");
    }

    private NimboSendUnicast() {}

    /**
     * Opens the process's sender socket on an ephemeral port, with Router Alert. Call it once per
     * process: a second call opens a new socket and leaves the old one open and unused. Any
     * failure prints a message on standard output and ends the JVM with status 1.
     */
    public static native void init_socket();

    /**
     * Sends all of {@code data} to {@code host:port} as one datagram; an empty array is an empty
     * datagram. {@code host} is looked up again on every call: a dotted quad is parsed directly, a
     * host name goes through the system's resolver each time.
     *
     * <p>Ends the JVM with status 1 when {@code host} does not resolve (message on standard
     * output), and when {@code data} is over 6500 bytes or the send fails ({@code write: <error>}
     * on standard error).
     *
     * @param host the destination, as a dotted quad or a host name
     * @param port the destination port; only its low 16 bits are used
     * @param data the datagram's bytes: at most 6500
     * @throws NullPointerException if {@code host} or {@code data} is null; nothing is sent
     */
    public static native void write(String host, int port, byte[] data);
}
