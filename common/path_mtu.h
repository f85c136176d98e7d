// SPDX-License-Identifier: Apache-2.0
// The MTU of the path to a destination, as the kernel's routes give it (IP_MTU, IPV6_MTU of a UDP
// socket connected there), remembered for each (destination, outgoing interface) so that a
// datagram too long for its link costs no socket: the forwarder asks again when the kernel
// refuses a datagram the remembered MTU let through, and an answer older than
// kPathMtuLifetimeMs counts for nothing. So a smaller link MTU is followed at once, and any other
// change within that bound.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <cstring>

#include "address_table.h"
#include "tap_socket.h"

namespace nimbo {

constexpr std::int64_t kPathMtuLifetimeMs = 1000;

// The path a copy takes: its destination, its source (rules by source may route it elsewhere; 0:
// a source the route lookup leaves out) and the outgoing interface of a multicast copy (else 0).
inline AddressKey path_key(int family, const std::uint8_t* destination, const std::uint8_t* source, int ifindex) {
  AddressKey key = address_key(family, destination, family == AF_INET ? 4 : 16, ifindex);
  std::memcpy(key.source, source, family == AF_INET ? 4 : 16);
  return key;
}

// The MTU last learned for key within the lifetime; false when none is.
bool known_path_mtu(const AddressKey& key, int* mtu);

enum class Probe {
  kFound,
  kUnreachable,  // the kernel has no way there: *error holds connect's errno
  kFailed,       // *error says which call failed
};

// Asks the kernel, on a socket of its own that it closes again, and remembers the answer. The
// socket's route is the copies' one: from the key's source, with the mark of `sender` (the socket
// the copies leave by). Safe from any thread.
Probe learn_path_mtu(const AddressKey& key, int sender, int* mtu, SystemError* error);

}  // namespace nimbo
