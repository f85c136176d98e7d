// SPDX-License-Identifier: Apache-2.0
// Fuzz target for what a tap does to bytes off the wire: the intercepted-datagram parser, then
// the forward preparation without sending (TTL, checksums, a new payload length, the fragments),
// and the reader of the kernel's multicast route answer.
//
// Input: one byte picks what the rest is (0 mod 3: an IPv4 datagram, 1: IPv6, 2: a netlink
// answer), one byte picks an MTU; the rest lies in a heap buffer exactly as long as what was
// "received", so AddressSanitizer sees any read past it. Whatever the input:
//  - a datagram that parses has every part inside its own length, and that inside what came in;
//  - preparing it lowers the TTL by one (nothing at 1 or less) and leaves checksums that check,
//    but a UDP checksum that came whole, or as IPv4's 0, stays as it came;
//  - a resized UDP payload parses again with the new lengths;
//  - its fragments each fit the MTU, carry their share of the data in order, and parse as
//    fragments holding Router Alert (it has the copied flag);
//  - the ICMP error about it, for every answer, quotes no more than the datagram and its family
//    allow, checksums to 0 (IPv4), and is never about a later IPv4 fragment (walking IPv6's
//    extension headers to tell reads nothing outside the datagram);
//  - a multicast route answer never gives more outputs than a cache holds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/socket.h>

#include "bytes.h"
#include "forward_steps.h"
#include "icmp_error.h"
#include "intercepted.h"
#include "multicast_route.h"

namespace {

using nimbo::Intercepted;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "intercepted_fuzz: %s\n", what);
  std::abort();
}

std::unique_ptr<std::uint8_t[]> heap_copy(const std::uint8_t* data, std::size_t size, std::size_t room) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[room == 0 ? 1 : room]());
  std::memcpy(copy.get(), data, size < room ? size : room);
  return copy;
}

bool parse(int family, const std::uint8_t* packet, std::size_t size, Intercepted* in) {
  return family == AF_INET ? nimbo::parse_intercepted_ipv4(packet, size, in)
                           : nimbo::parse_intercepted_ipv6(packet, size, in);
}


void check_layout(const Intercepted& in, std::size_t received) {
  if (in.length > received) fail("length past what was received");
  if (in.options + in.options_length > in.transport || in.transport > in.length) fail("headers out of order");
  if (in.payload < in.transport || in.payload + in.payload_length > in.length) fail("payload outside the datagram");
  if (in.udp && (in.payload != in.transport + 8 || in.fragment)) fail("udp layout");
  if (!in.udp && (in.payload != in.transport || in.source_port != -1)) fail("opaque layout");
  if (in.ttl < 0 || in.ttl > 255) fail("ttl");
}

void check_prepare(const std::uint8_t* packet, const Intercepted& in) {
  const auto copy = heap_copy(packet, in.length, in.length);
  const std::size_t ttl_at = in.family == AF_INET ? 8 : 7;
  if (!nimbo::prepare_forward(copy.get(), in)) {
    if (in.ttl > 1) fail("not prepared with TTL above 1");
    if (std::memcmp(copy.get(), packet, in.length) != 0) fail("changed a datagram it did not prepare");
    return;
  }
  if (copy[ttl_at] != in.ttl - 1) fail("TTL not one lower");
  if (in.family == AF_INET && nimbo::read16(copy.get() + 10) != nimbo::ipv4_header_checksum(copy.get(), in.transport))
    fail("header checksum");
  if (!in.udp) return;
  const std::uint16_t before = nimbo::read16(packet + in.transport + 6);
  const std::uint16_t after = nimbo::read16(copy.get() + in.transport + 6);
  const bool partial = before == nimbo::partial_udp_checksum(packet, in) && !(in.family == AF_INET && before == 0);
  if (after != (partial ? nimbo::udp_checksum(copy.get(), in) : before)) fail("udp checksum");
  if (partial && after == 0) fail("udp checksum 0");
}

