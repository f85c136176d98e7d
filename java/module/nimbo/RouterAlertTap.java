// SPDX-License-Identifier: Apache-2.0
package nimbo;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.IntBuffer;
import java.nio.channels.AsynchronousCloseException;
import java.nio.channels.ClosedByInterruptException;
import java.nio.channels.ClosedChannelException;
import java.nio.channels.InterruptibleChannel;
import java.nio.channels.spi.AbstractInterruptibleChannel;
import java.time.Duration;
import java.util.Objects;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLongArray;
import java.util.concurrent.locks.ReentrantLock;

/**
 * The router's half of Router Alert: on a host that forwards datagrams, intercepts those in transit
 * that carry the IP Router Alert option, so that a Java program can examine them, change them,
 * send them on or drop them.
 *
 * <p>The kernel hands a tap every datagram it would forward that carries Router Alert (RFC 2113 for
 * IPv4, RFC 2711 for IPv6) and no longer forwards it itself: what the program does not
 * {@linkplain #forward(AlertedDatagram) forward} is dropped. Datagrams without Router Alert, and
 * those addressed to this host, are not handed over; the kernel deals with them as always.
 *
 * <pre>{@code
 * try (RouterAlertTap tap = RouterAlertTap.openIPv4(17)) {   // UDP
 *     while (true) {
 *         AlertedDatagram d = tap.receive();
 *         System.out.println(d);
 *         tap.forward(d);                                     // TTL - 1, checksums, fragments
 *     }
 * }
 * }</pre>
 *
 * <p>Forwarding does what the router would have done: TTL or hop limit one lower (a datagram whose
 * TTL would reach 0 is not sent), the IPv4 header checksum computed afresh, the UDP checksum left
 * as it came (a datagram damaged on the way stays damaged; an IPv4 checksum of 0, none, stays 0)
 * unless the payload is new or checksum offload left only a partial sum in it, options kept, IPv4
 * datagrams longer than the outgoing link's MTU sent in fragments (not with DF set), IPv4 multicast
 * out of each interface the kernel's multicast forwarding cache sends it to, its (S,G), (*,G) and
 * (*,*) entries matched with the arrival interface as the kernel matches them. IPv4 datagrams reach
 * the tap reassembled; IPv6 ones are never fragmented by a router, so an IPv6 datagram too long for
 * the outgoing link is not sent, and IPv6 fragments are handed over one by one.
 *
 * <p>Routes must exist before the datagrams come: static ones, or a routing daemon that also sees
 * other traffic. The kernel hands a tap a multicast datagram before it would report a cache miss,
 * so a daemon that installs multicast routes on demand learns none for a flow of Router Alert
 * datagrams alone. Only the default multicast table is consulted; {@code ip mrule} rules that pick
 * another are not followed.
 *
 * <p>A copy's route is looked up with the datagram's own source, so rules by source ({@code ip rule
 * from}) and routes by source hold for it as for what the kernel forwards; rules by mark hold with
 * the tap's {@linkplain #setMark(int) mark}. Rules by arrival interface ({@code ip rule iif}) cannot:
 * a copy is this host's own output, looked up as coming from {@code lo}.
 *
 * <p>The firewall: the kernel hands a tap its datagrams before the forward hook, and the copies leave
 * as this host's own output, through the output and postrouting hooks. A forwarding policy holds
 * for them only when the output hook applies it too: keep it in a chain of its own, jump to it from
 * the forward hook and, for what carries the tap's mark, from the output hook (an nftables recipe is
 * in the documentation). There a copy has an outgoing interface but no incoming one.
 *
 * <p>When {@code forward} sends no copy, it sends back the ICMP error the kernel's own forwarding
 * would have sent, so that the source behaves as behind any router (traceroute sees the hop, a
 * sender learns the path MTU): Time Exceeded, "fragmentation needed" (IPv4 with DF) or Packet Too
 * Big (IPv6) with the next hop's MTU, Destination Unreachable for no route, and ICMPv6 "beyond
 * scope of source address" for a link-local source. It comes from the address the kernel picks
 * for its own errors, quotes the datagram as it arrived (IPv4 up to 576 bytes in all, IPv6 up to
 * 1280), and goes at the rate the kernel's settings allow ({@code net.ipv4.icmp_ratelimit},
 * {@code icmp_ratemask}, {@code icmp_msgs_per_sec}, {@code icmp_msgs_burst}, {@code
 * net.ipv6.icmp.ratelimit} and {@code ratemask}: six to one host at once, then one per interval;
 * "fragmentation needed" and Packet Too Big unlimited). None goes about an ICMP error, a fragment
 * other than the first, a datagram to a multicast or broadcast address (Packet Too Big aside), or
 * to a source that is no single host. A datagram the program drops by not forwarding it gets
 * none. {@link #lastDropReason()} says why the calling thread's last {@code forward} sent no copy;
 * {@link #drops(DropReason)} counts each reason.
 *
 * <p>The MTU of the next hop is learned from the kernel once per destination, source and
 * outgoing interface, on the route the copies take, and remembered for a second: a smaller MTU is followed at once, any other change
 * within that second.
 *
 * <p>Opening a tap needs {@code CAP_NET_RAW} (root, or {@code setcap cap_net_raw+ep} on the
 * {@code java} binary). An IPv6 tap sees only what its own network namespace forwards.
 *
 * <p>To stop without losing a datagram, {@linkplain #shutdownInput() shut the input down}: from then
 * on the kernel forwards new datagrams itself, and {@link #receive()} hands over those already
 * queued, then returns null. {@link #close()} discards what is still queued: the kernel took those
 * datagrams aside for the tap, and nobody forwards them.
 *
 * <pre>{@code
 * tap.shutdownInput();                                        // e.g. from a shutdown hook
 * for (AlertedDatagram d; (d = tap.receive()) != null; ) {    // in the forwarding thread
 *     tap.forward(d);
 * }
 * tap.close();
 * }</pre>
 *
 * <p>A tap is a channel like the JDK's: {@link #close()} from another thread ends the waiting
 * {@link #receive()} with {@link AsynchronousCloseException}; other threads that called
 * {@code receive} and wait their turn get {@link ClosedChannelException}, as JDK 25's
 * {@code DatagramChannel} does (JDK 17's gives them {@link AsynchronousCloseException} too).
 * Interrupting the waiting thread closes the tap and ends it with
 * {@link ClosedByInterruptException}. Every method is safe from any
 * thread; each datagram is handed over once, to one thread. Failures are exceptions; nothing is
 * printed. The native library is the one {@link RouterAlert} loads: when
 * {@link RouterAlert#isAvailable()} is false, opening a tap throws
 * {@link UnsupportedOperationException}.
 */
