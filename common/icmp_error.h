// SPDX-License-Identifier: Apache-2.0
// The ICMP error a router sends back when it forwards a datagram nowhere (RFC 792, RFC 1812
// 4.3.2, RFC 4443): its kind, whether the datagram may have one at all, and its header, quoting
// the datagram as it arrived. Touches no socket: the forwarder sends what this builds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "intercepted.h"

namespace nimbo {

// What the error tells the sender.
enum class Answer {
  kNone,
  kTimeExceeded,     // IPv4 11/0, ICMPv6 3/0
  kTooBig,           // IPv4 3/4 and ICMPv6 2/0, with the MTU
  kNetUnreachable,   // no route: IPv4 3/0, ICMPv6 1/0
  kHostUnreachable,  // an unreachable route: IPv4 3/1, ICMPv6 1/0
  kBeyondScope,      // ICMPv6 1/2: a link-local source, and the datagram would leave its link
};

constexpr std::size_t kIcmpHeader = 8;

// The most of the datagram an error quotes, as Linux does: IPv4 up to 576 bytes in all
// (RFC 1812 4.3.2.3), IPv6 up to the minimum MTU of 1280 (RFC 4443 2.4).
constexpr std::size_t kIpv4QuoteMax = 576 - 20 - kIcmpHeader;
constexpr std::size_t kIpv6QuoteMax = 1280 - 40 - kIcmpHeader;

// True for the address of one host: not unspecified, loopback or multicast (nor, for IPv4,
// 0/8 or 240/4 with the broadcast address).
bool single_host(int family, const std::uint8_t* address);

// True unless a router must not send an error about this datagram: one about an ICMP error (or
// an ICMP message too short to tell), about a fragment other than the first, to a source that
// is no single host (unspecified, loopback, multicast, IPv4 240/4 and broadcast), or about a
// datagram to a multicast or broadcast address (for IPv6, Packet Too Big aside).
bool may_answer(const std::uint8_t* packet, const Intercepted& in, Answer answer);

struct IcmpError {
  std::uint8_t header[kIcmpHeader];  // type, code, checksum (IPv4; the kernel fills ICMPv6's), rest
  std::size_t quoted;                // the datagram's first bytes that follow the header
};

// The error for `answer` about `packet` as it arrived (TTL and checksums as they came); mtu
// for kTooBig (IPv6: at least 1280, as Linux sends it). False when none may be sent.
bool build_icmp_error(const std::uint8_t* packet, const Intercepted& in, Answer answer, int mtu, IcmpError* out);

}  // namespace nimbo
