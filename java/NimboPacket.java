/**
 * A multicast socket opened by mnimboSocket, a function of an external socket library. The
 * process must have loaded that library with global visibility (for example through LD_PRELOAD)
 * before this class loads; otherwise loading fails with an UnsatisfiedLinkError.
 */
public final class NimboPacket {
    static {
        NimboNative.load("NimboPacket");
    }

    private NimboPacket() {}

    /** Opens a socket for group and port; prints "c'est ok" (no newline) when it succeeds. */
    public static native void init_socket(String group, int port);
}