public final class RouterAlertTap extends AbstractInterruptibleChannel implements InterruptibleChannel {
    /** What the tap's socket queues before the kernel drops datagrams, unless the caller says otherwise. */
    private static final int DEFAULT_RECEIVE_BUFFER = 4 << 20;

    /** The longest IP datagram: an IPv6 header and a 65535-byte payload. */
    static final int MAX_DATAGRAM = 40 + 65535;

    // The receive buffer, declared here alone: the native side takes these constants from the
    // header javac -h writes. BATCH slots of SLOT bytes, each filled by one receive0: a datagram's
    // layout, LAYOUT_SIZE ints in the order below, then from DATAGRAM on the datagram itself.
    static final int BATCH = 16;
    static final int LENGTH = 0;
    static final int OPTIONS = 1;
    static final int OPTIONS_LENGTH = 2;
    static final int PROTOCOL = 3;
    static final int UDP = 4;
    static final int SOURCE_PORT = 5;
    static final int DESTINATION_PORT = 6;
    static final int PAYLOAD = 7;
    static final int PAYLOAD_LENGTH = 8;
    static final int TTL = 9;
    static final int ROUTER_ALERT = 10;
    static final int INTERFACE = 11;
    static final int LAYOUT_SIZE = 12;
    static final int DATAGRAM = 64;                                // the layout, rounded up to a cache line
    static final int SLOT = DATAGRAM + ((MAX_DATAGRAM + 63) & ~63);

    // What receive0 answers instead of a count of slots filled; forward0's answer for a wait close() ended.
    static final int TIMED_OUT = -1;
    static final int WOKEN = -2;
    static final int END = -3;
    static final int WOKEN_COPIES = -1;

    private final boolean ipv6;
    private final int in;
    private final int out;
    private final int icmp;
    private final int wake;

