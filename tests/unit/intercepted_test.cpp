// SPDX-License-Identifier: Apache-2.0
// Laying out an intercepted datagram: every length that came off the wire is checked before it
// is believed. And what forwarding does to one: TTL, checksums, a new payload length.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cctype>
#include <functional>
#include <memory>
#include <string>
#include <tuple>

#include "case_name.h"
#include "datagram.h"
#include "forward_steps.h"
#include "intercepted.h"

namespace {

using nimbo::Intercepted;
using nimbo::test::Bytes;
using nimbo::test::datagram;
using nimbo::test::get16;
using nimbo::test::Ipv4;
using nimbo::test::Ipv6;
using nimbo::test::put16;

using nimbo::test::case_name;

struct ParseCase {
  const char* name;
  Bytes packet;  // exactly what was received
  bool parses;
  bool udp;
  std::size_t length;          // when it parses
  std::size_t payload_length;  // when it parses
  bool fragment;
};

bool parse(const Bytes& packet, Intercepted* in) {
  // A heap copy exactly as long as what was received: AddressSanitizer sees any read past it.
  const std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[packet.size()]);
  std::copy(packet.begin(), packet.end(), copy.get());
  return (packet.size() > 0 && packet[0] >> 4 == 6) ? nimbo::parse_intercepted_ipv6(copy.get(), packet.size(), in)
                                                    : nimbo::parse_intercepted_ipv4(copy.get(), packet.size(), in);
}

class Parse : public testing::TestWithParam<ParseCase> {};

TEST_P(Parse, ChecksEveryLength) {
  const ParseCase& c = GetParam();
  Intercepted in{};
  ASSERT_EQ(parse(c.packet, &in), c.parses);
  if (!c.parses) return;
  EXPECT_EQ(in.udp, c.udp);
  EXPECT_EQ(in.length, c.length);
  EXPECT_EQ(in.payload_length, c.payload_length);
  EXPECT_EQ(in.fragment, c.fragment);
  EXPECT_LE(in.payload + in.payload_length, in.length);
  EXPECT_EQ(in.source_port, c.udp ? 40000 : -1);
}

Bytes edited(Bytes b, const std::function<void(Bytes&)>& edit) {
  edit(b);
  return b;
}

Bytes v4(const std::function<void(Ipv4&)>& edit = [](Ipv4&) {}) {
  Ipv4 d;
  edit(d);
  return datagram(d);
}

Bytes v6(const std::function<void(Ipv6&)>& edit = [](Ipv6&) {}) {
  Ipv6 d;
  edit(d);
  return datagram(d);
}

const std::size_t kV4 = 20 + 4 + 8 + 5;  // header, Router Alert, UDP header, "hello"
const std::size_t kV6 = 40 + 8 + 8 + 5;

