// SPDX-License-Identifier: Apache-2.0
// Editing option lists: other options survive byte for byte, and the kernel takes the result.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ip_options.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using nimbo::OptionEdit;

const Bytes kAlert = {0x94, 0x04, 0x00, 0x00};
const Bytes kRecordRoute = {0x07, 0x07, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};  // one empty slot, End of List

template <typename Case>
std::string case_name(const testing::TestParamInfo<Case>& c) {
  std::string name = c.param.name;
  std::replace(name.begin(), name.end(), ' ', '_');
  return name;
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Ipv4Case {
  const char* name;
  Bytes before;  // as the kernel hands it back
  OptionEdit add;
  Bytes added;
  OptionEdit remove;  // applied to what adding left
  Bytes removed;
};

class Ipv4Options : public testing::TestWithParam<Ipv4Case> {};

Bytes apply(OptionEdit (*edit)(std::uint8_t (&)[nimbo::kIpv4OptionsMax], std::size_t*), const Bytes& in,
            OptionEdit* result) {
  std::uint8_t buffer[nimbo::kIpv4OptionsMax] = {};
  std::copy(in.begin(), in.end(), buffer);
  std::size_t length = in.size();
  *result = edit(buffer, &length);
  return Bytes(buffer, buffer + length);
}

TEST_P(Ipv4Options, AddThenRemoveKeepsTheOthers) {
  const Ipv4Case& c = GetParam();
  OptionEdit edit;
  const Bytes added = apply(nimbo::ipv4_add_router_alert, c.before, &edit);
  EXPECT_EQ(edit, c.add);
  if (edit != OptionEdit::kChanged) return;
  EXPECT_EQ(added, c.added);
  EXPECT_TRUE(nimbo::ipv4_has_router_alert(added.data(), added.size()));
  const Bytes removed = apply(nimbo::ipv4_remove_router_alert, added, &edit);
  EXPECT_EQ(edit, c.remove);
  EXPECT_EQ(removed, c.removed);
  EXPECT_FALSE(nimbo::ipv4_has_router_alert(removed.data(), removed.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Ipv4Options,
    testing::Values(
        Ipv4Case{"none", {}, OptionEdit::kChanged, kAlert, OptionEdit::kChanged, {}},
        Ipv4Case{"nops", {1, 1, 1, 1}, OptionEdit::kChanged, cat({1, 1, 1, 1}, kAlert), OptionEdit::kChanged, {1, 1, 1, 1}},
        // The zero bytes inside Record Route are its own: Router Alert goes after it.
        Ipv4Case{"record route", kRecordRoute, OptionEdit::kChanged,
                 cat({0x07, 0x07, 0x04, 0, 0, 0, 0}, {0x94, 0x04, 0x00, 0x00, 0}), OptionEdit::kChanged, kRecordRoute},
        Ipv4Case{"already there", cat({1, 1, 1, 1}, kAlert), OptionEdit::kUnchanged, {}, OptionEdit::kUnchanged, {}},
        Ipv4Case{"no room", Bytes(37, 1), OptionEdit::kNoRoom, {}, OptionEdit::kUnchanged, {}},
        Ipv4Case{"just fits", Bytes(36, 1), OptionEdit::kChanged, cat(Bytes(36, 1), kAlert), OptionEdit::kChanged, Bytes(36, 1)},
        // Router Alert has length 4; a 0x94 of another length is some other option and stays.
        Ipv4Case{"0x94 of length 6", {0x94, 0x06, 0, 0, 0, 0, 0, 0}, OptionEdit::kChanged,
                 cat({0x94, 0x06, 0, 0, 0, 0}, cat(kAlert, {0, 0})), OptionEdit::kChanged, {0x94, 0x06, 0, 0, 0, 0, 0, 0}},
        Ipv4Case{"runs past the end", {0x07, 0x09, 0x04, 0, 0, 0, 0, 0}, OptionEdit::kMalformed, {}, OptionEdit::kUnchanged, {}},
        Ipv4Case{"length below 2", {0x44, 0x01, 0, 0}, OptionEdit::kMalformed, {}, OptionEdit::kUnchanged, {}}),
    case_name<Ipv4Case>);

TEST(Ipv4Options, RemoveCutsFromTheMiddle) {
  OptionEdit edit;
  const Bytes removed = apply(nimbo::ipv4_remove_router_alert, cat(cat({1}, kAlert), {1, 1, 1}), &edit);
  EXPECT_EQ(edit, OptionEdit::kChanged);
  EXPECT_EQ(removed, (Bytes{1, 1, 1, 1}));
}

struct Ipv6Case {
  const char* name;
  Bytes before;  // a whole hop-by-hop header, or nothing
  std::uint16_t value;
  OptionEdit set;
  Bytes after;
  Bytes removed;  // what removing Router Alert from `after` leaves
};

class HopByHop : public testing::TestWithParam<Ipv6Case> {};

Bytes apply6(const Bytes& in, OptionEdit* result, const std::uint16_t* value) {
  std::uint8_t buffer[nimbo::kHopByHopMax] = {};
  std::copy(in.begin(), in.end(), buffer);
  std::size_t length = in.size();
  *result = value != nullptr ? nimbo::ipv6_set_router_alert(buffer, &length, *value)
                             : nimbo::ipv6_remove_router_alert(buffer, &length);
  return Bytes(buffer, buffer + length);
}

TEST_P(HopByHop, SetThenRemoveKeepsTheOthers) {
  const Ipv6Case& c = GetParam();
  OptionEdit edit;
  const Bytes after = apply6(c.before, &edit, &c.value);
  EXPECT_EQ(edit, c.set);
  if (edit != OptionEdit::kChanged) return;
  EXPECT_EQ(after, c.after);
  std::uint16_t seen = 0;
  EXPECT_TRUE(nimbo::ipv6_router_alert(after.data(), after.size(), &seen));
  EXPECT_EQ(seen, c.value);
  EXPECT_EQ(apply6(after, &edit, nullptr), c.removed);
  EXPECT_EQ(edit, OptionEdit::kChanged);
}

const Bytes kJumbo = {0, 0, 0xC2, 4, 0, 1, 0, 0};  // an option of another kind, 4 bytes of data

INSTANTIATE_TEST_SUITE_P(
    Table, HopByHop,
    testing::Values(
        Ipv6Case{"none", {}, 1, OptionEdit::kChanged, {0, 0, 5, 2, 0, 1, 1, 0}, {}},
        Ipv6Case{"value 65535", {}, 65535, OptionEdit::kChanged, {0, 0, 5, 2, 0xFF, 0xFF, 1, 0}, {}},
        Ipv6Case{"new value in place", {0, 0, 5, 2, 0, 1, 1, 0}, 2, OptionEdit::kChanged, {0, 0, 5, 2, 0, 2, 1, 0}, {}},
        Ipv6Case{"same value", {0, 0, 5, 2, 0, 1, 1, 0}, 1, OptionEdit::kUnchanged, {}, {}},
        Ipv6Case{"after another option", kJumbo, 0, OptionEdit::kChanged,
                 {0, 1, 0xC2, 4, 0, 1, 0, 0, 5, 2, 0, 0, 1, 2, 0, 0}, kJumbo},
        Ipv6Case{"odd end gets Pad1", {0, 0, 0x3E, 1, 7, 1, 0, 0}, 0, OptionEdit::kChanged,
                 {0, 1, 0x3E, 1, 7, 0, 5, 2, 0, 0, 1, 4, 0, 0, 0, 0}, {0, 0, 0x3E, 1, 7, 1, 1, 0}},
        Ipv6Case{"length byte disagrees", {0, 1, 1, 4, 0, 0, 0, 0}, 0, OptionEdit::kMalformed, {}, {}},
        Ipv6Case{"option runs past the end", {0, 0, 0x3E, 9, 0, 0, 0, 0}, 0, OptionEdit::kMalformed, {}, {}}),
    case_name<Ipv6Case>);

// The kernel takes what the edits build and hands it back unchanged.
class KernelTakes : public testing::TestWithParam<Bytes> {};

TEST_P(KernelTakes, Ipv4ListsWithRouterAlert) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  const Bytes& before = GetParam();
  if (!before.empty()) {
    ASSERT_EQ(setsockopt(fd, IPPROTO_IP, IP_OPTIONS, before.data(), static_cast<socklen_t>(before.size())), 0);
  }
  std::uint8_t buffer[nimbo::kIpv4OptionsMax] = {};
  socklen_t length = sizeof buffer;
  ASSERT_EQ(getsockopt(fd, IPPROTO_IP, IP_OPTIONS, buffer, &length), 0);
  std::size_t size = length;
  ASSERT_EQ(nimbo::ipv4_add_router_alert(buffer, &size), OptionEdit::kChanged);
  const Bytes want(buffer, buffer + size);
  ASSERT_EQ(setsockopt(fd, IPPROTO_IP, IP_OPTIONS, buffer, static_cast<socklen_t>(size)), 0);
  std::uint8_t back[nimbo::kIpv4OptionsMax] = {};
  length = sizeof back;
  ASSERT_EQ(getsockopt(fd, IPPROTO_IP, IP_OPTIONS, back, &length), 0);
  EXPECT_EQ(Bytes(back, back + length), want);
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(Table, KernelTakes,
                         testing::Values(Bytes{}, Bytes{1, 1, 1, 1}, kRecordRoute,
                                         Bytes{0x44, 0x0C, 0x05, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}));

}  // namespace
