// SPDX-License-Identifier: Apache-2.0
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;

/**
 * The kernel's own counts of datagrams lost on the way from snd through rtr to rcv, other than
 * those a tap or the receiving socket counts itself: errors and drops on every interface, IP
 * discards and failed reassembly or fragmentation, UDP send-buffer, checksum, memory and no-port
 * errors, and the CPUs' input backlog drops.
 */
final class PathCounters {
    private PathCounters() {}

    private static final List<String> HOSTS = List.of("snd", "rtr", "rcv");
    private static final List<String> IP = List.of("InHdrErrors", "InAddrErrors", "InDiscards", "OutDiscards",
            "OutNoRoutes", "ReasmFails", "FragFails");
    // Not RcvbufErrors: the receiver reports its own socket's drops.
    private static final List<String> UDP = List.of("NoPorts", "InCsumErrors", "SndbufErrors", "MemErrors");

    /** The sum of every such counter on the three hosts, now. */
    static long drops() throws Exception {
        long sum = backlogDrops();
        for (String host : HOSTS) {
            Process cat = RouterTrial.on(host, -1, List.of("cat", "/proc/net/dev", "/proc/net/snmp"));
            List<String> lines = new String(cat.getInputStream().readAllBytes(), StandardCharsets.US_ASCII).lines().toList();
            if (cat.waitFor() != 0) throw new IOException(host + ": cannot read its counters");
            int ip = 0;
            while (!lines.get(ip).startsWith("Ip: ")) ip++;  // /proc/net/dev ends where /proc/net/snmp starts
            sum += interfaceDrops(lines.subList(0, ip)) + snmp(lines, "Ip:", IP) + snmp(lines, "Udp:", UDP);
        }
        return sum;
    }

    /** Receive and transmit errors and drops of every interface, from the lines of /proc/net/dev. */
    private static long interfaceDrops(List<String> lines) {
        long sum = 0;
        for (String line : lines) {
            int colon = line.indexOf(':');
            if (colon < 0) continue;  // the two heading lines
            String[] f = line.substring(colon + 1).trim().split("\\s+");
            sum += Long.parseLong(f[2]) + Long.parseLong(f[3]) + Long.parseLong(f[10]) + Long.parseLong(f[11]);
        }
        return sum;
    }

    /** The named counters of one /proc/net/snmp group: a line of names, then a line of values. */
    private static long snmp(List<String> lines, String group, List<String> names) {
        List<String> rows = lines.stream().filter(l -> l.startsWith(group + " ")).toList();
        List<String> header = List.of(rows.get(0).split(" "));
        String[] values = rows.get(1).split(" ");
        long sum = 0;
        for (String name : names) sum += Long.parseLong(values[header.indexOf(name)]);
        return sum;
    }

    /** Datagrams dropped because a CPU's input backlog was full (every namespace shares it). */
    private static long backlogDrops() throws IOException {
        long sum = 0;
        for (String line : Files.readAllLines(Path.of("/proc/net/softnet_stat"))) {
            sum += Long.parseLong(line.trim().split("\\s+")[1], 16);
        }
        return sum;
    }
}
