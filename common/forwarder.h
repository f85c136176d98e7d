// SPDX-License-Identifier: Apache-2.0
// Sending an intercepted datagram on, as the router would have forwarded it.
#pragma once

#include <cstdint>

#include "icmp_error.h"
#include "intercepted.h"
#include "tap_socket.h"

namespace nimbo {

enum class Sent {
  kDone,    // *copies says how many went out (0: a router would send none)
  kWoken,   // `wake` became readable while the socket could take nothing: the tap is closing
  kFailed,  // *error says which call failed
};

// Why a datagram went out in no copy, in the order of nimbo.DropReason.
enum class Drop {
  kNone,         // a copy went out
  kTtlExpired,   // TTL or hop limit 1 or less
  kTooLong,      // longer than the link's MTU, and DF set (IPv4), or IPv6
  kMtuTooSmall,  // the MTU leaves less than 8 bytes of data behind a fragment's header
  kNoRoute,      // no route; multicast: no cache entry, another arrival interface, no interface past
                 // its threshold, a link-local group; IPv6: a multicast or link-local address
  kBadSource,    // IPv6 from ::, a loopback or a multicast address, which no router forwards
  kLinkDown,     // the outgoing interface is down or gone (ENETDOWN, ENODEV, ENXIO)
  kRefused,      // a firewall rule (EPERM), or a broadcast address (EACCES)
  kQueueFull,    // the outgoing queue had no room (ENOBUFS)
};

struct Dropped {
  Drop reason;
  int mtu;        // kTooLong and kMtuTooSmall: the MTU in the way; otherwise 0
  Answer answer;  // the ICMP error a router answers with, before the checks of who may have one
};

// Sends the datagram on through tap.out, changing `packet` in place: TTL or hop limit one lower,
// IPv4 header checksum computed afresh, the UDP checksum as prepare_forward leaves it, options
// and the hop-by-hop header kept.
//
//  - TTL or hop limit 1 or less: nothing is sent (0 copies).
//  - Unicast goes where the routing table says; no route: 0 copies.
//  - IPv4 multicast goes out of each interface the kernel's multicast forwarding cache sends it
//    to, (S,G), (*,G) and (*,*) entries matched as the kernel matches them with the arrival
//    interface (arrival_ifindex): see multicast_outputs. None when no entry takes it.
//  - IPv4 longer than the outgoing link's MTU goes in fragments: offsets in 8-byte units, one IP ID
//    for all (one is chosen, never 0, when the datagram has none), later fragments carrying only
//    the options with the copied flag. With DF set, or when the MTU leaves no room for 8 bytes of
//    data behind the header, nothing is sent on that link.
//  - IPv6 longer than the outgoing link's MTU: nothing is sent (routers do not fragment). Nor
//    from ::, a loopback or a multicast source; nor from a link-local one.
//  - The MTU of a link comes from path_mtu.h: a datagram the remembered MTU says is too long
//    goes in fragments at once; the fragments of one datagram, and the copies of one multicast
//    datagram, go in one sendmmsg where they can.
//
// With no copy sent, an ICMP error goes back to the source through tap.icmp as the kernel's
// forwarding sends one (icmp_error.h), at the rate it allows (icmp_rate.h), quoting the datagram
// as it arrived: Time Exceeded, fragmentation needed or Packet Too Big with the MTU, no route
// (IPv4 3/0 or 3/1, ICMPv6 1/0), ICMPv6 "beyond scope of source address" for a link-local
// source. `packet` holds the datagram as it arrived again by then.
//
// Any other refusal by the kernel (EBADF, EINVAL, ENOMEM, ...) is kFailed. With no copy sent,
// *why (when not null) says why; for multicast, why the last interface tried got none.
//
// Waits while the socket's send buffer is full, but wakes when `wake` (-1: none) is readable.
// Safe from several threads at once on one tap.
Sent forward_intercepted(const TapSockets& tap, int wake, std::uint8_t* packet, const Intercepted& in,
                         int arrival_ifindex, int* copies, SystemError* error, Dropped* why = nullptr);

}  // namespace nimbo
