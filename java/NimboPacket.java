// SPDX-License-Identifier: Apache-2.0
/**
 * A multicast socket opened by {@code mnimboSocket}, a function of an external socket library.
 * The process must have loaded that library with global visibility (for example through
 * {@code LD_PRELOAD}) before this class loads; otherwise loading the class fails with an
 * {@link UnsatisfiedLinkError} naming {@code mnimboSocket}.
 *
 * <p><b>Threads.</b> The class itself is safe to call from several threads; whether
 * {@code mnimboSocket} is depends on the library that provides it.
 */
public final class NimboPacket {
    static {
        NimboNative.load("NimboPacket");
    }

    private NimboPacket() {}

    /**
     * Calls {@code mnimboSocket(0, 0, "MulticastS", group, port)} and prints {@code c'est ok}
     * (no newline) on standard output when the handle it returns is nonzero. When it returns 0,
     * nothing is printed and nothing is thrown. The process does not end here.
     *
     * @param group the group's name, handed over unchanged and never released
     * @param port passed on unchanged, all 32 bits
     * @throws NullPointerException if {@code group} is null; {@code mnimboSocket} is not called
     */
    public static native void init_socket(String group, int port);
}