    // The native calls take the buffers' addresses, found once: a call that hands over a buffer
    // object pays for the JVM's checks of it on every datagram. Each buffer is a field of the tap,
    // which every call uses after the native one returns, so its memory outlives the call.
    private final ReentrantLock receiveLock = new ReentrantLock();
    // BATCH slots (see SLOT); those from next to filled - 1 hold datagrams received and not yet
    // handed out. Under receiveLock.
    private final ByteBuffer received;
    private final IntBuffer receivedLayout;                                     // the same, as ints
    private final long receivedAddress;
    private final int[] layout = new int[LAYOUT_SIZE];                          // under receiveLock
    private int next;                                                           // under receiveLock
    private int filled;                                                         // under receiveLock

    private final ReentrantLock forwardLock = new ReentrantLock();
    // The datagram to send, then from MAX_DATAGRAM on a new payload for it, then from DROP why
    // forward0 sent no copy: a DropReason's ordinal + 1, and the MTU in the way. Under forwardLock.
    static final int DROP = 2 * MAX_DATAGRAM;
    private final ByteBuffer sending;
    private final IntBuffer sendingDrop;
    private final long sendingAddress;

    private static final DropReason[] REASONS = DropReason.values();
    private final AtomicLongArray dropCounts = new AtomicLongArray(REASONS.length);
    // Each thread's last drop on this tap: one object per thread, so forwarding allocates nothing.
    private final ThreadLocal<LastDrop> lastDrop = ThreadLocal.withInitial(LastDrop::new);

    private static final class LastDrop {
        DropReason reason;
        int mtu;
    }

    // The descriptors stay open until close() has happened and no call is using them. users: twice
    // the calls using them, plus CLOSING once close() has happened; whoever brings it to CLOSING
    // alone closes them. An atomic count, as a monitor around it cost a busy tap two more atomic
    // operations per call.
    private static final int CLOSING = 1;
    private final AtomicInteger users = new AtomicInteger();
    private final Object stateLock = new Object();
    private boolean released;         // under stateLock
    private long drops;               // under stateLock
    private int lastDropCounter;      // under stateLock: the kernel's 32-bit counter as last read
    private volatile boolean inputShutdown;  // written under stateLock

    private RouterAlertTap(boolean ipv6, int[] descriptors, ByteBuffer received, ByteBuffer sending) {
        this.ipv6 = ipv6;
        this.in = descriptors[0];
        this.out = descriptors[1];
        this.wake = descriptors[2];
        this.icmp = descriptors[3];
        this.received = received;
        this.receivedLayout = received.order(ByteOrder.nativeOrder()).asIntBuffer();
        this.receivedAddress = address0(received, false);
        this.sending = sending;
        this.sendingDrop = sending.slice(DROP, 8).order(ByteOrder.nativeOrder()).asIntBuffer();
        this.sendingAddress = address0(sending, true);
    }

    /**
     * Opens a tap for the IPv4 datagrams in transit that carry Router Alert and whose IP protocol
     * is {@code protocol}, unicast and multicast.
     *
     * @param protocol the IP protocol, 1 to 254: 17 for UDP
     * @return the open tap
     * @throws IllegalArgumentException the protocol is out of range
     * @throws IOException without {@code CAP_NET_RAW}, saying so, or when the system refuses
     * @throws UnsupportedOperationException the native library could not be loaded
     */
    public static RouterAlertTap openIPv4(int protocol) throws IOException {
        if (protocol < 1 || protocol > 254) {
            throw new IllegalArgumentException("IP protocol out of range 1..254: " + protocol);
        }
        return open(false, protocol);
    }

    /**
     * Opens a tap for the IPv6 datagrams in transit whose hop-by-hop header carries Router Alert
     * with {@code value}; other values are not handed over. It sees only what this network namespace
     * forwards.
     *
     * @param value the Router Alert value, 0 to 65535: 0 MLD, 1 RSVP, 2 Active Networks
     * @return the open tap
     * @throws IllegalArgumentException the value is out of range
     * @throws IOException without {@code CAP_NET_RAW}, saying so, or when the system refuses
     * @throws UnsupportedOperationException the native library could not be loaded
     */
    public static RouterAlertTap openIPv6(int value) throws IOException {
        if (value < 0 || value > 0xFFFF) {
            throw new IllegalArgumentException("Router Alert value out of range 0..65535: " + value);
        }
        return open(true, value);
    }

