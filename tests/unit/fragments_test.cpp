// SPDX-License-Identifier: Apache-2.0
// Cutting an IPv4 datagram into fragments, and the IP ID they share.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <thread>
#include <vector>

#include "case_name.h"
#include "datagram.h"
#include "forward_steps.h"
#include "intercepted.h"

namespace {

using nimbo::Fit;
using nimbo::test::Bytes;
using nimbo::test::get16;
using nimbo::test::Ipv4;

using nimbo::test::case_name;

struct FitCase {
  const char* name;
  std::size_t mtu, first_header, later_header, data;
  bool dont_fragment;
  Fit fit;
  std::size_t count, per_fragment;  // for kFragments
};

class FitFragments : public testing::TestWithParam<FitCase> {};

TEST_P(FitFragments, CutsInEightByteUnitsOrNotAtAll) {
  const FitCase& c = GetParam();
  nimbo::FragmentPlan plan{};
  ASSERT_EQ(nimbo::fit_fragments(c.first_header, c.later_header, c.data, c.mtu, c.dont_fragment, &plan), c.fit);
  if (c.fit != Fit::kFragments) return;
  EXPECT_EQ(plan.count, c.count);
  EXPECT_EQ(plan.per_fragment, c.per_fragment);
  EXPECT_EQ(plan.per_fragment % 8, 0u);
  EXPECT_LE(c.first_header + plan.per_fragment, c.mtu);
  EXPECT_GE(plan.count * plan.per_fragment, c.data);
}

// The old tap looped for ever when the MTU left less than 8 bytes behind the header, and sent
// whole datagrams when the MTU was below the header: both rows must be kMtuTooSmall.
INSTANTIATE_TEST_SUITE_P(
    Table, FitFragments,
    testing::Values(FitCase{"fits", 1500, 24, 24, 1476, false, Fit::kWhole, 0, 0},
                    FitCase{"one byte over", 1500, 24, 24, 1477, false, Fit::kFragments, 2, 1472},
                    FitCase{"6000 bytes over 1500", 1500, 24, 24, 6008, false, Fit::kFragments, 5, 1472},
                    FitCase{"576 with 40 bytes of options", 576, 60, 24, 6008, false, Fit::kFragments, 12, 512},
                    FitCase{"DF", 1500, 24, 24, 6008, true, Fit::kDontFragment, 0, 0},
                    FitCase{"exactly 8 bytes of room", 68, 60, 20, 100, false, Fit::kFragments, 13, 8},
                    FitCase{"4 bytes of room", 64, 60, 20, 100, false, Fit::kMtuTooSmall, 0, 0},
                    FitCase{"MTU below the header", 20, 24, 24, 100, false, Fit::kMtuTooSmall, 0, 0}),
    case_name<FitCase>);

struct FragmentCase {
  const char* name;
  Ipv4 datagram;
  std::size_t mtu;
  Bytes later_options;    // what fragments after the first carry
  std::size_t first_offset;  // in 8-byte units
  bool last_more;          // MF on the last fragment
};

class Fragments : public testing::TestWithParam<FragmentCase> {};

TEST_P(Fragments, CarryTheDataInOrderWithTheirOwnHeaders) {
  const FragmentCase& c = GetParam();
  Bytes packet = nimbo::test::datagram(c.datagram);
  nimbo::Intercepted in{};
  ASSERT_TRUE(nimbo::parse_intercepted_ipv4(packet.data(), packet.size(), &in));
  nimbo::Fragments f{};
  ASSERT_EQ(nimbo::plan_fragments(packet.data(), in, c.mtu, &f), Fit::kFragments);
  EXPECT_EQ(f.id, c.datagram.id);
  Bytes data;
  for (std::size_t i = 0; i < f.plan.count; ++i) {
    SCOPED_TRACE(i);
    std::uint8_t header[nimbo::kIpv4HeaderMax];
    std::size_t offset = 0, length = 0;
    const std::size_t header_length = nimbo::fragment_header(packet.data(), in, f, i, header, &offset, &length);
    const Bytes h(header, header + header_length);
    EXPECT_EQ(header_length, static_cast<std::size_t>(h[0] & 0x0F) * 4);
    EXPECT_LE(header_length + length, c.mtu);
    EXPECT_EQ(get16(h, 2), header_length + length);
    EXPECT_EQ(get16(h, 4), c.datagram.id);
    EXPECT_EQ(get16(h, 6) & 0x1FFF, c.first_offset + data.size() / 8);
    const bool last = i + 1 == f.plan.count;
    EXPECT_EQ((get16(h, 6) & 0x2000) != 0, last ? c.last_more : true);
    EXPECT_EQ(get16(h, 10), nimbo::ipv4_header_checksum(header, header_length));
    EXPECT_EQ(Bytes(h.begin() + 12, h.begin() + 20), Bytes(packet.begin() + 12, packet.begin() + 20));
    EXPECT_EQ(Bytes(h.begin() + 20, h.end()), i == 0 ? c.datagram.options : c.later_options);
    data.insert(data.end(), packet.begin() + static_cast<long>(offset),
                packet.begin() + static_cast<long>(offset + length));
  }
  EXPECT_EQ(data, Bytes(packet.begin() + static_cast<long>(in.transport), packet.end()));
}

Ipv4 with(Bytes options, std::size_t payload, std::uint16_t flags = 0) {
  Ipv4 d;
  d.options = std::move(options);
  d.payload = Bytes(payload);
  for (std::size_t i = 0; i < payload; ++i) d.payload[i] = static_cast<std::uint8_t>(i * 7);
  d.flags = flags;
  return d;
}

const Bytes kAlert = nimbo::test::kAlert;

INSTANTIATE_TEST_SUITE_P(
    Table, Fragments,
    testing::Values(
        FragmentCase{"router alert is copied", with(kAlert, 6000), 1500, kAlert, 0, false},
        FragmentCase{"nops and timestamp stay in the first",
                     with({1, 0x94, 4, 0, 0, 0x44, 8, 5, 0, 0, 0, 0, 0, 1, 1, 1}, 3000), 576, {0x94, 4, 0, 0}, 0,
                     false},
        FragmentCase{"copied options padded to 4", with({0x94, 4, 0, 0, 0x83, 7, 4, 1, 2, 3, 4, 0}, 3000), 576,
                     {0x94, 4, 0, 0, 0x83, 7, 4, 1, 2, 3, 4, 0}, 0, false},
        FragmentCase{"a middle fragment stays one", with(kAlert, 3000, 0x2000 | 100), 1000, kAlert, 100, true},
        FragmentCase{"a last fragment stays last", with(kAlert, 3000, 100), 1000, kAlert, 100, false},
        FragmentCase{"exactly 8 bytes each", with({1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                                   1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0x94, 4, 0, 0},
                                                  100),
                     68, kAlert, 0, false}),
    case_name<FragmentCase>);

// The old tap's counter went from 65535 to 0, the ID it meant to replace.
TEST(IpId, NeverZero) {
  const std::pair<std::uint16_t, std::uint16_t> rows[] = {{0, 1}, {1, 2}, {65534, 65535}, {65535, 1}};
  for (const auto& [previous, next] : rows) EXPECT_EQ(nimbo::ip_id_after(previous), next) << previous;
}

TEST(IpId, NeverZeroFromAnyThread) {
  constexpr int kThreads = 4, kEach = 40000;  // together more than 65535: the counter wraps
  std::vector<std::thread> threads;
  std::vector<int> zeros(kThreads, 0);
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&zeros, t] {
      for (int i = 0; i < kEach; ++i)
        if (nimbo::next_ip_id() == 0) ++zeros[static_cast<std::size_t>(t)];
    });
  for (std::thread& t : threads) t.join();
  for (int z : zeros) EXPECT_EQ(z, 0);
}

}  // namespace
