// SPDX-License-Identifier: Apache-2.0
import java.net.JarURLConnection;
import java.util.jar.Attributes;

/** Uses Quillon through the jar Maven resolved; prints the sample and the jar's version. */
public final class Consumer {
    private Consumer() {}

    /**
     * Prints one sample and the Implementation-Version of the jar Quillon came from (an unnamed
     * package has no version of its own).
     *
     * @param args not used
     * @throws Exception if the jar's manifest cannot be read
     */
    public static void main(String[] args) throws Exception {
        long micros = Quillon.TempsSys();
        System.out.println("quillon " + (micros >= 0 && micros < 1_000_000 ? "in range" : micros));
        JarURLConnection jar = (JarURLConnection) Quillon.class.getResource("Quillon.class").openConnection();
        System.out.println("version " + jar.getMainAttributes().getValue(Attributes.Name.IMPLEMENTATION_VERSION));
    }
}
