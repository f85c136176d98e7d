// SPDX-License-Identifier: Apache-2.0
/**
 * The kernel's limit: plain C++ loops over the system calls the libraries make, each run by one
 * native call so that nothing of the JVM sits inside the loop. Failures print the system's error
 * text and return -1.
 */
final class BenchLoops {
    static {
        System.loadLibrary("NimboBenchLoops");
    }

    private BenchLoops() {}

    /** A UDP socket with SO_RCVBUF set to rcvbuf, bound to port on all addresses, joined to group unless it is null. */
    static native int openReceiver(String group, int port, int rcvbuf);

    /** A UDP socket on an ephemeral port, carrying Router Alert when asked, as the libraries' do. */
    static native int openSender(boolean routerAlert);

    /**
     * Sends count datagrams of the first length payload bytes to host:port with sendto; with
     * lookupEachCall the host is looked up (gethostbyname_r) before every send. Returns count.
     */
    static native int send(int fd, String host, int port, int length, int count, boolean lookupEachCall);

    /** recvfrom count datagrams into one 6044-byte buffer; returns the bytes received in total. */
    static native long receive(int fd, int count);

    /** The socket's SO_RCVBUF. */
    static native int receiveBuffer(int fd);

    /** Drops every datagram queued on fd without waiting; returns how many there were. */
    static native int discard(int fd);

    /** Byte index of the buffer that receive() fills, 0 to 255. */
    static native int receivedByte(int index);

    static native int close(int fd);

    /** Calls gettimeofday count times, as TempsSys does once; returns the sum of the microseconds. */
    static native long gettimeofday(int count);

    /** NimboSend's pacing spin (4,000,000 iterations), the same code, alone. */
    static native void spin();

    /** An empty native method: what any JNI call costs before it does anything. */
    static native void nothing();

    static native String libcVersion();
}
