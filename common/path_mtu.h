// SPDX-License-Identifier: Apache-2.0
// The MTU of the path to a destination, as the kernel's routes give it (IP_MTU, IPV6_MTU of a UDP
// socket connected there), remembered for each (destination, outgoing interface) so that a
// datagram too long for its link costs no socket: the forwarder asks again when the kernel
// refuses a datagram the remembered MTU let through, and an answer older than
// kPathMtuLifetimeMs counts for nothing. So a smaller link MTU is followed at once, and any other
// change within that bound.
#pragma once

#include <cstdint>

#include "address_table.h"
#include "tap_socket.h"

namespace nimbo {

constexpr std::int64_t kPathMtuLifetimeMs = 1000;

// The MTU last learned for key (ifindex: the outgoing interface of a multicast copy, else 0)
// within the lifetime; false when none is.
bool known_path_mtu(const AddressKey& key, int* mtu);

enum class Probe {
  kFound,
  kUnreachable,  // the kernel has no way there: *error holds connect's errno
  kFailed,       // *error says which call failed
};

// Asks the kernel, on a socket of its own that it closes again, and remembers the answer. Safe
// from any thread.
Probe learn_path_mtu(const AddressKey& key, int* mtu, SystemError* error);

}  // namespace nimbo
