// SPDX-License-Identifier: Apache-2.0
// The kernel's multicast forwarding cache over rtnetlink: the request, the answer read as
// untrusted bytes, and what this kernel (no multicast routing) says.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "case_name.h"
#include "multicast_route.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kSequence = 7;

void append(Bytes& b, const void* data, std::size_t n) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  b.insert(b.end(), p, p + n);
  b.resize((b.size() + 3) / 4 * 4, 0);
}

Bytes attribute(std::uint16_t type, const Bytes& data) {
  const rtattr a{static_cast<unsigned short>(4 + data.size()), type};
  Bytes b;
  append(b, &a, sizeof a);
  append(b, data.data(), data.size());
  return b;
}

Bytes u32(std::uint32_t v) { return Bytes(reinterpret_cast<std::uint8_t*>(&v), reinterpret_cast<std::uint8_t*>(&v) + 4); }

Bytes nexthops(const std::vector<std::pair<int, int>>& hops) {
  Bytes b;
  for (const auto& [ifindex, threshold] : hops) {
    rtnexthop h{};
    h.rtnh_len = sizeof h;
    h.rtnh_hops = static_cast<unsigned char>(threshold);
    h.rtnh_ifindex = ifindex;
    append(b, &h, sizeof h);
  }
  return b;
}

