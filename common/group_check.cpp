// SPDX-License-Identifier: Apache-2.0
#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>

#include "net.h"
#include "report.h"

namespace nimbo {

bool resolve_ipv4(const char* name, in_addr* address) {
  // A plain dotted quad is its own answer: the lookup would parse it the same way, after first
  // checking the resolver's configuration files for changes.
  if (inet_pton(AF_INET, name, address) == 1) return true;

  hostent host;
  hostent* result = nullptr;
  char scratch[8192];  // room for the answer: names, aliases and addresses
  int lookup_error = 0;
  if (gethostbyname_r(name, &host, scratch, sizeof scratch, &result, &lookup_error) != 0 ||
      result == nullptr)
    return false;
  if (host.h_addrtype != AF_INET || host.h_length != sizeof(in_addr) ||
      host.h_addr_list[0] == nullptr)
    return false;
  std::memcpy(address, host.h_addr_list[0], sizeof(in_addr));
  return true;
}

namespace {

// The name's address, or the end of the process with "<name>: Unknow host".
in_addr resolve_or_exit(const char* name) {
  in_addr address;
  if (!resolve_ipv4(name, &address)) fatal_setup("%s: Unknow host\n", name);
  return address;
}

}  // namespace

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
