// SPDX-License-Identifier: Apache-2.0
// The sockets of a Router Alert tap on a forwarding host: one that the kernel hands the datagrams
// in transit carrying Router Alert (instead of forwarding them), one that sends them on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "intercepted.h"

namespace nimbo {

// A failed system call: its name, as in "socket", "setsockopt(IP_ROUTER_ALERT)", and errno.
struct SystemError {
  const char* call;
  int error;
};

struct TapSockets {
  int family;  // AF_INET or AF_INET6
  int in;      // receives the datagrams in transit
  int out;     // sends whole IP datagrams, header included
  int icmp;    // sends ICMP errors (-1: none), from the address the kernel picks by route; takes nothing in
};

// IPv4: a raw socket of `protocol` bound to 224.0.0.0, an address no datagram is delivered to, so
// that the kernel hands it no copies of this host's own traffic, then emptied of the copies it
// queued before the bind, and only then given IP_ROUTER_ALERT; an IPPROTO_RAW socket that sends
// with multicast loopback off; and a raw ICMP socket bound there too, so that it sends with the
// source the route gives and receives nothing. All close on exec. False with the failed call in
// *error (EPERM from "socket" means no CAP_NET_RAW); nothing is left open then.
bool open_ipv4_tap(int protocol, TapSockets* tap, SystemError* error);

// IPv6: an IPPROTO_RAW socket with IPV6_ROUTER_ALERT `value` (0..65535) and
// IPV6_ROUTER_ALERT_ISOLATE, so that it sees only what this network namespace forwards; it both
// receives (whole datagrams, header included) and sends, with IPV6_FREEBIND so that a copy's
// route may be looked up with its source. in and out are the same descriptor. And a raw ICMPv6
// socket that filters out every type it could receive.
bool open_ipv6_tap(int value, TapSockets* tap, SystemError* error);

// Closes what open_*_tap opened. What is still queued on tap.in is discarded: neither handed
// over nor forwarded by anyone.
void close_tap(const TapSockets& tap);

// Stops taking datagrams, once per tap: Router Alert off, so that from then on the kernel forwards
// new ones itself; then waits until any hand-over the kernel had begun has ended (one RCU grace
// period, about 10-20 ms); then shuts tap.in for reading. What was queued stays there to receive;
// once it is drained, receive_intercepted answers kEnd. Sending is unaffected.
bool shutdown_tap_input(const TapSockets& tap, SystemError* error);

// SO_RCVBUF of the receiving socket, past net.core.rmem_max where the caller may (SO_RCVBUFFORCE,
// CAP_NET_ADMIN), else up to it. The kernel doubles what is asked for.
bool set_tap_receive_buffer(const TapSockets& tap, int bytes, SystemError* error);
bool tap_receive_buffer(const TapSockets& tap, int* bytes, SystemError* error);

// SO_MARK on every socket the tap sends with (0: none), so that firewall rules and fwmark
// routing rules can tell what it sends from what this host forwards. Setting it needs
// CAP_NET_ADMIN (EPERM otherwise).
bool set_tap_mark(const TapSockets& tap, std::uint32_t mark, SystemError* error);
bool tap_mark(const TapSockets& tap, std::uint32_t* mark, SystemError* error);

// The kernel's count of datagrams dropped because the receiving socket's queue was full (the
// counter SO_RXQ_OVFL reports with each datagram), as it stands now, from SO_MEMINFO; it wraps
// at 2^32.
bool tap_drops(const TapSockets& tap, std::uint32_t* drops, SystemError* error);

enum class Wait {
  kDatagram,  // *filled slots (at least one) hold datagrams
  kTimeout,   // none came within timeout_ms
  kWoken,     // `wake` became readable: the tap is closing
  kEnd,       // the input was shut down (shutdown_tap_input) and nothing is queued any more
  kFailed,    // *error says which call failed
};

// Where receive_intercepted puts one datagram: `buffer` (the caller's, `capacity` bytes) holds it
// from its start, laid out in `in`, with the interface it arrived on.
struct Slot {
  std::uint8_t* buffer;
  Intercepted in;
  int ifindex;
};

// The most datagrams one receive_intercepted takes at once.
constexpr int kReceiveBatchMax = 64;

// Waits for datagrams to hand over, for at most timeout_ms (-1: for ever; measured on the
// monotonic clock), and takes up to `count` (at most kReceiveBatchMax) of those queued in one
// system call (recvmmsg) into slots[0] onwards, laid out. It receives first, without blocking,
// and polls tap.in and `wake` (-1: none) only when nothing is queued, so `wake` is noticed while
// it waits, not while datagrams keep coming. A datagram that does not parse, or too long for its
// slot, is passed over (the next one takes its slot), and the wait goes on until the time is up
// while none is left. Several threads may call it at once on one tap; each datagram goes to one
// of them.
Wait receive_intercepted(const TapSockets& tap, int wake, int timeout_ms, Slot* slots, int count, std::size_t capacity,
                         int* filled, SystemError* error);

}  // namespace nimbo