INSTANTIATE_TEST_SUITE_P(
    Ipv4Table, Parse,
    testing::Values(
        ParseCase{"udp", v4(), true, true, kV4, 5, false},
        ParseCase{"bytes past the total length are not its own", edited(v4(), [](Bytes& b) { b.resize(b.size() + 7); }),
                  true, true, kV4, 5, false},
        ParseCase{"not udp", v4([](Ipv4& d) { d.protocol = 6; }), true, false, kV4, 13, false},
        ParseCase{"total length past what was received", edited(v4(), [](Bytes& b) { put16(b, 2, b.size() + 1); }),
                  false, false, 0, 0, false},
        ParseCase{"total length inside the header", edited(v4(), [](Bytes& b) { put16(b, 2, 20); }), false, false, 0,
                  0, false},
        ParseCase{"header length past the end", edited(v4(), [](Bytes& b) { b[0] = 0x4F, b.resize(40), put16(b, 2, 40); }),
                  false, false, 0, 0, false},
        ParseCase{"header length below 5", edited(v4(), [](Bytes& b) { b[0] = 0x44; }), false, false, 0, 0, false},
        ParseCase{"shorter than a header", Bytes(19, 0x45), false, false, 0, 0, false},
        ParseCase{"version 6 in an IPv4 header", edited(v4(), [](Bytes& b) { b[0] = 0x66; }), false, false, 0, 0, false},
        ParseCase{"udp length below 8", edited(v4(), [](Bytes& b) { put16(b, 28, 7); }), true, false, kV4, 13, false},
        ParseCase{"udp length past the ip payload", edited(v4(), [](Bytes& b) { put16(b, 28, 14); }), true, false, kV4,
                  13, false},
        ParseCase{"udp length short of the ip payload", edited(v4(), [](Bytes& b) { put16(b, 28, 10); }), true, true,
                  kV4, 2, false},
        ParseCase{"no room for a udp header", v4([](Ipv4& d) { d.payload = {}, d.protocol = 17; }), true, true,
                  kV4 - 5, 0, false},
        ParseCase{"option runs past the header", v4([](Ipv4& d) { d.options = {0x94, 0x04, 0, 0, 0x07, 0x09, 4, 0}; }),
                  false, false, 0, 0, false},
        ParseCase{"no router alert", v4([](Ipv4& d) { d.options = {1, 1, 1, 1}; }), false, false, 0, 0, false},
        ParseCase{"no options", v4([](Ipv4& d) { d.options = {}; }), false, false, 0, 0, false},
        ParseCase{"0x94 of length 6 is router alert", v4([](Ipv4& d) { d.options = {0x94, 6, 0, 0, 0, 0, 0, 0}; }),
                  true, true, kV4 + 4, 5, false},
        ParseCase{"router alert after record route with an empty slot",
                  v4([](Ipv4& d) { d.options = {7, 7, 4, 0, 0, 0, 0, 0x94, 4, 0, 0, 0}; }), true, true, kV4 + 8, 5,
                  false},
        ParseCase{"more fragments", v4([](Ipv4& d) { d.flags = 0x2000; }), true, false, kV4, 13, true},
        ParseCase{"a later fragment", v4([](Ipv4& d) { d.flags = 0x0010; }), true, false, kV4, 13, true},
        ParseCase{"don't fragment is whole", v4([](Ipv4& d) { d.flags = 0x4000; }), true, true, kV4, 5, false},
        ParseCase{"a last fragment ending at 65533", v4([](Ipv4& d) { d.flags = 8190; }), true, false, kV4, 13, true},
        ParseCase{"a fragment ending past 65535", v4([](Ipv4& d) { d.flags = 8191; }), false, false, 0, 0, false}),
    case_name<ParseCase>);

INSTANTIATE_TEST_SUITE_P(
    Ipv6Table, Parse,
    testing::Values(
        ParseCase{"udp", v6(), true, true, kV6, 5, false},
        ParseCase{"bytes past the payload length are not its own", edited(v6(), [](Bytes& b) { b.resize(b.size() + 3); }),
                  true, true, kV6, 5, false},
        ParseCase{"payload length past what was received", edited(v6(), [](Bytes& b) { put16(b, 4, b.size() - 39); }),
                  false, false, 0, 0, false},
        ParseCase{"shorter than a header", edited(v6(), [](Bytes& b) { b.resize(39); }), false, false, 0, 0, false},
        ParseCase{"udp right after the header", edited(v6(), [](Bytes& b) { b[6] = 17; }), false, false, 0, 0, false},
        ParseCase{"hop-by-hop length past the end", edited(v6(), [](Bytes& b) { b[41] = 2; }), false, false, 0, 0, false},
        ParseCase{"no room for the hop-by-hop header", edited(v6(), [](Bytes& b) { b.resize(44), put16(b, 4, 4); }),
                  false, false, 0, 0, false},
        ParseCase{"option runs past the hop-by-hop header", v6([](Ipv6& d) { d.hop_by_hop = {17, 0, 5, 2, 0, 1, 1, 1}; }),
                  false, false, 0, 0, false},
        ParseCase{"no router alert", v6([](Ipv6& d) { d.hop_by_hop = {17, 0, 1, 4, 0, 0, 0, 0}; }), false, false, 0, 0,
                  false},
        ParseCase{"fragment header after hop-by-hop", v6([](Ipv6& d) { d.next_header = 44; }), true, false, kV6, 13,
                  true},
        ParseCase{"udp length past the payload", edited(v6(), [](Bytes& b) { put16(b, 52, 14); }), true, false, kV6, 13,
                  false},
        ParseCase{"version 4 in an IPv6 header", edited(v6(), [](Bytes& b) { b[0] = 0x40; }), false, false, 0, 0,
                  false}),
    case_name<ParseCase>);

