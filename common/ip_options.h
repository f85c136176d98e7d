// SPDX-License-Identifier: Apache-2.0
// Editing the option lists a socket carries: the IPv4 options of IP_OPTIONS and the IPv6
// hop-by-hop header of IPV6_HOPOPTS. Other options are kept byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nimbo {

// IP Router Alert (RFC 2113): copied flag, class 0, option 20; length 4; value 0, "examine the packet".
constexpr std::uint8_t kRouterAlert[4] = {0x94, 0x04, 0x00, 0x00};

// IPv4 options: End of List (0) and No-Operation (1) are single bytes; every other option is
// type, length (counting both), data. Router Alert is type 0x94 with length 4, the only length
// RFC 2113 gives it; a 0x94 of another length is some other option and is left as it is.
constexpr std::size_t kIpv4OptionsMax = 40;

// An IPv6 hop-by-hop header: next header, length in 8-byte units after the first 8, options.
// Pad1 (0) is a single byte; every other option is type, data length, data. The length byte
// could say 2048 bytes, but Linux takes at most 255 units of 8 on a socket (EINVAL above that).
constexpr std::size_t kHopByHopMax = 255 * 8;

// Router Alert in a hop-by-hop header (RFC 2711): type 5, data length 2, a 16-bit value.
constexpr std::uint8_t kIpv6RouterAlertType = 5;

enum class OptionEdit {
  kChanged,    // the list changed: install the new length
  kUnchanged,  // nothing to do
  kMalformed,  // an option runs past the end, or a header's length disagrees with its size
  kNoRoom,     // the result would not fit
};

// Appends Router Alert after the last option unless one is there; the tail is filled with End
// of List up to a multiple of 4. length: the bytes the kernel returned; the new length on kChanged.
OptionEdit ipv4_add_router_alert(std::uint8_t (&options)[kIpv4OptionsMax], std::size_t* length);

// Cuts every Router Alert out of the list; the length shrinks to the next multiple of 4 (0: none).
OptionEdit ipv4_remove_router_alert(std::uint8_t (&options)[kIpv4OptionsMax], std::size_t* length);

// True when a well-formed list holds Router Alert.
bool ipv4_has_router_alert(const std::uint8_t* options, std::size_t length);

// The one walk over an IPv4 option list, which every reader of one uses.
constexpr std::size_t kIpv4NoOption = ~std::size_t{0};
struct Ipv4OptionList {
  bool well_formed;   // every option fits inside the list, each length at least 2
  std::size_t end;    // where End of List is, or the list's length when it has none
  std::size_t alert;  // where the first Router Alert is, or kIpv4NoOption
};
Ipv4OptionList ipv4_option_list(const std::uint8_t* options, std::size_t length);

// The options a fragment after the first carries: those of a well-formed list with the copied
// flag (0x80), in order, padded with End of List to a multiple of 4. Returns their length.
std::size_t ipv4_copied_options(const std::uint8_t* options, std::size_t length,
                                std::uint8_t (&copied)[kIpv4OptionsMax]);

// Both edits leave the padding as Linux's receive path wants it, or it drops the datagram: no
// more than 7 bytes of padding (Pad1 and PadN alike) in a row, PadN filled with zeros. Options
// keep their offset modulo 8, and so any alignment they need; one moves forward by a multiple of
// 8 only where the padding before it would run longer.

// Gives the header Router Alert with this value: in place when it has one, otherwise after its
// last option (aligned to 2), padded to a multiple of 8. length 0 means no header yet.
OptionEdit ipv6_set_router_alert(std::uint8_t (&header)[kHopByHopMax], std::size_t* length,
                                 std::uint16_t value);

// Takes Router Alert out of the header; length becomes 0 when only padding would be left.
OptionEdit ipv6_remove_router_alert(std::uint8_t (&header)[kHopByHopMax], std::size_t* length);

// True, with the value, when a well-formed header holds Router Alert.
bool ipv6_router_alert(const std::uint8_t* header, std::size_t length, std::uint16_t* value);

}  // namespace nimbo
