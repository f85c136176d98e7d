// SPDX-License-Identifier: Apache-2.0
// The Router Alert insertion, on its own and on real sockets read back from the kernel.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

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

TEST_P(AppendRouterAlert, WritesAtFirstZeroAndRoundsTheLength) {
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

INSTANTIATE_TEST_SUITE_P(
    Cases, AppendRouterAlert,
    testing::Values(
        AppendCase{{}, 0, {0x94, 0x04, 0x00, 0x00}, 4},
        AppendCase{{1, 1, 1, 1}, 4, {1, 1, 1, 1, 0x94, 0x04, 0x00, 0x00}, 8},
        AppendCase{{1, 1, 1}, 3, {1, 1, 1, 0x94, 0x04, 0x00, 0x00}, 8},          // 7 rounds up to 8
        AppendCase{{7, 7, 0, 9}, 8, {7, 7, 0x94, 0x04, 0x00, 0x00}, 12},        // zero at 2 is the end
        AppendCase{Bytes(36, 1), 36, with_alert(Bytes(36, 1)), 40},
        AppendCase{kNops, 40, with_alert(kNops), 44},                           // full: capped
        AppendCase{kNops, 41, with_alert(kNops), 44},
        AppendCase{kNops, 44, with_alert(kNops), 44},                           // failed read
        AppendCase{Bytes(44, 1), 0xFFFFFFFFu, with_alert(kNops), 44}));         // never past 44

TEST(AddRouterAlert, FreshSocketGetsExactlyTheFourBytes) {
  Socket s;
  std::uint8_t buffer[nimbo::kOptionBufferSize];
  nimbo::add_router_alert(s.fd, buffer);
  EXPECT_EQ(s.options(), (Bytes{0x94, 0x04, 0x00, 0x00}));
}

TEST(AddRouterAlert, KeepsOptionsAlreadyThere) {
  Socket s;
  const std::uint8_t nops[] = {1, 1, 1, 1};
  ASSERT_EQ(setsockopt(s.fd, IPPROTO_IP, IP_OPTIONS, nops, sizeof nops), 0);
  std::uint8_t buffer[nimbo::kOptionBufferSize];
  nimbo::add_router_alert(s.fd, buffer);
  EXPECT_EQ(s.options(), (Bytes{1, 1, 1, 1, 0x94, 0x04, 0x00, 0x00}));
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