void check_resize(const std::uint8_t* packet, const Intercepted& in, std::size_t payload_length) {
  if (!in.udp || in.payload + payload_length > nimbo::kInterceptedMax) return;
  const std::size_t room = in.payload + payload_length;
  const auto copy = heap_copy(packet, in.payload, room);
  Intercepted resized = in;
  if (!nimbo::resize_udp_payload(copy.get(), &resized, payload_length)) {
    if (room - (in.family == AF_INET ? 0 : 40) <= 65535) fail("refused a length within the limit");
    return;
  }
  Intercepted again{};
  if (!parse(in.family, copy.get(), room, &again)) fail("resized datagram does not parse");
  if (!again.udp || again.length != room || again.payload_length != payload_length) fail("resized lengths");
  const bool none = in.family == AF_INET && nimbo::read16(copy.get() + in.transport + 6) == 0;
  if (nimbo::prepare_forward(copy.get(), resized) &&
      nimbo::read16(copy.get() + in.transport + 6) != (none ? 0 : nimbo::udp_checksum(copy.get(), resized)))
    fail("udp checksum of a new payload");
}

void check_fragments(const std::uint8_t* packet, const Intercepted& in, std::size_t mtu) {
  if (in.family != AF_INET) return;
  nimbo::Fragments f{};
  if (nimbo::plan_fragments(packet, in, mtu, &f) != nimbo::Fit::kFragments) return;
  if (f.plan.count > 1000) return;  // tiny MTUs: correct, but slow to check
  std::size_t next = in.transport;
  for (std::size_t i = 0; i < f.plan.count; ++i) {
    std::uint8_t header[nimbo::kIpv4HeaderMax];
    std::size_t offset = 0, length = 0;
    const std::size_t header_length = nimbo::fragment_header(packet, in, f, i, header, &offset, &length);
    if (header_length + length > mtu) fail("fragment longer than the MTU");
    if (offset != next || length == 0) fail("fragment data out of order");
    if ((nimbo::read16(header + 6) & 0x1FFFu) * 8 != f.first_offset + offset - in.transport) fail("fragment offset");
    next += length;
    const std::size_t size = header_length + length;
    const auto fragment = heap_copy(header, header_length, size);
    std::memcpy(fragment.get() + header_length, packet + offset, length);
    Intercepted part{};
    if (!nimbo::parse_intercepted_ipv4(fragment.get(), size, &part) || !part.fragment) fail("fragment does not parse");
  }
  if (next != in.length) fail("fragments do not cover the data");
}

void check_icmp(const std::uint8_t* packet, const Intercepted& in, int mtu) {
  for (int a = 1; a <= static_cast<int>(nimbo::Answer::kBeyondScope); ++a) {
    nimbo::IcmpError e{};
    if (!nimbo::build_icmp_error(packet, in, static_cast<nimbo::Answer>(a), mtu, &e)) continue;
    if (e.quoted > in.length || e.quoted > (in.family == AF_INET ? nimbo::kIpv4QuoteMax : nimbo::kIpv6QuoteMax))
      fail("quotes too much");
    if (in.family == AF_INET && nimbo::internet_checksum(e.header, 8, packet, e.quoted) != 0) fail("icmp checksum");
    if (in.family == AF_INET && (nimbo::read16(packet + 6) & 0x1FFF) != 0) fail("error about a later fragment");
  }
}

void check_route(const std::uint8_t* data, std::size_t size) {
  const auto answer = heap_copy(data, size, size);
  nimbo::MulticastRoute route{};
  if (nimbo::parse_multicast_route(answer.get(), size, 1, &route) && route.outputs > nimbo::kMulticastOutputsMax)
    fail("more outputs than a cache holds");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const int kind = data[0] % 3;
  const std::size_t mtu = 68 + data[1] * 8u;
  data += 2;
  size -= 2;
  if (kind == 2) {
    check_route(data, size);
    return 0;
  }
  const int family = kind == 0 ? AF_INET : AF_INET6;
  const auto packet = heap_copy(data, size, size);
  Intercepted in{};
  if (!parse(family, packet.get(), size, &in)) return 0;
  check_layout(in, size);
  check_icmp(packet.get(), in, static_cast<int>(mtu));
  check_prepare(packet.get(), in);
  check_resize(packet.get(), in, in.payload_length / 2);
  check_resize(packet.get(), in, in.payload_length + 17);
  check_fragments(packet.get(), in, mtu);
  return 0;
}