TEST(Parse, ReadsTheFields) {
  Intercepted in{};
  ASSERT_TRUE(parse(v4([](Ipv4& d) { d.ttl = 7, d.options = {1, 0x94, 4, 0, 0, 0, 0, 0}; }), &in));
  EXPECT_EQ(std::make_tuple(in.family, in.options, in.options_length, in.transport, in.payload, in.ttl),
            std::make_tuple(AF_INET, std::size_t{20}, std::size_t{8}, std::size_t{28}, std::size_t{36}, 7));
  ASSERT_TRUE(parse(v6([](Ipv6& d) { d.hop_limit = 9, d.hop_by_hop = {17, 0, 5, 2, 0xAB, 0xCD, 1, 0}; }), &in));
  EXPECT_EQ(std::make_tuple(in.family, in.options_length, in.transport, in.protocol, in.ttl, in.router_alert),
            std::make_tuple(AF_INET6, std::size_t{8}, std::size_t{48}, 17, 9, 0xABCD));
}

struct ResizeCase {
  const char* name;
  Bytes packet;
  std::size_t payload_length;
  bool resized;
};

class Resize : public testing::TestWithParam<ResizeCase> {};

TEST_P(Resize, RewritesBothLengths) {
  const ResizeCase& c = GetParam();
  Bytes b = c.packet;
  Intercepted in{};
  ASSERT_TRUE(parse(b, &in));
  b.resize(in.payload + c.payload_length + 8, 0xEE);
  ASSERT_EQ(nimbo::resize_udp_payload(b.data(), &in, c.payload_length), c.resized);
  if (!c.resized) return;
  EXPECT_EQ(in.payload_length, c.payload_length);
  EXPECT_EQ(in.length, in.payload + c.payload_length);
  Intercepted again{};
  ASSERT_TRUE(parse(b, &again));  // the lengths written agree with each other
  EXPECT_TRUE(again.udp);
  EXPECT_EQ(again.length, in.length);
  EXPECT_EQ(again.payload_length, c.payload_length);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Resize,
    testing::Values(ResizeCase{"ipv4 longer", v4(), 1000, true}, ResizeCase{"ipv4 shorter", v4(), 1, true},
                    ResizeCase{"ipv4 to the limit", v4(), 65535 - 20 - 4 - 8, true},
                    ResizeCase{"ipv4 past the limit", v4(), 65535 - 20 - 4 - 8 + 1, false},
                    ResizeCase{"ipv4 trailing bytes dropped", edited(v4(), [](Bytes& b) { put16(b, 28, 10); }), 3, true},
                    ResizeCase{"not udp", v4([](Ipv4& d) { d.protocol = 6; }), 10, false},
                    ResizeCase{"ipv6 to the limit", v6(), 65535 - 8 - 8, true},
                    ResizeCase{"ipv6 past the limit", v6(), 65535 - 8 - 8 + 1, false}),
    case_name<ResizeCase>);

// Checksums against values computed elsewhere (the header is RFC 1071's usual example).
TEST(Checksum, Ipv4HeaderOfAKnownDatagram) {
  const Bytes header = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                        0xFF, 0xFF, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
  EXPECT_EQ(nimbo::ipv4_header_checksum(header.data(), header.size()), 0xb861);
}

struct UdpChecksumCase {
  const char* name;
  Bytes packet;
  std::uint16_t checksum;
};

class UdpChecksum : public testing::TestWithParam<UdpChecksumCase> {};

TEST_P(UdpChecksum, MatchesAKnownDatagram) {
  const UdpChecksumCase& c = GetParam();
  Intercepted in{};
  ASSERT_TRUE(parse(c.packet, &in));
  EXPECT_EQ(nimbo::udp_checksum(c.packet.data(), in), c.checksum);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UdpChecksum,
    testing::Values(UdpChecksumCase{"ipv4 odd length", v4(), 0x7928},
                    UdpChecksumCase{"ipv6 odd length", v6(), 0xacdc},
                    // The last word makes the sum come to 0xFFFF, its complement 0: sent as 0xFFFF.
                    UdpChecksumCase{"zero is sent as ffff", v4([](Ipv4& d) { d.payload = {'h', 'e', 'l', 'l', 0xe8, 0x26}; }),
                                    0xFFFF}),
    case_name<UdpChecksumCase>);

}  // namespace