    /**
     * Waits for the next datagram in transit that carries Router Alert.
     *
     * @return the datagram, which the kernel no longer forwards; null only once the input is
     *     {@linkplain #shutdownInput() shut down} and every datagram queued before has been handed over
     * @throws ClosedChannelException the tap is closed
     * @throws AsynchronousCloseException another thread closed the tap while this one waited
     * @throws ClosedByInterruptException this thread was interrupted while it waited; the tap is closed
     * @throws IOException the system refused, with its text
     */
    public AlertedDatagram receive() throws IOException {
        return receive(-1);
    }

    /**
     * Waits at most {@code timeout} for the next datagram in transit that carries Router Alert.
     *
     * @param timeout how long to wait; zero takes only what has already arrived
     * @return the datagram, or null when none came in time, or at once when the input is
     *     {@linkplain #shutdownInput() shut down} and every datagram queued before has been handed over
     * @throws IllegalArgumentException the timeout is negative
     * @throws ClosedChannelException the tap is closed
     * @throws AsynchronousCloseException another thread closed the tap while this one waited
     * @throws ClosedByInterruptException this thread was interrupted while it waited; the tap is closed
     * @throws IOException the system refused, with its text
     */
    public AlertedDatagram receive(Duration timeout) throws IOException {
        Objects.requireNonNull(timeout, "timeout");
        if (timeout.isNegative()) {
            throw new IllegalArgumentException("negative timeout: " + timeout);
        }
        // Whole milliseconds, rounded up; a wait longer than one native call takes goes in several.
        long millis = millisUpTo(timeout);
        for (; millis > Integer.MAX_VALUE; millis -= Integer.MAX_VALUE) {
            AlertedDatagram d = receive(Integer.MAX_VALUE);
            if (d != null) {
                return d;
            }
        }
        return receive((int) millis);
    }

    /**
     * Sends the datagram on, as the router would have: TTL or hop limit one lower, the IPv4 header
     * checksum computed afresh, the UDP checksum as it came (computed where offload left a partial
     * sum), options kept, in fragments where the outgoing IPv4 link needs them.
     *
     * @param d a datagram a tap of the same IP version received
     * @return the copies sent: 1 for unicast, one per outgoing interface for IPv4 multicast, 0
     *     when a router would send none (TTL 1, no route, too long with DF set or for IPv6): then
     *     the source gets the ICMP error a router sends, and {@link #lastDropReason()} says why
     * @throws IllegalArgumentException the datagram is of the other IP version
     * @throws ClosedChannelException the tap is closed
     * @throws AsynchronousCloseException another thread closed the tap while this one waited to send
     * @throws ClosedByInterruptException this thread was interrupted while it waited; the tap is closed
     * @throws IOException the system refused, with its text
     */
    public int forward(AlertedDatagram d) throws IOException {
        return forward(d, null);
    }

    /**
     * Sends the datagram on with a new UDP payload: the bytes from the buffer's position to its
     * limit (the buffer itself is not changed). The UDP length, the IP length and both checksums
     * follow (an IPv4 UDP checksum of 0, none, stays 0); everything else is as
     * {@link #forward(AlertedDatagram)} sends it.
     *
     * @param d a whole UDP datagram a tap of the same IP version received
     * @param payload the new UDP payload
     * @return the copies sent, as {@link #forward(AlertedDatagram)} counts them
     * @throws IllegalArgumentException the datagram is of the other IP version or not a whole UDP
     *     datagram, or the payload makes it longer than its IP version allows
     * @throws ClosedChannelException the tap is closed
     * @throws AsynchronousCloseException another thread closed the tap while this one waited to send
     * @throws ClosedByInterruptException this thread was interrupted while it waited; the tap is closed
     * @throws IOException the system refused, with its text
     */
    public int forward(AlertedDatagram d, ByteBuffer payload) throws IOException {
        Objects.requireNonNull(d, "datagram");
        if (d.isIPv6() != ipv6) {
            throw new IllegalArgumentException("an IPv" + (d.isIPv6() ? 6 : 4) + " datagram on an IPv"
                    + (ipv6 ? 6 : 4) + " tap");
        }
        int payloadLength = -1;
        if (payload != null) {
            if (!d.isUdp()) {
                throw new IllegalArgumentException("a new payload needs a whole UDP datagram: " + d);
            }
            payloadLength = payload.remaining();
            if ((long) d.payloadOffset() + payloadLength > (ipv6 ? MAX_DATAGRAM : 65535)) {  // no overflow
                throw new IllegalArgumentException("a payload of " + payloadLength
                        + " bytes makes the datagram longer than IPv" + (ipv6 ? 6 : 4) + " allows");
            }
        }
        forwardLock.lock();
        try {
            ensureOpen();
            byte[] packet = d.bytes();
            sending.clear();
            sending.put(packet);
            if (payload != null) {
                sending.position(MAX_DATAGRAM);
                sending.put(payload.duplicate());
            }
            int copies = WOKEN_COPIES;
            begin();
            try {
                if (enter()) {
                    try {
                        copies = forward0(ipv6, out, icmp, wake, sendingAddress, packet.length, payloadLength,
                                d.interfaceIndex());
                    } finally {
                        leave();
                    }
                }
            } finally {
                end(copies != WOKEN_COPIES);
            }
            recordDrop(copies);
            return copies;
        } finally {
            forwardLock.unlock();
        }
    }

