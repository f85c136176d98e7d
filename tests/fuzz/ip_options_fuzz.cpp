// SPDX-License-Identifier: Apache-2.0
// Fuzz target for the option-list edits. The first byte picks IPv4 (even) or IPv6 (odd); the
// rest is the list as the kernel might hand it back, in a buffer exactly as large as the edit's
// (AddressSanitizer sees any access past it). Whatever the input: an edit that changes the list
// leaves a well-formed one of a legal length that holds Router Alert after adding and none after
// removing, and a second add changes nothing. An IPv6 header the edits wrote passes Linux's
// receive check of its padding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ip_options.h"

namespace {

using nimbo::OptionEdit;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "ip_options_fuzz: %s\n", what);
  std::abort();
}

void check_ipv4(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kSize = nimbo::kIpv4OptionsMax;
  const std::unique_ptr<std::uint8_t[]> heap(new std::uint8_t[kSize]());
  auto& options = *reinterpret_cast<std::uint8_t(*)[kSize]>(heap.get());
  std::size_t length = size < kSize ? size : kSize;
  std::memcpy(options, data, length);
  if (nimbo::ipv4_add_router_alert(options, &length) != OptionEdit::kChanged) return;
  if (length > kSize || length % 4 != 0) fail("IPv4: bad length after adding");
  if (!nimbo::ipv4_has_router_alert(options, length)) fail("IPv4: no Router Alert after adding");
  if (nimbo::ipv4_add_router_alert(options, &length) != OptionEdit::kUnchanged) fail("IPv4: second add changed");
  if (nimbo::ipv4_remove_router_alert(options, &length) != OptionEdit::kChanged) fail("IPv4: remove did nothing");
  if (length % 4 != 0 || nimbo::ipv4_has_router_alert(options, length)) fail("IPv4: Router Alert left");
}

// What Linux's receive path asks of a hop-by-hop header's padding, or it drops the datagram: no
// more than 7 bytes of it in a row, counting Pad1 (one byte) and PadN (two and its data) alike,
// and nothing but zeros in PadN's data.
bool linux_takes_padding(const std::uint8_t* header, std::size_t length) {
  std::size_t run = 0;
  for (std::size_t at = 2; at < length;) {
    const std::size_t size = header[at] == 0 ? 1 : 2 + header[at + 1];
    if (header[at] > 1) {
      run = 0;
    } else if ((run += size) > 7) {
      return false;
    }
    for (std::size_t i = 2; header[at] == 1 && i < size; ++i) {
      if (header[at + i] != 0) return false;
    }
    at += size;
  }
  return true;
}

void check_ipv6(const std::uint8_t* data, std::size_t size, std::uint16_t value) {
  constexpr std::size_t kSize = nimbo::kHopByHopMax;
  const std::unique_ptr<std::uint8_t[]> heap(new std::uint8_t[kSize]());
  auto& header = *reinterpret_cast<std::uint8_t(*)[kSize]>(heap.get());
  std::size_t length = size < kSize ? size : kSize;
  std::memcpy(header, data, length);
  const OptionEdit set = nimbo::ipv6_set_router_alert(header, &length, value);
  if (set != OptionEdit::kChanged && set != OptionEdit::kUnchanged) return;
  std::uint16_t seen = 0;
  if (length % 8 != 0 || length > kSize || !nimbo::ipv6_router_alert(header, length, &seen) || seen != value)
    fail("IPv6: no Router Alert with the value after setting");
  if (set == OptionEdit::kChanged && !linux_takes_padding(header, length)) fail("IPv6: Linux drops it after setting");
  if (nimbo::ipv6_set_router_alert(header, &length, value) != OptionEdit::kUnchanged) fail("IPv6: second set changed");
  if (nimbo::ipv6_remove_router_alert(header, &length) != OptionEdit::kChanged) fail("IPv6: remove did nothing");
  if (length % 8 != 0 || nimbo::ipv6_router_alert(header, length, &seen)) fail("IPv6: Router Alert left");
  if (!linux_takes_padding(header, length)) fail("IPv6: Linux drops it after removing");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  if (data[0] % 2 == 0) check_ipv4(data + 3, size - 3);
  else check_ipv6(data + 3, size - 3, static_cast<std::uint16_t>(data[1] << 8 | data[2]));
  return 0;
}
