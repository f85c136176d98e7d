// SPDX-License-Identifier: Apache-2.0
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.BufferedReader;
import java.io.File;
import java.io.IOException;
import java.io.InputStreamReader;
import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetAddress;
import java.net.NetworkInterface;
import java.net.SocketException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.TimeUnit;

/** What the JVM tests share: the namespace guard, child JVMs and the wire watcher. */
final class Harness {
    /** What every test JVM runs with, so that no JDK warns about loading our libraries. */
    static final String ENABLE_NATIVE_ACCESS = "--enable-native-access=ALL-UNNAMED";

    private Harness() {}

    /** Datagram tests may only run in a namespace whose one interface is loopback. */
    static void requirePrivateNamespace() throws SocketException {
        for (NetworkInterface nic : Collections.list(NetworkInterface.getNetworkInterfaces())) {
            assertTrue(nic.isLoopback(), "not a private namespace: interface " + nic.getName());
        }
        assertEquals("1", System.getenv("NIMBO_NETNS"), "run under tests/netns-run");
    }

    /** length bytes that differ from their neighbours, so a shifted or cut copy shows. */
    static byte[] payload(int length) {
        byte[] data = new byte[length];
        for (int i = 0; i < length; i++) data[i] = (byte) (i * 31 + 7);
        return data;
    }

    /** The next datagram's bytes, exactly as long as it was. */
    static byte[] receive(DatagramSocket socket) throws IOException {
        DatagramPacket packet = new DatagramPacket(new byte[65536], 65536);
        socket.receive(packet);
        return Arrays.copyOf(packet.getData(), packet.getLength());
    }

    /** A socket on 127.0.0.1 and an ephemeral port whose receives give up after timeoutMs. */
    static DatagramSocket loopbackReceiver(int timeoutMs) throws SocketException {
        DatagramSocket socket = new DatagramSocket(0, InetAddress.getLoopbackAddress());
        socket.setSoTimeout(timeoutMs);
        return socket;
    }

    /** What a finished child process left: its two streams and exit status. */
    record Child(String out, String err, int status) {
        /** A child ended by a fatal report: exactly that text on that stream, nothing on the other, status 1. */
        void assertFatal(String stream, String text) {
            assertEquals(1, status, this::toString);
            assertEquals(text, stream.equals("stdout") ? out : err, this::toString);
            assertEquals("", stream.equals("stdout") ? err : out, this::toString);
        }
    }

    /** Runs mainClass.main(args) in a fresh JVM with -Xcheck:jni; fails on any JNI complaint. */
    static Child jvm(String mainClass, String... args) throws IOException, InterruptedException {
        return run(javaCommand(List.of(), mainClass, args));
    }

    /**
     * The command line of a test JVM: -Xcheck:jni, our libraries and classes, then the extra options.
     *
     * <p>A fatal report ends the JVM through libc's exit(), which runs JDK 17's static destructors
     * while its watcher thread may still compare signal handlers against the table just freed; it
     * then prints "Warning: SIGSEGV handler modified!" on stdout now and then. AllowUserSignalHandlers
     * turns that signal check off; the JNI checks stay on.
     *
     * <p>From JDK 24 on, loading a library from the class path warns on standard error unless
     * native access is enabled for it; JDK 17 takes the flag too.
     */
    static List<String> javaCommand(List<String> options, String mainClass, String... args) {
        List<String> command = new ArrayList<>(List.of(
                System.getProperty("java.home") + "/bin/java", "-Xcheck:jni", "-XX:+AllowUserSignalHandlers",
                ENABLE_NATIVE_ACCESS,
                "-Djava.library.path=" + System.getProperty("java.library.path"),
                "-cp", System.getProperty("nimbo.classpath")));
        command.addAll(options);
        command.add(mainClass);
        command.addAll(List.of(args));
        return command;
    }

    /** LD_PRELOAD for a child that also needs library: what this JVM preloads (a sanitizer runtime) first. */
    static String preloading(String library) {
        String inherited = System.getenv().getOrDefault("LD_PRELOAD", "");
        return inherited.isEmpty() ? library : inherited + " " + library;
    }

    /** Runs a command to its end; fails on any JNI complaint or JVM warning in its output. */
    static Child run(List<String> command) throws IOException, InterruptedException {
        Child child = capture(command);
        String all = child.out + child.err;
        assertNoJniComplaint(all);
        assertFalse(all.contains("WARNING") || all.contains("VM warning"), "the JVM warned:\n" + child);
        return child;
    }

    /** Runs a command to its end and returns what it left, whatever it printed. */
    static Child capture(List<String> command) throws IOException, InterruptedException {
        File out = File.createTempFile("child", ".out");
        File err = File.createTempFile("child", ".err");
        try {
            Process p = new ProcessBuilder(command).redirectOutput(out).redirectError(err).start();
            assertTrue(p.waitFor(60, TimeUnit.SECONDS), "child did not finish: " + command);
            return new Child(Files.readString(out.toPath()), Files.readString(err.toPath()), p.exitValue());
        } finally {
            out.delete();
            err.delete();
        }
    }

    static void assertNoJniComplaint(String output) {
        assertFalse(output.contains("in native method"), "JNI check complained:\n" + output);
    }

    /** nimbo-watch listening on a port: one line per datagram with its TTL and IP options. */
    static final class Watcher implements AutoCloseable {
        private final Process process;
        private final BufferedReader lines;

        Watcher(String... args) throws IOException {
            this(List.of(), args);
        }

        /** nimbo-watch on another host of tests/router-net: {@code ip netns exec HOST}. */
        static Watcher on(String host, String... args) throws IOException {
            return new Watcher(List.of("ip", "netns", "exec", host), args);
        }

        private Watcher(List<String> prefix, String... args) throws IOException {
            List<String> command = new ArrayList<>(prefix);
            command.add(System.getProperty("nimbo.watch"));
            command.addAll(List.of(args));
            process = new ProcessBuilder(command).redirectErrorStream(true).start();
            lines = new BufferedReader(new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8));
            assertEquals("ready", lines.readLine(), "nimbo-watch did not start");
        }

        /** The lines it printed until it saw its count of datagrams or timed out. */
        List<String> datagrams() throws IOException, InterruptedException {
            List<String> seen = new ArrayList<>();
            for (String line; (line = lines.readLine()) != null; ) {
                seen.add(line);
            }
            assertTrue(process.waitFor(30, TimeUnit.SECONDS));
            return seen;
        }

        @Override
        public void close() {
            process.destroy();
        }
    }
}
