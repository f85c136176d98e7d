// SPDX-License-Identifier: Apache-2.0
// Fuzz target for the group check's deciding parts.
//
// 1. The first 4 bytes (zero-padded) as an address in network byte order: is_multicast is true
//    exactly when it lies in 224.0.0.0/4.
// 2. The whole input as a host name, zero-terminated in a heap buffer of exactly its size plus one
//    (AddressSanitizer sees any read past it), handed to resolve_ipv4. Only names that look
//    numeric (digits, dots, hex digits, x, space) or are short are looked up: anything else would
//    only exercise the resolver. A strict dotted quad must resolve to itself.
//
// Lookups of names that are not numbers may ask DNS, so this target refuses to run anywhere but
// in a network namespace holding only loopback (tests/netns-run): a query has nowhere to go.
#include <arpa/inet.h>
#include <net/if.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "net.h"

namespace {

constexpr std::size_t kShortName = 12;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "group_check_fuzz: %s\n", what);
  std::abort();
}

bool only_loopback() {
  struct if_nameindex* interfaces = if_nameindex();
  if (interfaces == nullptr) return false;
  bool only_lo = true;
  for (const struct if_nameindex* i = interfaces; i->if_index != 0; ++i)
    only_lo = only_lo && std::strcmp(i->if_name, "lo") == 0;
  if_freenameindex(interfaces);
  return only_lo;
}

bool numeric_looking(const char* name, std::size_t length) {
  return std::strspn(name, "0123456789.abcdefABCDEFxX ") == length;
}

// The address of a strict dotted quad: four decimal parts 0-255 without leading zeros.
bool strict_dotted_quad(const char* name, std::uint32_t* address) {
  std::uint32_t value = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *name++ != '.') return false;
    if (*name < '0' || *name > '9') return false;
    if (name[0] == '0' && name[1] >= '0' && name[1] <= '9') return false;
    std::uint32_t octet = 0;
    for (int digits = 0; *name >= '0' && *name <= '9'; ++digits, ++name) {
      if (digits == 3) return false;
      octet = octet * 10 + static_cast<std::uint32_t>(*name - '0');
    }
    if (octet > 255) return false;
    value = value << 8 | octet;
  }
  *address = value;
  return *name == '\0';
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!only_loopback()) {
    std::fprintf(stderr,
                 "group_check_fuzz: not in a loopback-only network namespace; run it under "
                 "tests/netns-run\n");
    std::exit(2);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint8_t first[4] = {};
  std::memcpy(first, data, size < 4 ? size : 4);
  in_addr address;
  std::memcpy(&address, first, 4);
  if (nimbo::is_multicast(address) != ((first[0] & 0xF0) == 0xE0))
    fail("is_multicast disagrees with 224.0.0.0/4");

  const std::unique_ptr<char[]> name(new char[size + 1]);
  std::memcpy(name.get(), data, size);
  name[size] = '\0';
  const std::size_t length = std::strlen(name.get());
  if (!numeric_looking(name.get(), length) && length > kShortName) return 0;

  in_addr resolved;
  const bool found = nimbo::resolve_ipv4(name.get(), &resolved);
  std::uint32_t quad;
  if (strict_dotted_quad(name.get(), &quad) && (!found || resolved.s_addr != htonl(quad)))
    fail("a dotted quad does not resolve to itself");
  return 0;
}
