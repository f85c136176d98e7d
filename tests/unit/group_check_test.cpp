// SPDX-License-Identifier: Apache-2.0
// The group check: which names pass, and the exact report for those that do not.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "child.h"
#include "net.h"

namespace {

using nimbo::test::run_in_child;

struct GroupCase {
  const char* name;
  const char* report;  // nullptr: accepted
};

class GroupCheck : public testing::TestWithParam<GroupCase> {};

TEST_P(GroupCheck, AcceptsExactlyTheMulticastRange) {
  const GroupCase c = GetParam();
  if (c.report == nullptr) {
    in_addr expected;
    ASSERT_EQ(inet_pton(AF_INET, c.name, &expected), 1);
    EXPECT_EQ(nimbo::check_group(c.name).s_addr, expected.s_addr);  // network byte order
    return;
  }
  const auto r = run_in_child([&] { nimbo::check_group(c.name); });
  EXPECT_EQ(r.out, c.report);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, GroupCheck,
    testing::Values(GroupCase{"224.0.0.0", nullptr}, GroupCase{"239.255.255.255", nullptr},
                    GroupCase{"239.1.2.3", nullptr},
                    GroupCase{"223.255.255.255", "223.255.255.255: is not  multicast\n"},
                    GroupCase{"240.0.0.0", "240.0.0.0: is not  multicast\n"},
                    GroupCase{"127.0.0.1", "127.0.0.1: is not  multicast\n"},
                    GroupCase{"localhost", "localhost: is not  multicast\n"},
                    GroupCase{"no-such-group.invalid", "no-such-group.invalid: Unknow host\n"},
                    GroupCase{"", ": Unknow host\n"}));

TEST(ResolveIpv4, FirstAddressInNetworkOrder) {
  in_addr a;
  ASSERT_TRUE(nimbo::resolve_ipv4("127.0.0.1", &a));
  EXPECT_EQ(a.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_FALSE(nimbo::resolve_ipv4("no-such-host.invalid", &a));
}

// Whether or not a name skips the resolver, the answer is the resolver's own.
TEST(ResolveIpv4, AgreesWithTheResolverOnNumericNames) {
  for (const char* name : {"127.0.0.1", "239.255.255.255", "0.0.0.0", "010.0.0.1", "127.1",
                           "0x7f.0.0.1", "1.2.3.4.", "1.2.3.4 5", "256.0.0.1", "1.2.3", " 1.2.3.4"}) {
    hostent host;
    hostent* answer = nullptr;
    char scratch[8192];
    int error = 0;
    gethostbyname_r(name, &host, scratch, sizeof scratch, &answer, &error);
    in_addr a;
    const bool resolved = nimbo::resolve_ipv4(name, &a);
    ASSERT_EQ(resolved, answer != nullptr) << name;
    if (resolved) {
      EXPECT_EQ(std::memcmp(&a, host.h_addr_list[0], sizeof a), 0) << name;
    }
  }
}

// Runs body with /etc/hosts replaced by hosts, in a child with mounts of its own.
nimbo::test::ChildResult with_hosts(const std::string& hosts, void (*body)()) {
  return run_in_child([&] {
    char path[] = "/tmp/nimbo-hosts-XXXXXX";
    const int fd = mkstemp(path);
    const bool ready =
        fd >= 0 && write(fd, hosts.data(), hosts.size()) == static_cast<ssize_t>(hosts.size()) &&
        unshare(CLONE_NEWNS) == 0 &&
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount(path, "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
    unlink(path);
    if (!ready) {
      std::perror("private /etc/hosts");
      return;
    }
    body();
  });
}

// An answer that does not fit the first 8 KiB of room still resolves: here about 24 KiB of aliases.
TEST(ResolveIpv4, AnswerLargerThanEightKiBResolves) {
  std::string hosts = "239.9.8.7 crowded.test";
  for (int k = 0; k < 1000; ++k) hosts += " alias-" + std::to_string(1000 + k) + ".test";
  const auto r = with_hosts(hosts + "\n", [] {
    const in_addr address = nimbo::check_group("crowded.test");
    char text[INET_ADDRSTRLEN];
    std::printf("%s\n", inet_ntop(AF_INET, &address, text, sizeof text));
  });
  EXPECT_EQ(r.out, "239.9.8.7\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

TEST(IsMulticast, TopFourBitsDecide) {
  for (std::uint32_t top = 0; top < 16; ++top) {
    for (std::uint32_t low : {0u, 0x0FFFFFFFu, 0x00ABCDEFu}) {
      const in_addr a{htonl(top << 28 | low)};
      EXPECT_EQ(nimbo::is_multicast(a), top == 0xE) << std::hex << (top << 28 | low);
    }
  }
}

}  // namespace
