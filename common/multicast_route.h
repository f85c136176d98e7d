// SPDX-License-Identifier: Apache-2.0
// Where the kernel's multicast forwarding cache sends an IPv4 (source, group) datagram: asked
// over rtnetlink (RTM_GETROUTE in the RTNL_FAMILY_IPMR family), the answer read as untrusted.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tap_socket.h"

namespace nimbo {

constexpr std::size_t kMulticastOutputsMax = 32;  // the kernel's MAXVIFS
constexpr std::size_t kMulticastRequestSize = 52;

struct MulticastRoute {
  int input_ifindex;  // the interface the cache expects the datagram on; 0 when the answer names none
  std::size_t outputs;
  struct Output {
    int ifindex;
    int threshold;  // a copy goes out when the arriving TTL is above it
  } output[kMulticastOutputsMax];
};

// The request for the cache entry of (source, group), both in network order.
void multicast_route_request(std::uint32_t source, std::uint32_t group, std::uint32_t sequence,
                             std::uint8_t (&request)[kMulticastRequestSize]);

// Reads the kernel's answer to the request numbered `sequence`. False when it is an error (no
// entry; no multicast routing in this kernel) or does not parse; outputs past
// kMulticastOutputsMax are left out.
bool parse_multicast_route(const std::uint8_t* answer, std::size_t length, std::uint32_t sequence,
                           MulticastRoute* route);

enum class Lookup {
  kFound,
  kNone,    // no entry, or no usable answer
  kFailed,  // *error says which call failed
};

// Asks the kernel, over a netlink socket of its own, so that any thread may call it.
Lookup find_multicast_route(std::uint32_t source, std::uint32_t group, MulticastRoute* route,
                            SystemError* error);

}  // namespace nimbo
