// SPDX-License-Identifier: Apache-2.0
package nimbo;

import java.net.Inet6Address;
import java.net.InetAddress;
import java.net.UnknownHostException;
import java.nio.ByteBuffer;

/**
 * A datagram in transit that carried Router Alert, as a {@link RouterAlertTap} intercepted it: the
 * whole IP datagram and where its parts lie. Immutable; every buffer it hands out is a new
 * read-only view of its own copy, from position 0 to its length.
 *
 * <p>Give it back to {@link RouterAlertTap#forward(AlertedDatagram)} to send it on, or drop it by
 * doing nothing.
 */
public final class AlertedDatagram {
    private static final int IPV4_SOURCE = 12;
    private static final int IPV6_SOURCE = 8;

    private final boolean ipv6;
    private final byte[] packet;
    private final int options;
    private final int optionsLength;
    private final int protocol;
    private final boolean udp;
    private final int sourcePort;
    private final int destinationPort;
    private final int payload;
    private final int payloadLength;
    private final int ttl;
    private final int routerAlertValue;
    private final int interfaceIndex;

    /** Takes the packet as its own; the layout (in RouterAlertTap's order) is read, not kept. */
    AlertedDatagram(boolean ipv6, byte[] packet, int[] layout) {
        this.ipv6 = ipv6;
        this.packet = packet;
        this.options = layout[RouterAlertTap.OPTIONS];
        this.optionsLength = layout[RouterAlertTap.OPTIONS_LENGTH];
        this.protocol = layout[RouterAlertTap.PROTOCOL];
        this.udp = layout[RouterAlertTap.UDP] != 0;
        this.sourcePort = layout[RouterAlertTap.SOURCE_PORT];
        this.destinationPort = layout[RouterAlertTap.DESTINATION_PORT];
        this.payload = layout[RouterAlertTap.PAYLOAD];
        this.payloadLength = layout[RouterAlertTap.PAYLOAD_LENGTH];
        this.ttl = layout[RouterAlertTap.TTL];
        this.routerAlertValue = layout[RouterAlertTap.ROUTER_ALERT];
        this.interfaceIndex = layout[RouterAlertTap.INTERFACE];
    }

    /**
     * The source address from the IP header.
     *
     * @return an {@code Inet4Address} or an {@code Inet6Address}
     */
    public InetAddress source() {
        return address(ipv6 ? IPV6_SOURCE : IPV4_SOURCE);
    }

    /**
     * The destination address from the IP header: a unicast host beyond this router, or a group.
     *
     * @return an {@code Inet4Address} or an {@code Inet6Address}
     */
    public InetAddress destination() {
        return address(ipv6 ? IPV6_SOURCE + 16 : IPV4_SOURCE + 4);
    }

    /**
     * The transport protocol: the IPv4 header's protocol, or for IPv6 the next header after the
     * hop-by-hop header (44 for a fragment).
     *
     * @return the protocol number, 17 for UDP
     */
    public int protocol() {
        return protocol;
    }

    /**
     * The UDP source port.
     *
     * @return 0 to 65535, or -1 when this is not a whole UDP datagram
     */
    public int sourcePort() {
        return sourcePort;
    }

    /**
     * The UDP destination port.
     *
     * @return 0 to 65535, or -1 when this is not a whole UDP datagram
     */
    public int destinationPort() {
        return destinationPort;
    }

    /**
     * The TTL (IPv4) or hop limit (IPv6) the datagram arrived with; forwarding lowers it by one.
     *
     * @return 0 to 255
     */
    public int ttl() {
        return ttl;
    }

    /**
     * The Router Alert value: always 0 for IPv4 ({@code 94 04 00 00}); for IPv6 the hop-by-hop
     * option's value, the one the tap was opened for.
     *
     * @return 0 to 65535
     */
    public int routerAlertValue() {
        return routerAlertValue;
    }

    /**
     * The index of the interface the datagram arrived on, as {@code NetworkInterface.getByIndex}
     * takes it.
     *
     * @return the interface index
     */
    public int interfaceIndex() {
        return interfaceIndex;
    }

    /**
     * The IPv4 options (the header's bytes after the first 20, Router Alert among them), or the
     * whole IPv6 hop-by-hop header.
     *
     * @return a read-only view of those bytes
     */
    public ByteBuffer options() {
        return view(options, optionsLength);
    }

    /**
     * The transport payload: for a UDP datagram its data without the UDP header (as long as the
     * UDP length says); for any other protocol, or a UDP datagram whose header does not add up,
     * everything after the IP header (and hop-by-hop header).
     *
     * @return a read-only view of those bytes
     */
    public ByteBuffer payload() {
        return view(payload, payloadLength);
    }

    /**
     * The whole IP datagram as the tap intercepted it, header first.
     *
     * @return a read-only view of those bytes
     */
    public ByteBuffer packet() {
        return view(0, packet.length);
    }

    @Override
    public String toString() {
        String ports = udp ? ":" + sourcePort : "";
        return "from " + source().getHostAddress() + ports + " to " + destination().getHostAddress()
                + (udp ? ":" + destinationPort : "") + " protocol " + protocol + " ttl " + ttl
                + " router alert " + routerAlertValue + " interface " + interfaceIndex + " length "
                + packet.length;
    }

    boolean isIPv6() {
        return ipv6;
    }

    boolean isUdp() {
        return udp;
    }

    byte[] bytes() {
        return packet;
    }

    int payloadOffset() {
        return payload;
    }

    private ByteBuffer view(int offset, int length) {
        return ByteBuffer.wrap(packet, offset, length).slice().asReadOnlyBuffer();
    }

    private InetAddress address(int offset) {
        try {
            byte[] bytes = new byte[ipv6 ? 16 : 4];
            System.arraycopy(packet, offset, bytes, 0, bytes.length);
            // Inet6Address keeps an IPv4-mapped address an IPv6 one, as it was on the wire.
            return ipv6 ? Inet6Address.getByAddress(null, bytes, -1) : InetAddress.getByAddress(bytes);
        } catch (UnknownHostException e) {
            throw new AssertionError(e);  // a length other than 4 or 16
        }
    }
}
