// SPDX-License-Identifier: Apache-2.0
// The steps of forwarding an intercepted datagram that touch no socket: the TTL, the checksums,
// how an IPv4 datagram is cut into fragments, and the IP ID they share. The forwarder sends what
// these build; the tests and the fuzzer check them on their own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "intercepted.h"

namespace nimbo {

constexpr std::size_t kIpv4HeaderMax = 60;

// The Internet checksum (host order) of an IPv4 header with its checksum field taken as 0.
std::uint16_t ipv4_header_checksum(const std::uint8_t* header, std::size_t length);

// The Internet checksum (host order) of a header of even length followed by data, as ICMP has it.
std::uint16_t internet_checksum(const std::uint8_t* header, std::size_t header_length, const std::uint8_t* data,
                                std::size_t length);

// The UDP checksum (host order) of a udp datagram: pseudo-header, UDP header with its checksum
// field taken as 0 and the payload up to the UDP length. 0 comes out as 0xFFFF.
std::uint16_t udp_checksum(const std::uint8_t* packet, const Intercepted& in);

// What checksum offload leaves in a UDP checksum field (host order): the pseudo-header sum,
// folded, not complemented. A datagram that crossed a veth reaches a raw socket that way.
std::uint16_t partial_udp_checksum(const std::uint8_t* packet, const Intercepted& in);

// What a router does to a datagram before sending it on: TTL or hop limit one lower, the IPv4
// header checksum computed afresh. The UDP checksum (udp only) is left as it came, unless the
// payload was replaced or the field holds the partial sum offload leaves: then it is computed;
// an IPv4 checksum of 0 (none) stays 0. False, the datagram untouched, when its TTL is 1 or less.
bool prepare_forward(std::uint8_t* packet, const Intercepted& in);

enum class Fit {
  kWhole,          // no fragments needed
  kFragments,      // see the plan
  kDontFragment,   // too long, and DF set
  kMtuTooSmall,    // the MTU leaves less than 8 bytes of data behind a header
};

// How an IPv4 datagram goes out in fragments.
struct FragmentPlan {
  std::size_t count;
  std::size_t per_fragment;  // data bytes in each fragment but the last: a multiple of 8
};

// The arithmetic of fragmenting `data` bytes behind a first header and shorter later headers.
Fit fit_fragments(std::size_t first_header, std::size_t later_header, std::size_t data, std::size_t mtu,
                  bool dont_fragment, FragmentPlan* plan);

// Everything the fragments of one IPv4 datagram share.
struct Fragments {
  FragmentPlan plan;
  std::uint16_t id;                // host order; the forwarder picks one when the datagram has 0
  std::size_t first_offset;        // where the datagram's data lies within the original's (bytes)
  bool more_after;                 // the datagram is itself a fragment that others follow
  std::size_t later_header_length;
  std::uint8_t later_header[kIpv4HeaderMax];  // the fixed header and the copied options
};

// Plans the fragments of a prepared IPv4 datagram for an MTU.
Fit plan_fragments(const std::uint8_t* packet, const Intercepted& in, std::size_t mtu, Fragments* out);

// The header of fragment `index` (length, ID, offset, MF and checksum filled in) and where its
// data lies in the packet. Returns the header's length.
std::size_t fragment_header(const std::uint8_t* packet, const Intercepted& in, const Fragments& fragments,
                            std::size_t index, std::uint8_t (&header)[kIpv4HeaderMax],
                            std::size_t* data_offset, std::size_t* data_length);

// The IP ID that follows `previous`: 65535 is followed by 1, never by 0.
std::uint16_t ip_id_after(std::uint16_t previous);

// A fresh IP ID, never 0; safe from any thread.
std::uint16_t next_ip_id();

}  // namespace nimbo
