// SPDX-License-Identifier: Apache-2.0
#include "ip_options.h"

#include <cstring>

namespace nimbo {

namespace {

constexpr std::size_t kNone = ~std::size_t{0};
constexpr std::uint8_t kIpv4EndOfList = 0;
constexpr std::uint8_t kIpv4NoOperation = 1;
constexpr std::uint8_t kPad1 = 0;
constexpr std::uint8_t kPadN = 1;
constexpr std::size_t kHopByHopFirst = 2;  // options start after next header and length

// A hop-by-hop header's options, as the IPv6 edits need them.
struct Scan {
  bool ok;
  std::size_t end;    // just past the last option that is not padding
  std::size_t alert;  // offset of the first Router Alert, or kNone
};

// The size of the IPv4 option at `at` (before End of List), or 0 when it runs past `length`.
std::size_t ipv4_option_size(const std::uint8_t* o, std::size_t length, std::size_t at) {
  if (o[at] == kIpv4NoOperation) return 1;
  if (at + 1 >= length || o[at + 1] < 2 || o[at + 1] > length - at) return 0;
  return o[at + 1];
}

// Router Alert as Linux's forwarding path takes a datagram aside for it: type 148, a length of at
// least 4 (RFC 2113 has exactly 4), value 0. The one rule, so that the tap never passes over a
// datagram the kernel handed it. The option's size has been checked against the list already.
bool ipv4_is_router_alert(const std::uint8_t* option) {
  return option[0] == kRouterAlert[0] && option[1] >= 4 && option[2] == 0 && option[3] == 0;
}

std::size_t round_up(std::size_t n, std::size_t unit) { return (n + unit - 1) / unit * unit; }

bool header_length_ok(const std::uint8_t* h, std::size_t length) {
  return length >= 8 && length <= kHopByHopMax && length == (h[1] + 1u) * 8u;
}

bool ipv6_is_router_alert(const std::uint8_t* h, std::size_t at) {
  return h[at] == kIpv6RouterAlertType && h[at + 1] == 2;
}

Scan scan_ipv6(const std::uint8_t* h, std::size_t length) {
  Scan s{true, kHopByHopFirst, kNone};
  if (length == 0) return s;
  if (!header_length_ok(h, length)) return {false, 0, kNone};
  std::size_t at = kHopByHopFirst;
  while (at < length) {
    if (h[at] == kPad1) {
      ++at;
      continue;
    }
    if (at + 1 >= length || at + 2 + h[at + 1] > length) return {false, 0, kNone};
    if (ipv6_is_router_alert(h, at) && s.alert == kNone) s.alert = at;
    const std::size_t next = at + 2 + h[at + 1];
    if (h[at] != kPadN) s.end = next;
    at = next;
  }
  return s;
}

// One padding option fills a gap of up to 7 bytes: Pad1 for one byte, PadN of zeros for more.
void ipv6_pad(std::uint8_t (&h)[kHopByHopMax], std::size_t at, std::size_t gap) {
  std::memset(h + at, 0, gap);
  if (gap >= 2) {
    h[at] = kPadN;
    h[at + 1] = static_cast<std::uint8_t>(gap - 2);
  }
}

// Pads from `at` to a multiple of 8 and fills in the header's length byte.
std::size_t pad_hop_by_hop(std::uint8_t (&h)[kHopByHopMax], std::size_t at) {
  const std::size_t total = round_up(at, 8);
  ipv6_pad(h, at, total - at);
  h[1] = static_cast<std::uint8_t>(total / 8 - 1);
  return total;
}

// Copies the options of a well-formed header to `out` in order, without the padding, and without
// Router Alert unless keep_alert. Each goes to the first offset past the one before it that
// matches its old offset modulo 8, so that no gap needs 8 bytes of padding or more; an option
// never moves towards the end. Returns where the last option ends; the length byte is not set.
std::size_t ipv6_lay_out(const std::uint8_t* h, std::size_t length, bool keep_alert,
                         std::uint8_t (&out)[kHopByHopMax]) {
  out[0] = length == 0 ? 0 : h[0];  // with no header yet the kernel fills in the next header
  std::size_t end = kHopByHopFirst;
  for (std::size_t at = kHopByHopFirst; at < length; at += h[at] == kPad1 ? 1 : 2 + h[at + 1]) {
    if (h[at] == kPad1 || h[at] == kPadN || (!keep_alert && ipv6_is_router_alert(h, at))) continue;
    const std::size_t to = end + (at - end) % 8;
    ipv6_pad(out, end, to - end);
    std::memcpy(out + to, h + at, 2 + h[at + 1]);
    end = to + 2 + h[at + 1];
  }
  return end;
}

}  // namespace

OptionEdit ipv4_add_router_alert(std::uint8_t (&options)[kIpv4OptionsMax], std::size_t* length) {
  const Ipv4OptionList s = ipv4_option_list(options, *length);
  if (!s.well_formed) return OptionEdit::kMalformed;
  if (s.alert != kIpv4NoOption) return OptionEdit::kUnchanged;
  if (s.end + sizeof kRouterAlert > kIpv4OptionsMax) return OptionEdit::kNoRoom;
  std::memcpy(options + s.end, kRouterAlert, sizeof kRouterAlert);
  const std::size_t used = s.end + sizeof kRouterAlert;
  *length = round_up(used, 4);
  std::memset(options + used, kIpv4EndOfList, *length - used);
  return OptionEdit::kChanged;
}

OptionEdit ipv4_remove_router_alert(std::uint8_t (&options)[kIpv4OptionsMax], std::size_t* length) {
  Ipv4OptionList s = ipv4_option_list(options, *length);
  if (!s.well_formed) return OptionEdit::kMalformed;
  if (s.alert == kIpv4NoOption) return OptionEdit::kUnchanged;
  while (s.alert != kIpv4NoOption) {
    const std::size_t cut = options[s.alert + 1];
    std::memmove(options + s.alert, options + s.alert + cut, s.end - s.alert - cut);
    s.end -= cut;
    s = ipv4_option_list(options, s.end);
  }
  *length = round_up(s.end, 4);
  std::memset(options + s.end, kIpv4EndOfList, *length - s.end);
  return OptionEdit::kChanged;
}

bool ipv4_has_router_alert(const std::uint8_t* options, std::size_t length) {
  const Ipv4OptionList s = ipv4_option_list(options, length);
  return s.well_formed && s.alert != kIpv4NoOption;
}

Ipv4OptionList ipv4_option_list(const std::uint8_t* options, std::size_t length) {
  Ipv4OptionList list{true, 0, kIpv4NoOption};
  while (list.end < length && options[list.end] != kIpv4EndOfList) {
    const std::size_t size = ipv4_option_size(options, length, list.end);
    if (size == 0) return {false, 0, kIpv4NoOption};
    if (list.alert == kIpv4NoOption && ipv4_is_router_alert(options + list.end)) list.alert = list.end;
    list.end += size;
  }
  return list;
}

std::size_t ipv4_copied_options(const std::uint8_t* options, std::size_t length,
                                std::uint8_t (&copied)[kIpv4OptionsMax]) {
  constexpr std::uint8_t kCopiedFlag = 0x80;
  std::size_t kept = 0;
  for (std::size_t at = 0; at < length && options[at] != kIpv4EndOfList;) {
    const std::size_t size = ipv4_option_size(options, length, at);
    if (size == 0) break;
    if ((options[at] & kCopiedFlag) != 0 && kept + size <= kIpv4OptionsMax) {
      std::memcpy(copied + kept, options + at, size);
      kept += size;
    }
    at += size;
  }
  const std::size_t padded = round_up(kept, 4);
  std::memset(copied + kept, kIpv4EndOfList, padded - kept);
  return padded;
}

OptionEdit ipv6_set_router_alert(std::uint8_t (&header)[kHopByHopMax], std::size_t* length,
                                 std::uint16_t value) {
  const Scan s = scan_ipv6(header, *length);
  if (!s.ok) return OptionEdit::kMalformed;
  const std::uint8_t bytes[4] = {kIpv6RouterAlertType, 2, static_cast<std::uint8_t>(value >> 8),
                                 static_cast<std::uint8_t>(value)};
  if (s.alert != kNone && std::memcmp(header + s.alert, bytes, sizeof bytes) == 0) return OptionEdit::kUnchanged;
  if (s.alert != kNone) std::memcpy(header + s.alert, bytes, sizeof bytes);  // the new value in place
  std::uint8_t out[kHopByHopMax];
  std::size_t end = ipv6_lay_out(header, *length, true, out);
  if (s.alert == kNone) {
    if (end % 2 != 0) out[end++] = kPad1;  // Router Alert wants an even offset
    if (round_up(end + sizeof bytes, 8) > kHopByHopMax) return OptionEdit::kNoRoom;
    std::memcpy(out + end, bytes, sizeof bytes);
    end += sizeof bytes;
  }
  *length = pad_hop_by_hop(out, end);
  std::memcpy(header, out, *length);
  return OptionEdit::kChanged;
}

OptionEdit ipv6_remove_router_alert(std::uint8_t (&header)[kHopByHopMax], std::size_t* length) {
  const Scan s = scan_ipv6(header, *length);
  if (!s.ok) return OptionEdit::kMalformed;
  if (s.alert == kNone) return OptionEdit::kUnchanged;
  std::uint8_t out[kHopByHopMax];
  const std::size_t end = ipv6_lay_out(header, *length, false, out);
  *length = end == kHopByHopFirst ? 0 : pad_hop_by_hop(out, end);
  std::memcpy(header, out, *length);
  return OptionEdit::kChanged;
}

bool ipv6_router_alert(const std::uint8_t* header, std::size_t length, std::uint16_t* value) {
  const Scan s = scan_ipv6(header, length);
  if (!s.ok || s.alert == kNone) return false;
  *value = static_cast<std::uint16_t>(header[s.alert + 2] << 8 | header[s.alert + 3]);
  return true;
}

}  // namespace nimbo
