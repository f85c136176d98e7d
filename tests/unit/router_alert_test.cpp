// SPDX-License-Identifier: Apache-2.0
// The Router Alert insertion, on its own and on real sockets read back from the kernel.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "child.h"
#include "net.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Socket {
  Socket() : fd(socket(AF_INET, SOCK_DGRAM, 0)) {}
  ~Socket() { close(fd); }
  Bytes options() const {
    std::uint8_t b[nimbo::kOptionBufferSize] = {};
    socklen_t n = sizeof b;
    EXPECT_EQ(getsockopt(fd, IPPROTO_IP, IP_OPTIONS, b, &n), 0);
    return Bytes(b, b + n);
  }
  int fd;
};

struct AppendCase {
  Bytes before;       // bytes at the start of the buffer, the rest zero
  socklen_t length;   // what reading the options left in the length
  Bytes after;        // the buffer's first bytes afterwards
  socklen_t install;  // the length handed to the install
};

class AppendRouterAlert : public testing::TestWithParam<AppendCase> {};

TEST_P(AppendRouterAlert, AppendsAfterTheLastOptionAndRoundsTheLength) {
  const AppendCase c = GetParam();
  std::uint8_t buffer[nimbo::kOptionBufferSize] = {};
  std::copy(c.before.begin(), c.before.end(), buffer);
  EXPECT_EQ(nimbo::append_router_alert(buffer, c.length), c.install);
  EXPECT_EQ(Bytes(buffer, buffer + c.after.size()), c.after);
  for (std::size_t i = std::max(c.after.size(), c.before.size()); i < sizeof buffer; ++i)
    EXPECT_EQ(buffer[i], 0) << "byte " << i;
}

const Bytes kNops(40, 0x01);
Bytes with_alert(Bytes b) {
  b.insert(b.end(), {0x94, 0x04, 0x00, 0x00});
  return b;
}
// Record Route with one empty slot: its zero bytes are data, not the end of the list.
const Bytes kRecordRoute = {0x07, 0x07, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};

// 44 is what the kernel refuses: the install fails and the process ends.
INSTANTIATE_TEST_SUITE_P(
    Cases, AppendRouterAlert,
    testing::Values(
        AppendCase{{}, 0, {0x94, 0x04, 0x00, 0x00}, 4},
        AppendCase{{1, 1, 1, 1}, 4, {1, 1, 1, 1, 0x94, 0x04, 0x00, 0x00}, 8},
        AppendCase{{1, 1, 1}, 3, {1, 1, 1, 0x94, 0x04, 0x00, 0x00, 0x00}, 8},  // 7 rounds up to 8
        AppendCase{kRecordRoute, 8, with_alert({0x07, 0x07, 0x04, 0x00, 0x00, 0x00, 0x00}), 12},
        AppendCase{{1, 0, 0, 0, 0, 0, 0, 0}, 8, {1, 0x94, 0x04, 0x00, 0x00, 0, 0, 0}, 8},  // End of List padding
        AppendCase{with_alert({1, 1, 1, 1}), 8, with_alert({1, 1, 1, 1}), 8},  // there already: as it is
        AppendCase{Bytes(36, 1), 36, with_alert(Bytes(36, 1)), 40},
        AppendCase{kNops, 40, kNops, 44},                                      // no room
        AppendCase{{0x44, 0x01, 0, 0}, 4, {0x44, 0x01, 0, 0}, 44},             // does not parse
        AppendCase{kNops, 41, kNops, 44},
        AppendCase{kNops, 44, kNops, 44},                                      // failed read
        AppendCase{Bytes(44, 1), 0xFFFFFFFFu, Bytes(44, 1), 44}));             // never past 44

// What the kernel holds after add_router_alert, given what the socket carried before.
struct KernelCase {
  const char* name;
  Bytes before;
  Bytes after;
};

class AddRouterAlert : public testing::TestWithParam<KernelCase> {};

TEST_P(AddRouterAlert, KernelHoldsTheOldOptionsThenRouterAlert) {
  const KernelCase& c = GetParam();
  Socket s;
  if (!c.before.empty()) {
    ASSERT_EQ(setsockopt(s.fd, IPPROTO_IP, IP_OPTIONS, c.before.data(), static_cast<socklen_t>(c.before.size())), 0);
  }
  std::uint8_t buffer[nimbo::kOptionBufferSize];
  nimbo::add_router_alert(s.fd, buffer);
  EXPECT_EQ(s.options(), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AddRouterAlert,
    testing::Values(KernelCase{"fresh", {}, {0x94, 0x04, 0x00, 0x00}},
                    KernelCase{"nops", {1, 1, 1, 1}, with_alert({1, 1, 1, 1})},
                    KernelCase{"record_route_empty_slot", {0x07, 0x07, 0x04, 0, 0, 0, 0},
                               Bytes{0x07, 0x07, 0x04, 0, 0, 0, 0, 0x94, 0x04, 0x00, 0x00, 0x00}},
                    KernelCase{"twice_is_once", {0x94, 0x04, 0x00, 0x00}, {0x94, 0x04, 0x00, 0x00}}),
    [](const testing::TestParamInfo<KernelCase>& c) { return std::string(c.param.name); });

TEST(AddRouterAlert, NoRoomEndsTheProcess) {
  const auto r = nimbo::test::run_in_child([] {
    Socket s;
    const Bytes nops(40, 1);
    setsockopt(s.fd, IPPROTO_IP, IP_OPTIONS, nops.data(), static_cast<socklen_t>(nops.size()));
    std::uint8_t buffer[nimbo::kOptionBufferSize];
    nimbo::add_router_alert(s.fd, buffer);
  });
  EXPECT_EQ(r.out, "cannot set bit Router Alert\n");
  EXPECT_EQ(r.status, 1);
}

TEST(AddRouterAlert, BadDescriptorEndsTheProcess) {
  const auto r = nimbo::test::run_in_child([] {
    std::uint8_t buffer[nimbo::kOptionBufferSize];
    nimbo::add_router_alert(-1, buffer);
  });
  EXPECT_EQ(r.out, "cannot set bit Router Alert\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 1);
}

}  // namespace