// One netlink message: header, then the body (a struct rtmsg and attributes, or an error).
Bytes message(std::uint16_t type, const Bytes& body, std::uint32_t sequence = kSequence) {
  nlmsghdr h{};
  h.nlmsg_len = static_cast<std::uint32_t>(sizeof h + body.size());
  h.nlmsg_type = type;
  h.nlmsg_seq = sequence;
  Bytes b;
  append(b, &h, sizeof h);
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

Bytes route(const std::vector<Bytes>& attributes, unsigned char family = RTNL_FAMILY_IPMR) {
  rtmsg r{};
  r.rtm_family = family;
  Bytes b;
  append(b, &r, sizeof r);
  for (const Bytes& a : attributes) b.insert(b.end(), a.begin(), a.end());
  return message(RTM_NEWROUTE, b);
}

Bytes error(int code) {
  nlmsgerr e{};
  e.error = code;
  Bytes b;
  append(b, &e, sizeof e);
  return message(NLMSG_ERROR, b);
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct AnswerCase {
  const char* name;
  Bytes answer;
  bool found;
  int input;
  std::vector<std::pair<int, int>> outputs;
};

class ParseAnswer : public testing::TestWithParam<AnswerCase> {};

TEST_P(ParseAnswer, ReadsOnlyWhatIsThere) {
  const AnswerCase& c = GetParam();
  const std::unique_ptr<std::uint8_t[]> heap(new std::uint8_t[c.answer.size() + 1]);  // + 1: never 0 bytes
  std::copy(c.answer.begin(), c.answer.end(), heap.get());
  nimbo::MulticastRoute r{};
  ASSERT_EQ(nimbo::parse_multicast_route(heap.get(), c.answer.size(), kSequence, &r), c.found);
  if (!c.found) return;
  EXPECT_EQ(r.input_ifindex, c.input);
  std::vector<std::pair<int, int>> outputs;
  for (std::size_t i = 0; i < r.outputs; ++i) outputs.emplace_back(r.output[i].ifindex, r.output[i].threshold);
  EXPECT_EQ(outputs, c.outputs);
}

const Bytes kIif = attribute(RTA_IIF, u32(2));
const Bytes kTwoOut = attribute(RTA_MULTIPATH, nexthops({{3, 1}, {4, 64}}));
Bytes truncated(Bytes b, std::size_t by) {
  b.resize(b.size() - by);
  return b;
}
std::vector<std::pair<int, int>> many(int n) {
  std::vector<std::pair<int, int>> v;
  for (int i = 0; i < n; ++i) v.emplace_back(i + 1, 1);
  return v;
}
Bytes with_length(Bytes b, std::size_t at, std::uint16_t length) {
  std::memcpy(b.data() + at, &length, sizeof length);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseAnswer,
    testing::Values(
        AnswerCase{"entry", route({attribute(RTA_TABLE, u32(253)), kIif, kTwoOut}), true, 2, {{3, 1}, {4, 64}}},
        AnswerCase{"no incoming interface", route({kTwoOut}), true, 0, {{3, 1}, {4, 64}}},
        AnswerCase{"no outputs", route({kIif}), true, 2, {}},
        AnswerCase{"more outputs than a cache holds", route({kIif, attribute(RTA_MULTIPATH, nexthops(many(40)))}), true,
                   2, many(32)},
        AnswerCase{"another message first", cat(message(RTM_NEWROUTE, Bytes(12), 1), route({kIif})), true, 2, {}},
        AnswerCase{"no multicast routing", error(-EOPNOTSUPP), false, 0, {}},
        AnswerCase{"no entry", error(-ENOENT), false, 0, {}},
        AnswerCase{"another request's answer", message(RTM_NEWROUTE, Bytes(12), kSequence + 1), false, 0, {}},
        AnswerCase{"another family", route({kIif}, AF_INET), false, 0, {}},
        AnswerCase{"empty", {}, false, 0, {}},
        AnswerCase{"shorter than a header", Bytes(15), false, 0, {}},
        AnswerCase{"message longer than the answer", truncated(route({kIif}), 4), false, 0, {}},
        AnswerCase{"no room for the route", message(RTM_NEWROUTE, Bytes(8)), false, 0, {}},
        // Offsets: 16 header + 12 rtmsg = 28, the first attribute's length.
        AnswerCase{"attribute longer than the message", with_length(route({kIif}), 28, 9), false, 0, {}},
        AnswerCase{"attribute shorter than its header", with_length(route({kIif}), 28, 3), false, 0, {}},
        AnswerCase{"nexthop longer than its attribute", with_length(route({kTwoOut}), 32, 17), false, 0, {}},
        AnswerCase{"nexthop shorter than its header", with_length(route({kTwoOut}), 32, 7), false, 0, {}}),
    nimbo::test::case_name<AnswerCase>);

// Which entry takes a datagram and where it goes, as ip_mr_input and ip_mr_forward decide (the
// (*,G) and (*,*) rows as measured in user-mode Linux). The datagram arrives on interface 2.
struct OutputsCase {
  const char* name;
  nimbo::MulticastEntries entries;
  int ttl;
  std::vector<int> outputs;
};

class Outputs : public testing::TestWithParam<OutputsCase> {};
TEST_P(Outputs, AsTheKernelForwards) {
  int out[nimbo::kMulticastOutputsMax];
  const std::size_t n = nimbo::multicast_outputs(GetParam().entries, 2, GetParam().ttl, out);
  EXPECT_EQ(std::vector<int>(out, out + n), GetParam().outputs);
}

using Route = nimbo::MulticastRoute;  // incoming interface, outputs, {interface, TTL threshold}...
using Maybe = std::optional<Route>;
const Route kTree{3, 2, {{2, 1}, {3, 1}}};  // (*,*): upstream 3, 2 and 3 on its tree
nimbo::MulticastEntries found(Maybe sg, Maybe any_group = {}, Maybe any_any = {}, bool any_source = false) {
  return {sg.has_value(), any_source, any_group.has_value(), any_any.has_value(),
          sg.value_or(Route{}), any_group.value_or(Route{}), any_any.value_or(Route{})};
}
INSTANTIATE_TEST_SUITE_P(
    Table, Outputs,
    testing::Values(
        OutputsCase{"sg from another interface", found(Route{4, 1, {{3, 1}}}), 8, {}},
        OutputsCase{"sg back where it came", found(Route{2, 1, {{2, 1}}}), 8, {2}},
        OutputsCase{"source 0 takes a starg", found(Route{2, 2, {{2, 1}, {3, 1}}}, {}, {}, true), 8, {3}},
        OutputsCase{"starg not listing it", found({}, Route{2, 1, {{3, 1}}}), 8, {}},
        OutputsCase{"starg from elsewhere", found({}, Route{4, 2, {{2, 1}, {4, 1}}}), 8, {}},
        OutputsCase{"starg on the tree", found({}, Route{2, 1, {{3, 1}}}, kTree), 8, {3}},
        OutputsCase{"starstar to its upstream", found({}, {}, kTree), 8, {3}},
        OutputsCase{"starstar at its threshold", found({}, {}, Route{3, 2, {{2, 1}, {3, 8}}}), 8, {}}),
    nimbo::test::case_name<OutputsCase>);

}  // namespace
