// SPDX-License-Identifier: Apache-2.0
#include "icmp_error.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "bytes.h"
#include "forward_steps.h"

namespace nimbo {

namespace {

constexpr int kIcmp = 1;
constexpr int kIcmpv6 = 58;

std::size_t min(std::size_t a, std::size_t b) { return a < b ? a : b; }

// ICMP messages a router may answer with an error: the informational ones (echo, router
// advertisement and solicitation, timestamp, information and address mask request and reply).
// Errors, and types unknown to it, get none.
bool ipv4_informational(int type) { return type == 0 || (type >= 8 && type <= 10) || (type >= 13 && type <= 18); }

struct Upper {
  int protocol;        // the first header that is not an extension header
  std::size_t offset;  // where it starts
  bool later_fragment;
};

// Walks the IPv6 extension headers after the hop-by-hop header to the upper-layer header. In a
// fragment other than the first, what follows the fragment header is no header.
Upper ipv6_upper_layer(const std::uint8_t* packet, const Intercepted& in) {
  Upper u{in.protocol, in.transport, false};
  for (;;) {
    if (u.offset + 8 > in.length) return u;  // no room for another header: leave it unknown
    const std::uint8_t* at = packet + u.offset;
    std::size_t length = 0;
    switch (u.protocol) {
      case IPPROTO_FRAGMENT:
        if ((read16(at + 2) & 0xFFF8u) != 0) {
          u.later_fragment = true;
          return u;
        }
        length = 8;
        break;
      case IPPROTO_HOPOPTS:
      case IPPROTO_ROUTING:
      case IPPROTO_DSTOPTS:
        length = (at[1] + 1u) * 8u;
        break;
      case IPPROTO_AH:
        length = (at[1] + 2u) * 4u;
        break;
      default:
        return u;
    }
    u.protocol = at[0];
    u.offset += length;
  }
}

bool ipv4_may_answer(const std::uint8_t* packet, const Intercepted& in) {
  if (!single_host(AF_INET, packet + 12) || packet[16] >= 224) return false;
  if ((read16(packet + 6) & 0x1FFFu) != 0) return false;  // a fragment other than the first
  if (in.protocol != kIcmp) return true;
  return in.transport < in.length && ipv4_informational(packet[in.transport]);
}

bool ipv6_may_answer(const std::uint8_t* packet, const Intercepted& in, Answer answer) {
  if (!single_host(AF_INET6, packet + 8)) return false;
  if (packet[24] == 0xFF && answer != Answer::kTooBig) return false;
  const Upper upper = ipv6_upper_layer(packet, in);
  if (upper.later_fragment) return false;
  if (upper.protocol != kIcmpv6) return true;
  return upper.offset < in.length && packet[upper.offset] >= 128;  // errors are types 0 to 127
}

struct TypeCode {
  std::uint8_t type, code;
};

bool type_code(int family, Answer answer, TypeCode* out) {
  const bool v4 = family == AF_INET;
  switch (answer) {
    case Answer::kTimeExceeded:
      *out = v4 ? TypeCode{11, 0} : TypeCode{3, 0};
      return true;
    case Answer::kTooBig:
      *out = v4 ? TypeCode{3, 4} : TypeCode{2, 0};
      return true;
    case Answer::kNetUnreachable:
      *out = v4 ? TypeCode{3, 0} : TypeCode{1, 0};
      return true;
    case Answer::kHostUnreachable:
      *out = v4 ? TypeCode{3, 1} : TypeCode{1, 0};
      return true;
    case Answer::kBeyondScope:
      *out = TypeCode{1, 2};
      return !v4;
    case Answer::kNone:
      break;
  }
  return false;
}

}  // namespace

bool single_host(int family, const std::uint8_t* address) {
  if (family == AF_INET) return address[0] != 0 && address[0] != 127 && address[0] < 224;
  static const std::uint8_t zero[15] = {};
  const bool unspecified_or_loopback = std::memcmp(address, zero, 15) == 0 && address[15] <= 1;
  return !unspecified_or_loopback && address[0] != 0xFF;
}

bool may_answer(const std::uint8_t* packet, const Intercepted& in, Answer answer) {
  return in.family == AF_INET ? ipv4_may_answer(packet, in) : ipv6_may_answer(packet, in, answer);
}

bool build_icmp_error(const std::uint8_t* packet, const Intercepted& in, Answer answer, int mtu, IcmpError* out) {
  TypeCode t{};
  if (!type_code(in.family, answer, &t) || !may_answer(packet, in, answer)) return false;
  std::memset(out->header, 0, sizeof out->header);
  out->header[0] = t.type;
  out->header[1] = t.code;
  if (in.family == AF_INET) {
    out->quoted = min(in.length, kIpv4QuoteMax);
    if (answer == Answer::kTooBig) write16(out->header + 6, static_cast<std::size_t>(mtu) & 0xFFFF);
    write16(out->header + 2, internet_checksum(out->header, kIcmpHeader, packet, out->quoted));
    return true;
  }
  out->quoted = min(in.length, kIpv6QuoteMax);
  if (answer == Answer::kTooBig) {
    const std::size_t value = mtu < 1280 ? 1280 : static_cast<std::size_t>(mtu);
    write16(out->header + 4, value >> 16);
    write16(out->header + 6, value & 0xFFFF);
  }
  return true;
}

}  // namespace nimbo
