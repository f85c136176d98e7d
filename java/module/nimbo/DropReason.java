// SPDX-License-Identifier: Apache-2.0
package nimbo;

/**
 * Why {@link RouterAlertTap#forward(AlertedDatagram)} sent no copy of a datagram: the reasons the
 * kernel's own forwarding drops one for. {@link RouterAlertTap#lastDropReason()} gives the calling
 * thread's last one, {@link RouterAlertTap#drops(DropReason)} counts each.
 */
public enum DropReason {
    // The order of nimbo::Drop in common/forwarder.h, which the native side reports.

    /**
     * The TTL (IPv4) or hop limit (IPv6) would reach 0. The source gets an ICMP Time Exceeded.
     */
    TTL_EXPIRED,

    /**
     * Longer than the next hop's MTU ({@link RouterAlertTap#lastDropMtu()}), and IPv4 with DF set or
     * IPv6, which routers never fragment. The source gets an ICMP "fragmentation needed" or Packet
     * Too Big with the MTU, so that it learns the path's MTU.
     */
    TOO_LONG,

    /** The next hop's MTU leaves no room for 8 bytes of data behind a fragment's IPv4 header. */
    MTU_TOO_SMALL,

    /**
     * No route to the destination (the source gets an ICMP Destination Unreachable); for
     * multicast, no route for the source and group, another arrival interface than the route's, no
     * interface whose TTL threshold the datagram passes, or a link-local group; for IPv6 a
     * multicast or link-local destination, or a link-local source the datagram would leave the
     * link of (the source gets ICMPv6 "beyond scope of source address").
     */
    NO_ROUTE,

    /** A source the kernel's forwarding drops: IPv6 from {@code ::}, a loopback or a multicast address. */
    BAD_SOURCE,

    /** The outgoing interface is down or gone. */
    LINK_DOWN,

    /** Refused: a firewall rule on output (EPERM), or a broadcast address (EACCES). */
    REFUSED,

    /** The outgoing queue had no room (ENOBUFS). */
    QUEUE_FULL,
}
