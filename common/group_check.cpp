// SPDX-License-Identifier: Apache-2.0
#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "net.h"
#include "report.h"

namespace nimbo {

namespace {

// One lookup with Size bytes of room for the answer (names, aliases and addresses): 0 with the
// address, ERANGE when the answer does not fit, or another nonzero value. Never inlined, so that
// only one such buffer is on the stack at a time.
template <std::size_t Size>
__attribute__((noinline)) int lookup_ipv4(const char* name, in_addr* address) {
  hostent host;
  hostent* result = nullptr;
  char scratch[Size];
  int lookup_error = 0;
  const int status = gethostbyname_r(name, &host, scratch, sizeof scratch, &result, &lookup_error);
  if (status != 0) return status;
  if (result == nullptr || host.h_addrtype != AF_INET || host.h_length != sizeof(in_addr) ||
      host.h_addr_list[0] == nullptr)
    return -1;
  std::memcpy(address, host.h_addr_list[0], sizeof(in_addr));
  return 0;
}

// The name's address, or the end of the process with "<name>: Unknow host".
in_addr resolve_or_exit(const char* name) {
  in_addr address;
  if (!resolve_ipv4(name, &address)) fatal_setup("%s: Unknow host\n", name);
  return address;
}

}  // namespace

bool resolve_ipv4(const char* name, in_addr* address) {
  // A plain dotted quad is its own answer: the lookup would parse it the same way, after first
  // checking the resolver's configuration files for changes.
  if (inet_pton(AF_INET, name, address) == 1) return true;

  // A name with many addresses or aliases needs more room than most: double it up to 64 KiB.
  int status = lookup_ipv4<8192>(name, address);
  if (status == ERANGE) status = lookup_ipv4<16384>(name, address);
  if (status == ERANGE) status = lookup_ipv4<32768>(name, address);
  if (status == ERANGE) status = lookup_ipv4<65536>(name, address);
  return status == 0;
}

bool is_multicast(in_addr address) {
  return (ntohl(address.s_addr) & 0xF0000000u) == 0xE0000000u;
}

in_addr check_group(const char* group) {
  const in_addr address = resolve_or_exit(group);
  if (!is_multicast(address)) fatal_setup("%s: is not  multicast\n", group);
  return address;
}

sockaddr_in resolve_destination(const char* host, std::int32_t port) {
  return ipv4_address(resolve_or_exit(host), port);
}

}  // namespace nimbo