    /**
     * Stops taking datagrams: from then on the kernel forwards new datagrams that carry Router
     * Alert itself, as it does with no tap open, while {@link #receive()} hands over those already
     * queued for the tap and then returns null. So a program that shuts the input down, then
     * receives and forwards until null, loses none. Threads waiting in {@code receive} go on with
     * what is queued, or return null. It takes about as long as an RCU grace period of the kernel
     * (10 to 20 ms), so that no datagram the kernel was handing over at that moment comes after
     * the end. Forwarding is unaffected. Shutting down an input already shut down does nothing.
     *
     * @return this tap
     * @throws ClosedChannelException the tap is closed
     * @throws IOException the system refused, with its text
     */
    public RouterAlertTap shutdownInput() throws IOException {
        synchronized (stateLock) {
            ensureOpen();
            if (!inputShutdown) {
                shutdownInput0(ipv6, in);
                inputShutdown = true;
            }
        }
        return this;
    }

    /**
     * Whether the input is shut down.
     *
     * @return true once {@link #shutdownInput()} has returned
     */
    public boolean isInputShutdown() {
        return inputShutdown;
    }

    /**
     * Why the calling thread's most recent {@link #forward(AlertedDatagram) forward} on this tap
     * sent no copy. A call that threw changes nothing. The first call on a thread allocates the
     * thread's record; forwarding allocates nothing for it.
     *
     * @return the reason; null when that call sent at least one copy, or this thread has forwarded
     *     nothing on this tap
     */
    public DropReason lastDropReason() {
        return lastDrop.get().reason;
    }

    /**
     * The MTU that stood in the way of the calling thread's most recent {@link
     * #forward(AlertedDatagram) forward} on this tap.
     *
     * @return the next hop's MTU when the {@linkplain #lastDropReason() reason} is {@link
     *     DropReason#TOO_LONG} or {@link DropReason#MTU_TOO_SMALL}; otherwise 0
     */
    public int lastDropMtu() {
        return lastDrop.get().mtu;
    }

    /**
     * How many datagrams {@code forward} sent no copy of for this reason since the tap opened, by
     * every thread; after close, the count when it closed.
     *
     * @param reason the reason
     * @return the count
     */
    public long drops(DropReason reason) {
        return dropCounts.get(reason.ordinal());
    }

    /**
     * The datagrams the kernel dropped since the tap opened because its queue was full: no loss
     * goes uncounted. A larger {@linkplain #setReceiveBufferSize receive buffer} queues more.
     *
     * @return the count; after close, the count when it closed
     */
    public long kernelDrops() {
        synchronized (stateLock) {
            if (!released) {
                countDrops();
            }
            return drops;
        }
    }

    /**
     * The receive buffer the kernel gives the tap's socket, which it counts datagrams and their
     * overhead against: twice what it granted. A tap asks for 4 MiB when it opens.
     *
     * @return the size in bytes, as the kernel reports it
     * @throws ClosedChannelException the tap is closed
     * @throws IOException the system refused, with its text
     */
    public int getReceiveBufferSize() throws IOException {
        synchronized (stateLock) {
            if (!isOpen()) {
                throw new ClosedChannelException();
            }
            return receiveBuffer0(in);
        }
    }

