// SPDX-License-Identifier: Apache-2.0
/**
 * The time of day, sampled through {@code gettimeofday}. Needs no privileges.
 *
 * <p><b>Threads.</b> The class keeps no state: calls from several threads are safe.
 */
public final class Quillon {
    static {
        NimboNative.load("Quillon");
    }

    private Quillon() {}

    /**
     * The microseconds within the current second of the time of day. The value falls back
     * towards 0 at each new second; the seconds are not part of it, so two samples more than a
     * second apart cannot be compared.
     *
     * @return 0 to 999999
     */
    public static native long TempsSys();
}
