// SPDX-License-Identifier: Apache-2.0
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.time.Instant;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;

/** Quillon against the JDK's own reading of the same clock. */
class QuillonTest {
    @Tag("arm64")
    @Test
    void microsecondsWithinTheSecondFallBackAtTheNextSecond() {
        long deadline = System.nanoTime() + 2_000_000_000L;  // a second boundary comes within 1 s
        long previous = -1;
        boolean fellBack = false;
        int bracketed = 0;
        while (!fellBack && System.nanoTime() < deadline) {
            Instant before = Instant.now();
            long sample = Quillon.TempsSys();
            Instant after = Instant.now();
            assertTrue(sample >= 0 && sample < 1_000_000, "out of range: " + sample);
            if (before.getEpochSecond() == after.getEpochSecond()) {
                // Within one second the sample lies between the two readings around it.
                long from = before.getNano() / 1000;
                long to = after.getNano() / 1000;
                assertTrue(from <= sample && sample <= to, sample + " not within [" + from + ", " + to + "]");
                bracketed++;
            }
            fellBack = sample < previous;
            previous = sample;
        }
        assertTrue(fellBack, "no fall back towards 0 within 2 s");
        assertTrue(bracketed > 0, "every sample straddled a second boundary");
    }
}