    /**
     * Asks for a receive buffer of this size. With {@code CAP_NET_ADMIN} it is granted whole;
     * without, the kernel caps it at {@code net.core.rmem_max}.
     *
     * @param size the size in bytes, at least 1
     * @throws IllegalArgumentException the size is not positive
     * @throws ClosedChannelException the tap is closed
     * @throws IOException the system refused, with its text
     */
    public void setReceiveBufferSize(int size) throws IOException {
        if (size <= 0) {
            throw new IllegalArgumentException("receive buffer size not positive: " + size);
        }
        synchronized (stateLock) {
            if (!isOpen()) {
                throw new ClosedChannelException();
            }
            setReceiveBuffer0(in, size);
        }
    }

    /**
     * Marks everything the tap sends from now on, its copies and the ICMP errors it sends, with
     * {@code SO_MARK}, so that firewall rules and {@code fwmark} routing rules can tell them from
     * what this host forwards (see the class description).
     *
     * @param mark the mark, any 32 bits; 0 for none
     * @throws ClosedChannelException the tap is closed
     * @throws IOException without {@code CAP_NET_ADMIN}, saying so, or when the system refuses
     */
    public void setMark(int mark) throws IOException {
        synchronized (stateLock) {
            ensureOpen();
            setMark0(ipv6, out, icmp, mark);
        }
    }

    /**
     * The mark everything the tap sends carries.
     *
     * @return the mark, as {@link #setMark(int)} set it; 0 for none
     * @throws ClosedChannelException the tap is closed
     * @throws IOException the system refused, with its text
     */
    public int getMark() throws IOException {
        synchronized (stateLock) {
            ensureOpen();
            return mark0(ipv6, out);
        }
    }

    /**
     * Wakes every thread waiting in the tap; the last one out closes the descriptors. Datagrams
     * still queued for the tap, received and not yet handed over included, are discarded: neither
     * handed over nor forwarded. {@link #shutdownInput()} first, and receive until null, to lose none.
     */
    @Override
    protected void implCloseChannel() {
        wake0(wake);
        if (users.getAndUpdate(u -> u | CLOSING) == 0) {
            release();
        }
    }

    private static RouterAlertTap open(boolean ipv6, int selector) throws IOException {
        if (!RouterAlert.isAvailable()) {
            throw new UnsupportedOperationException("Router Alert is unavailable: "
                    + RouterAlert.unavailabilityCause().getMessage(), RouterAlert.unavailabilityCause());
        }
        // The buffers before the sockets, which take datagrams from the native open on: nothing
        // that fails after it may leave them open.
        ByteBuffer received = ByteBuffer.allocateDirect(BATCH * SLOT);
        ByteBuffer sending = ByteBuffer.allocateDirect(DROP + 8);
        int[] descriptors = open0(ipv6, selector);
        RouterAlertTap tap = null;
        try {
            tap = new RouterAlertTap(ipv6, descriptors, received, sending);
            tap.setReceiveBufferSize(DEFAULT_RECEIVE_BUFFER);
            return tap;
        } catch (Throwable e) {
            if (tap == null) {
                close0(descriptors[0], descriptors[1], descriptors[3], descriptors[2]);
            } else {
                tap.close();
            }
            throw e;
        }
    }

    private AlertedDatagram receive(int timeoutMillis) throws IOException {
        receiveLock.lock();
        try {
            ensureOpen();
            // An interrupted thread goes to receive0 too, where it closes the tap as NIO channels
            // do; receive0 then does not run, so the slots stay as they are.
            if (next == filled || Thread.currentThread().isInterrupted()) {
                int count = receiveQueued();
                if (count == TIMED_OUT || count == WOKEN) {
                    count = receiveWaiting(timeoutMillis);
                }
                if (count < 0) {
                    return null;  // TIMED_OUT or END: WOKEN has thrown
                }
                next = 0;
                filled = count;
            }
            int at = next++ * SLOT;
            receivedLayout.get(at / 4, layout);
            byte[] packet = new byte[layout[LENGTH]];
            received.get(at + DATAGRAM, packet);
            return new AlertedDatagram(ipv6, packet, layout);
        } finally {
            receiveLock.unlock();
        }
    }

