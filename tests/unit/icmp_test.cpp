// SPDX-License-Identifier: Apache-2.0
// The ICMP error a router answers a datagram with, which datagrams get none, and how often.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "case_name.h"
#include "datagram.h"
#include "forward_steps.h"
#include "icmp_error.h"
#include "icmp_rate.h"

namespace {

using nimbo::Answer;
using nimbo::test::Bytes;

struct ErrorCase {
  const char* name;
  const char* source;
  const char* destination;
  int protocol;              // IPv4 protocol or IPv6 next header; the UDP builder's ports give its first bytes
  std::uint16_t ports[2];    // ICMP: type << 8; IPv6 fragment header: next header << 8, offset and M
  std::uint16_t flags;       // IPv4 DF, MF, offset
  std::size_t payload;
  Answer answer;
  int mtu;
  int type, code;  // -1: none may go
  std::uint32_t rest;
  std::size_t quoted;
};

class IcmpError : public testing::TestWithParam<ErrorCase> {};

TEST_P(IcmpError, AnswersAsLinuxForwardingDoes) {
  const ErrorCase& c = GetParam();
  const bool ipv6 = std::strchr(c.source, ':') != nullptr;
  Bytes packet;
  if (ipv6) {
    nimbo::test::Ipv6 d;
    inet_pton(AF_INET6, c.source, d.source);
    inet_pton(AF_INET6, c.destination, d.destination);
    d.next_header = c.protocol;
    d.source_port = c.ports[0];
    d.destination_port = c.ports[1];
    d.payload = Bytes(c.payload, 7);
    packet = nimbo::test::datagram(d);
  } else {
    nimbo::test::Ipv4 d;
    inet_pton(AF_INET, c.source, d.source);
    inet_pton(AF_INET, c.destination, d.destination);
    d.protocol = static_cast<std::uint8_t>(c.protocol);
    d.source_port = c.ports[0];
    d.destination_port = c.ports[1];
    d.flags = c.flags;
    d.payload = Bytes(c.payload, 7);
    packet = nimbo::test::datagram(d);
  }
  nimbo::Intercepted in{};
  ASSERT_TRUE(ipv6 ? nimbo::parse_intercepted_ipv6(packet.data(), packet.size(), &in)
                   : nimbo::parse_intercepted_ipv4(packet.data(), packet.size(), &in));
  nimbo::IcmpError e{};
  ASSERT_EQ(nimbo::build_icmp_error(packet.data(), in, c.answer, c.mtu, &e), c.type >= 0);
  if (c.type < 0) return;
  EXPECT_EQ(e.header[0], c.type);
  EXPECT_EQ(e.header[1], c.code);
  EXPECT_EQ(static_cast<std::uint32_t>(e.header[4] << 24 | e.header[5] << 16 | e.header[6] << 8 | e.header[7]), c.rest);
  EXPECT_EQ(e.quoted, c.quoted);
  if (!ipv6) {
    EXPECT_EQ(nimbo::internet_checksum(e.header, 8, packet.data(), e.quoted), 0);
  }
}

constexpr const char* kFrom4 = "198.18.1.2";
constexpr const char* kTo4 = "198.18.2.2";
constexpr const char* kFrom6 = "2001:db8::1";
constexpr const char* kTo6 = "2001:db8::2";

INSTANTIATE_TEST_SUITE_P(
    Table, IcmpError,
    testing::Values(
        ErrorCase{"ipv4 time exceeded quotes it whole", kFrom4, kTo4, 17, {40000, 6000}, 0, 100, Answer::kTimeExceeded, 0, 11, 0, 0, 132},
        ErrorCase{"ipv4 too big quotes up to 576 in all", kFrom4, kTo4, 17, {40000, 6000}, 0x4000, 1400, Answer::kTooBig, 1400, 3, 4, 1400, 548},
        ErrorCase{"ipv4 no route", kFrom4, kTo4, 17, {40000, 6000}, 0, 100, Answer::kNetUnreachable, 0, 3, 0, 0, 132},
        ErrorCase{"ipv4 unreachable route", kFrom4, kTo4, 17, {40000, 6000}, 0, 100, Answer::kHostUnreachable, 0, 3, 1, 0, 132},
        ErrorCase{"ipv4 knows no scope", kFrom4, kTo4, 17, {40000, 6000}, 0, 100, Answer::kBeyondScope, 0, -1, 0, 0, 0},
        ErrorCase{"ipv4 about an icmp error", kFrom4, kTo4, 1, {0x0300, 0}, 0, 100, Answer::kTimeExceeded, 0, -1, 0, 0, 0},
        ErrorCase{"ipv4 about an echo request", kFrom4, kTo4, 1, {0x0800, 0}, 0, 100, Answer::kTimeExceeded, 0, 11, 0, 0, 132},
        ErrorCase{"ipv4 first fragment", kFrom4, kTo4, 17, {40000, 6000}, 0x2000, 100, Answer::kTimeExceeded, 0, 11, 0, 0, 132},
        ErrorCase{"ipv4 later fragment", kFrom4, kTo4, 17, {40000, 6000}, 0x0001, 100, Answer::kTimeExceeded, 0, -1, 0, 0, 0},
        ErrorCase{"ipv4 to a group", kFrom4, "239.1.2.3", 17, {40000, 6000}, 0x4000, 1400, Answer::kTooBig, 1400, -1, 0, 0, 0},
        ErrorCase{"ipv4 to broadcast", kFrom4, "255.255.255.255", 17, {40000, 6000}, 0, 100, Answer::kTimeExceeded, 0, -1, 0, 0, 0},
        ErrorCase{"ipv4 from 0.0.0.0", "0.0.0.0", kTo4, 17, {40000, 6000}, 0, 100, Answer::kTimeExceeded, 0, -1, 0, 0, 0},
        ErrorCase{"ipv4 from loopback", "127.0.0.1", kTo4, 17, {40000, 6000}, 0, 100, Answer::kTimeExceeded, 0, -1, 0, 0, 0},
        ErrorCase{"ipv4 from 240/4", "240.0.0.1", kTo4, 17, {40000, 6000}, 0, 100, Answer::kTimeExceeded, 0, -1, 0, 0, 0},
        ErrorCase{"ipv6 hop limit", kFrom6, kTo6, 17, {40000, 6000}, 0, 100, Answer::kTimeExceeded, 0, 3, 0, 0, 156},
        ErrorCase{"ipv6 too big quotes up to 1280", kFrom6, kTo6, 17, {40000, 6000}, 0, 1400, Answer::kTooBig, 1400, 2, 0, 1400, 1232},
        ErrorCase{"ipv6 too big says at least 1280", kFrom6, kTo6, 17, {40000, 6000}, 0, 1400, Answer::kTooBig, 1000, 2, 0, 1280, 1232},
        ErrorCase{"ipv6 too big to a group", kFrom6, "ff15::1", 17, {40000, 6000}, 0, 1400, Answer::kTooBig, 1400, 2, 0, 1400, 1232},
        ErrorCase{"ipv6 hop limit to a group", kFrom6, "ff15::1", 17, {40000, 6000}, 0, 100, Answer::kTimeExceeded, 0, -1, 0, 0, 0},
        ErrorCase{"ipv6 beyond scope", "fe80::2", kTo6, 17, {40000, 6000}, 0, 100, Answer::kBeyondScope, 0, 1, 2, 0, 156},
        ErrorCase{"ipv6 no route", kFrom6, kTo6, 17, {40000, 6000}, 0, 100, Answer::kNetUnreachable, 0, 1, 0, 0, 156},
        ErrorCase{"ipv6 about an icmpv6 error", kFrom6, kTo6, 58, {0x0100, 0}, 0, 100, Answer::kTimeExceeded, 0, -1, 0, 0, 0},
        ErrorCase{"ipv6 about an echo request", kFrom6, kTo6, 58, {0x8000, 0}, 0, 100, Answer::kTimeExceeded, 0, 3, 0, 0, 156},
        ErrorCase{"ipv6 first fragment", kFrom6, kTo6, 44, {0x1100, 0x0001}, 0, 100, Answer::kTimeExceeded, 0, 3, 0, 0, 156},
        ErrorCase{"ipv6 later fragment", kFrom6, kTo6, 44, {0x1100, 0x0008}, 0, 100, Answer::kTimeExceeded, 0, -1, 0, 0, 0},
        ErrorCase{"ipv6 icmpv6 error behind a first fragment", kFrom6, kTo6, 44, {0x3a00, 0x0001}, 0, 100, Answer::kTimeExceeded, 0, -1, 0, 0, 0},
        ErrorCase{"ipv6 from ::", "::", kTo6, 17, {40000, 6000}, 0, 100, Answer::kTimeExceeded, 0, -1, 0, 0, 0},
        ErrorCase{"ipv6 from loopback", "::1", kTo6, 17, {40000, 6000}, 0, 100, Answer::kTimeExceeded, 0, -1, 0, 0, 0},
        ErrorCase{"ipv6 from a group", "ff02::1", kTo6, 17, {40000, 6000}, 0, 100, Answer::kTimeExceeded, 0, -1, 0, 0, 0}),
    nimbo::test::case_name<ErrorCase>);

struct RateCase {
  const char* name;
  int family, type, code;
  int interval_ms, per_second, burst;
  int sends, hosts, step_ms;
  int allowed;
};

class IcmpRate : public testing::TestWithParam<RateCase> {};

TEST_P(IcmpRate, LimitsAsLinuxDoes) {
  const RateCase& c = GetParam();
  nimbo::IcmpLimits limits = nimbo::default_icmp_limits();
  limits.ipv4_interval_ms = limits.ipv6_interval_ms = c.interval_ms;
  limits.per_second = c.per_second;
  limits.burst = c.burst;
  static nimbo::IcmpRateState state;
  state = {};
  int allowed = 0;
  for (int i = 0; i < c.sends; ++i) {
    std::uint8_t host[16] = {198, 18, static_cast<std::uint8_t>(i % c.hosts >> 8), static_cast<std::uint8_t>(i % c.hosts)};
    allowed += nimbo::icmp_rate_allow(&state, limits, c.family, host, c.type, c.code, 1000 + i * c.step_ms) ? 1 : 0;
  }
  EXPECT_EQ(allowed, c.allowed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IcmpRate,
    testing::Values(RateCase{"six to one host at once", AF_INET, 11, 0, 1000, 1000, 50, 20, 1, 0, 6},
                    RateCase{"then one an interval", AF_INET, 11, 0, 1000, 1000, 50, 20, 1, 250, 10},
                    RateCase{"fragmentation needed unlimited", AF_INET, 3, 4, 1000, 1000, 50, 100, 1, 0, 100},
                    RateCase{"a type outside the mask unlimited", AF_INET, 5, 0, 1000, 1000, 50, 100, 1, 0, 100},
                    RateCase{"no interval leaves the host's burst", AF_INET, 3, 1, 0, 1000, 50, 100, 1, 0, 50},
                    RateCase{"the host's burst over many hosts", AF_INET, 11, 0, 1000, 1000, 50, 200, 200, 0, 50},
                    RateCase{"refilled per second", AF_INET, 11, 0, 1000, 1000, 50, 200, 200, 10, 200},
                    RateCase{"ipv6 too big unlimited by default", AF_INET6, 2, 0, 100, 1000, 50, 100, 1, 0, 100},
                    RateCase{"ipv6 time exceeded", AF_INET6, 3, 0, 100, 1000, 50, 20, 1, 10, 7}),
    nimbo::test::case_name<RateCase>);

TEST(IcmpTypes, ReadAsTheRatemaskSysctlWritesThem) {
  std::uint8_t types[32] = {};
  ASSERT_TRUE(nimbo::parse_icmp_types("0-1,3-127\n", types));
  EXPECT_EQ(types[0], 0xFB);
  EXPECT_EQ(types[15], 0xFF);
  EXPECT_EQ(types[16], 0);
  for (const char* wrong : {"1-", "3-1", "256", "1,,2", "1,", "x"}) EXPECT_FALSE(nimbo::parse_icmp_types(wrong, types)) << wrong;
  EXPECT_EQ(types[0], 0xFB);
}

}  // namespace
