// SPDX-License-Identifier: Apache-2.0
// Where the kernel's multicast forwarding cache sends an IPv4 datagram: its entries for the
// datagram's source and group, asked over rtnetlink (RTM_GETROUTE in the RTNL_FAMILY_IPMR
// family, the answers read as untrusted), and the interfaces they give as the kernel's own
// multicast forwarding (ip_mr_input, ip_mr_forward) picks them.
//
// Only the default table (RT_TABLE_DEFAULT) is asked: a kernel built with
// CONFIG_IP_MROUTE_MULTIPLE_TABLES may pick another by `ip mrule`, which is not followed. Of
// several entries for one (source, group) that differ only in their incoming interface
// (MRT_ADD_MFC_PROXY), the one the kernel names first is taken.
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

// The entries ip_mr_input may take for a datagram, each with whether the cache holds it.
struct MulticastEntries {
  bool has_source_group;
  bool any_source;  // the datagram's source is 0.0.0.0: source_group is a (*,G) entry
  bool has_any_group;
  bool has_any_any;
  MulticastRoute source_group;  // (S,G): the datagram's own source and group
  MulticastRoute any_group;     // (*,G): any source, the datagram's group
  MulticastRoute any_any;       // (*,*): any source, any group
};

// The interfaces a datagram that arrived on `arrival_ifindex` with `ttl` goes out of, into
// `ifindex`, as the kernel forwards it:
//  - the (S,G) entry when there is one; else the (*,G) entry when it lists the arrival interface
//    among its outputs, or when the (*,*) entry lists both that and the (*,G)'s incoming one;
//    else the (*,*) entry when it lists the arrival interface;
//  - it must have arrived on the entry's incoming interface, or (any-source entries) the (*,*)
//    entry lists both (the static tree);
//  - out of each output whose TTL threshold the arriving TTL exceeds, the arrival interface
//    aside for any-source entries; a (*,*) entry sends only towards its incoming interface.
std::size_t multicast_outputs(const MulticastEntries& entries, int arrival_ifindex, int ttl,
                              int (&ifindex)[kMulticastOutputsMax]);

enum class Lookup {
  kFound,
  kNone,    // no entry, or no usable answer
  kFailed,  // *error says which call failed
};

// Asks the kernel for the entries (at most three requests, (S,G) first), over a netlink socket
// of its own, so that any thread may call it. source and group in network order.
Lookup find_multicast_entries(std::uint32_t source, std::uint32_t group, MulticastEntries* entries,
                              SystemError* error);

}  // namespace nimbo
