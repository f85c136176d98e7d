// SPDX-License-Identifier: Apache-2.0
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/**
 * NimboPacket in child JVMs: with the mnimboSocket double preloaded (it prints its arguments on
 * standard error and returns NIMBO_DOUBLE_HANDLE), and without any provider.
 */
class NimboPacketTest {
    static Harness.Child withDouble(int handle, String group, int port) throws Exception {
        List<String> command = new ArrayList<>(List.of("env",
                "LD_PRELOAD=" + Harness.preloading(System.getProperty("nimbo.packet.double")),
                "NIMBO_DOUBLE_HANDLE=" + handle));
        command.addAll(Harness.javaCommand(List.of(), "PacketScenarios", group, "" + port));
        return Harness.run(command);
    }

    @Tag("arm64")
    @ParameterizedTest(name = "handle {0}")
    @CsvSource({"7, c'est ok", "0, ''"})
    void argumentsArriveUnchangedAndSuccessPrintsCestOkAtExit(int handle, String out) throws Exception {
        assertEquals(new Harness.Child(out,
                "mnimboSocket(0, 0, \"MulticastS\", \"239.1.2.3\", 65616)\n", 0),
                withDouble(handle, "239.1.2.3", 65536 + 80));
    }

    @Test
    void nullGroupThrowsWithoutCallingMnimboSocket() throws Exception {
        assertEquals(new Harness.Child("NullPointerException group\n", "", 0), withDouble(7, "null", 80));
    }

    @Test
    void withoutAProviderTheLibraryFailsToLoad() throws Exception {
        Harness.Child child = Harness.jvm("PacketScenarios", "239.1.2.3", "80");
        assertEquals(1, child.status(), child::toString);
        assertEquals("", child.out(), child::toString);
        assertTrue(child.err().contains("java.lang.UnsatisfiedLinkError"), child::toString);
        assertTrue(child.err().contains("undefined symbol: mnimboSocket"), child::toString);
    }
}
