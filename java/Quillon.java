/** The time of day, sampled through gettimeofday. */
public final class Quillon {
    static {
        NimboNative.load("Quillon");
    }

    private Quillon() {}

    /** The microseconds within the current second: 0 to 999999. */
    public static native long TempsSys();
}
