// SPDX-License-Identifier: Apache-2.0
// Fuzz target for the Router Alert insertion.
//
// Input: 4 bytes of the length the options read left (little-endian; fewer bytes are zero-padded),
// then up to 44 bytes of the option buffer (zero-padded).
//
// 1. append_router_alert on an exactly-44-byte heap buffer (AddressSanitizer sees any access
//    past it): for a well-formed list of at most 40 bytes with room left, the bytes before its
//    end (End of List, or the length) are kept, 94 04 00 00 follows, End of List pads to a
//    multiple of 4, and no later byte changes; a list that holds Router Alert already comes back
//    as it is; anything else (a failed read, a list that does not parse, no room) gives 44, which
//    the kernel refuses, with the buffer untouched.
// 2. When the buffer begins with a valid list of IP options (NOP, EOL, Timestamp, Record Route,
//    LSRR, SSRR of legal lengths) that leaves 4 bytes of room, the list goes onto a real UDP
//    socket and add_router_alert runs on it: the kernel must then hold the old options followed
//    by 94 04 00 00, zero bytes inside an option (an empty Record Route or Timestamp slot, flags
//    0 of a Timestamp) kept as they are. No datagram is sent.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ip_options.h"
#include "net.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kSize = nimbo::kOptionBufferSize;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "router_alert_fuzz: %s\n", what);
  std::abort();
}

std::size_t round_up4(std::size_t n) { return (n + 3) / 4 * 4; }

void check_append(const std::uint8_t* input, std::size_t size) {
  std::uint32_t length = 0;
  std::memcpy(&length, input, size < 4 ? size : 4);
  const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kSize]());
  if (size > 4) std::memcpy(buffer.get(), input + 4, size - 4 < kSize ? size - 4 : kSize);
  std::uint8_t before[kSize];
  std::memcpy(before, buffer.get(), kSize);

  const socklen_t got =
      nimbo::append_router_alert(*reinterpret_cast<std::uint8_t(*)[kSize]>(buffer.get()), length);

  const nimbo::Ipv4OptionList list =
      length <= 40 ? nimbo::ipv4_option_list(before, length) : nimbo::Ipv4OptionList{false, 0, 0};
  const bool room = list.well_formed && list.end + 4 <= 40;
  if (list.well_formed && list.alert != nimbo::kIpv4NoOption) {
    if (got != length || std::memcmp(buffer.get(), before, kSize) != 0) fail("changed a list with Router Alert");
    return;
  }
  if (!room) {
    if (got != kSize) fail("no 44 for a list it cannot extend");
    if (std::memcmp(buffer.get(), before, kSize) != 0) fail("changed a list it cannot extend");
    return;
  }
  if (got != round_up4(list.end + 4)) fail("wrong option length");
  if (std::memcmp(buffer.get(), before, list.end) != 0) fail("changed a byte of the old options");
  if (std::memcmp(buffer.get() + list.end, nimbo::kRouterAlert, 4) != 0) fail("no Router Alert after the options");
  for (std::size_t i = list.end + 4; i < got; ++i)
    if (buffer[i] != 0) fail("padding is not End of List");
  if (std::memcmp(buffer.get() + got, before + got, kSize - got) != 0) fail("changed a byte past the length");
}

// The length of the valid option list at the start of the buffer, or 0 when it is none.
std::size_t option_list(const std::uint8_t* b) {
  std::size_t at = 0;
  bool source_route = false;
  while (at < kSize) {
    const std::uint8_t type = b[at];
    if (type == 0x00) return at + 1;  // End of Option List
    if (type == 0x01) {               // No Operation
      ++at;
      continue;
    }
    if (at + 3 >= kSize) return 0;
    const std::uint8_t length = b[at + 1], pointer = b[at + 2];
    switch (type) {
      case 0x07:  // Record Route: 3 + 4n bytes, pointer at a slot or just past the last
        if (length < 7 || (length - 3) % 4 != 0 || pointer < 4 || (pointer - 4) % 4 != 0 ||
            pointer > length + 1)
          return 0;
        break;
      case 0x44: {  // Timestamp: flags 0 (stamps only), 1 (with addresses), 3 (prespecified)
        const int flag = b[at + 3] & 0x0F;
        const int slot = flag == 0 ? 4 : 8;
        if ((flag != 0 && flag != 1 && flag != 3) || length < 4 + slot ||
            (length - 4) % slot != 0 || pointer < 5 || (pointer - 5) % slot != 0 ||
            pointer > length + 1)
          return 0;
        break;
      }
      case 0x83:  // Loose Source and Record Route
      case 0x89:  // Strict Source and Record Route: a socket's list starts at its first hop
        if (source_route || length < 7 || (length - 3) % 4 != 0 || pointer != 4) return 0;
        source_route = true;
        break;
      default:
        return 0;
    }
    at += length;
  }
  return 0;
}

// Where the options in b end: at their End of Option List or at the end of b.
std::size_t options_end(const Bytes& b) {
  std::size_t at = 0;
  while (at < b.size() && b[at] != 0x00) {
    if (b[at] == 0x01) {
      ++at;
      continue;
    }
    if (at + 1 >= b.size() || b[at + 1] < 2) return b.size();
    at += b[at + 1];
  }
  return at < b.size() ? at : b.size();
}

Bytes installed(int fd) {
  std::uint8_t b[kSize] = {};
  socklen_t length = sizeof b;
  if (getsockopt(fd, IPPROTO_IP, IP_OPTIONS, b, &length) != 0) fail("getsockopt(IP_OPTIONS)");
  return Bytes(b, b + length);
}

void check_on_socket(const std::uint8_t* input, std::size_t size) {
  if (size <= 4) return;
  std::uint8_t b[kSize] = {};
  std::memcpy(b, input + 4, size - 4 < kSize ? size - 4 : kSize);
  const std::size_t length = option_list(b);
  if (length == 0) return;

  static const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) fail("socket");
  if (setsockopt(fd, IPPROTO_IP, IP_OPTIONS, b, static_cast<socklen_t>(length)) != 0)
    return;  // refused
  const Bytes old = installed(fd);
  const std::size_t end = options_end(old);
  for (std::size_t i = end; i < old.size(); ++i)
    if (old[i] != 0) fail("the kernel left bytes after the End of Option List");
  if (end + 4 > nimbo::kOptionSpaceMax) return;  // no room: the process would end

  std::uint8_t scratch[kSize];
  nimbo::add_router_alert(fd, scratch);
  Bytes want(old.begin(), old.begin() + static_cast<std::ptrdiff_t>(end));
  want.insert(want.end(), nimbo::kRouterAlert, nimbo::kRouterAlert + 4);
  want.resize(round_up4(end + 4), 0);
  if (installed(fd) != want)
    fail("the kernel does not hold the old options followed by Router Alert");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_append(data, size);
  check_on_socket(data, size);
  return 0;
}
