// SPDX-License-Identifier: Apache-2.0
// The one walk over IPv4 options: where a list ends, where Router Alert is, and which options a
// later fragment carries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_name.h"
#include "ip_options.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kNo = nimbo::kIpv4NoOption;

struct WalkCase {
  const char* name;
  Bytes options;
  bool well_formed;
  std::size_t end;
  std::size_t alert;
  Bytes copied;  // what a later fragment carries
};

class Ipv4Walk : public testing::TestWithParam<WalkCase> {};

TEST_P(Ipv4Walk, FindsTheEndTheAlertAndTheCopiedOptions) {
  const WalkCase& c = GetParam();
  const nimbo::Ipv4OptionList list = nimbo::ipv4_option_list(c.options.data(), c.options.size());
  EXPECT_EQ(list.well_formed, c.well_formed);
  if (!list.well_formed) return;
  EXPECT_EQ(list.end, c.end);
  EXPECT_EQ(list.alert, c.alert);
  std::uint8_t copied[nimbo::kIpv4OptionsMax];
  const std::size_t length = nimbo::ipv4_copied_options(c.options.data(), c.options.size(), copied);
  EXPECT_EQ(Bytes(copied, copied + length), c.copied);
}

const Bytes kAlert = {0x94, 0x04, 0x00, 0x00};
const Bytes kLooseRoute = {0x83, 0x07, 0x04, 198, 18, 2, 2};

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Ipv4Walk,
    testing::Values(
        WalkCase{"none", {}, true, 0, kNo, {}},
        WalkCase{"alert", kAlert, true, 4, 0, kAlert},
        WalkCase{"nops are not copied", cat({1}, cat(kAlert, {1, 1, 1})), true, 8, 1, kAlert},
        // The empty slot's zeros are Record Route's data: the list ends after it, at End of List.
        WalkCase{"record route with an empty slot", cat({0x07, 0x07, 0x04, 0, 0, 0, 0}, cat(kAlert, {0})), true, 11,
                 7, kAlert},
        WalkCase{"loose source route is copied", cat(kLooseRoute, {0}), true, 7, kNo, cat(kLooseRoute, {0})},
        WalkCase{"timestamp is not copied", {0x44, 0x08, 0x05, 0x00, 0, 0, 0, 0}, true, 8, kNo, {}},
        WalkCase{"nothing after end of list counts", cat(kAlert, cat({0}, kLooseRoute)), true, 4, 0, kAlert},
        // What the kernel takes aside as Router Alert: length 4 or more, value 0.
        WalkCase{"0x94 of length 6 is router alert", {0x94, 0x06, 0, 0, 0, 0, 0, 0}, true, 6, 0,
                 {0x94, 0x06, 0, 0, 0, 0, 0, 0}},
        WalkCase{"0x94 with value 1 is not", {0x94, 0x04, 0, 1}, true, 4, kNo, {0x94, 0x04, 0, 1}},
        WalkCase{"length past the end", {0x07, 0x09, 0x04, 0, 0, 0, 0, 0}, false, 0, kNo, {}},
        WalkCase{"length below 2", {0x94, 0x01, 0, 0}, false, 0, kNo, {}},
        WalkCase{"type without length", {1, 1, 1, 0x94}, false, 0, kNo, {}}),
    nimbo::test::case_name<WalkCase>);

}  // namespace