    /**
     * Datagrams already queued, taken without the set-up that lets an interrupt end a wait (begin
     * and end take a monitor each, which a tap forwarding flat out feels), as this call cannot
     * wait. TIMED_OUT or WOKEN when none is queued, and when this thread has been interrupted or
     * the tap is closing: receiveWaiting then deals with it as every call did before.
     */
    private int receiveQueued() throws IOException {
        if (Thread.currentThread().isInterrupted() || !enter()) {
            return TIMED_OUT;
        }
        try {
            return receive0(ipv6, in, wake, receivedAddress, 0);
        } finally {
            leave();
        }
    }

    private int receiveWaiting(int timeoutMillis) throws IOException {
        int count = WOKEN;
        begin();
        try {
            if (enter()) {
                try {
                    count = receive0(ipv6, in, wake, receivedAddress, timeoutMillis);
                } finally {
                    leave();
                }
            }
        } finally {
            end(count != WOKEN);
        }
        return count;
    }

    /** Under forwardLock, once forward0 has returned copies: the thread's last drop and the counts. */
    private void recordDrop(int copies) {
        LastDrop last = lastDrop.get();
        if (copies > 0) {
            last.reason = null;
            last.mtu = 0;
            return;
        }
        DropReason reason = REASONS[sendingDrop.get(0) - 1];
        last.reason = reason;
        last.mtu = sendingDrop.get(1);
        dropCounts.incrementAndGet(reason.ordinal());
    }

    private void ensureOpen() throws ClosedChannelException {
        if (!isOpen()) {
            throw new ClosedChannelException();
        }
    }

    /** Counts a call that uses the descriptors; false once the tap is closed. */
    private boolean enter() {
        for (int u = users.get(); isOpen() && (u & CLOSING) == 0; u = users.get()) {
            if (users.compareAndSet(u, u + 2)) {
                return true;
            }
        }
        return false;
    }

    private void leave() {
        if (users.addAndGet(-2) == CLOSING) {
            release();
        }
    }

    /** Once, with no call using the descriptors; the drop count is read a last time while the socket is open. */
    private void release() {
        synchronized (stateLock) {
            if (!released) {
                countDrops();
                released = true;
                close0(in, out, icmp, wake);
            }
        }
    }

    /** Under stateLock, while the socket is open: the kernel's 32-bit counter, widened. */
    private void countDrops() {
        try {
            int counter = drops0(in);
            drops += Integer.toUnsignedLong(counter - lastDropCounter);
            lastDropCounter = counter;
        } catch (IOException e) {
            // The descriptor is ours and open, so the kernel has no reason to refuse: keep the count.
        }
    }

    private static long millisUpTo(Duration d) {
        try {
            long millis = d.toMillis();
            return d.minusMillis(millis).isZero() ? millis : millis + 1;
        } catch (ArithmeticException e) {
            return Long.MAX_VALUE;
        }
    }

    // {in, out, wake, icmp}: the receiving and sending sockets (the same one for IPv6), an eventfd,
    // and the socket ICMP errors go out of.
    private static native int[] open0(boolean ipv6, int selector) throws IOException;

    // The address of the tap's direct buffer for receive0 (sending false) or forward0 (true),
    // once the native side has checked that it is large enough for that.
    private static native long address0(ByteBuffer buffer, boolean sending);

    // The count of slots filled from the first on (see SLOT); or TIMED_OUT, WOKEN or END.
    private static native int receive0(boolean ipv6, int in, int wake, long buffer, int timeoutMillis)
            throws IOException;

    private static native void shutdownInput0(boolean ipv6, int in) throws IOException;

    // Copies sent, or WOKEN_COPIES. buffer: the datagram, then at MAX_DATAGRAM a new payload
    // (payloadLength -1: none); at DROP it writes why none went out.
    private static native int forward0(boolean ipv6, int out, int icmp, int wake, long buffer, int length,
            int payloadLength, int arrivalInterface) throws IOException;

    private static native int drops0(int in) throws IOException;

    private static native int receiveBuffer0(int in) throws IOException;

    private static native void setReceiveBuffer0(int in, int size) throws IOException;

    private static native void setMark0(boolean ipv6, int out, int icmp, int mark) throws IOException;

    private static native int mark0(boolean ipv6, int out) throws IOException;

    private static native void wake0(int wake);

    private static native void close0(int in, int out, int icmp, int wake);
}
