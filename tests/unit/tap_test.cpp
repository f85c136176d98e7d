// SPDX-License-Identifier: Apache-2.0
// The tap's sockets on real sockets: what they refuse without CAP_NET_RAW, that nothing delivered
// to this host reaches them, and how receiving passes over what it must not hand over. Timeouts,
// waking and drops are proven end to end by RouterAlertTapTest.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "receiver.h"
#include "tap_socket.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using nimbo::TapSockets;
using nimbo::Wait;

int open_descriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

// CAP_NET_RAW out of this thread's effective set while it lives.
class WithoutNetRaw {
 public:
  WithoutNetRaw() {
    syscall(SYS_capget, &header_, saved_);
    __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
    lowered[0].effective &= ~(1u << CAP_NET_RAW);
    EXPECT_EQ(syscall(SYS_capset, &header_, lowered), 0);
  }
  ~WithoutNetRaw() { syscall(SYS_capset, &header_, saved_); }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2] = {};
};

struct RefusedCase {
  const char* name;
  bool ipv6;
  int value;  // protocol, or the Router Alert value
  bool without_net_raw;
  const char* call;
  int error;
};

class OpenTapRefused : public testing::TestWithParam<RefusedCase> {};

TEST_P(OpenTapRefused, SaysWhichCallAndLeavesNothingOpen) {
  const RefusedCase& c = GetParam();
  const int before = open_descriptors();
  TapSockets tap{};
  nimbo::SystemError error{};
  bool opened = false;
  {
    std::optional<WithoutNetRaw> dropped;
    if (c.without_net_raw) dropped.emplace();
    opened = c.ipv6 ? nimbo::open_ipv6_tap(c.value, &tap, &error) : nimbo::open_ipv4_tap(c.value, &tap, &error);
  }
  ASSERT_FALSE(opened);
  EXPECT_STREQ(error.call, c.call);
  EXPECT_EQ(error.error, c.error);
  EXPECT_EQ(open_descriptors(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpenTapRefused,
    testing::Values(RefusedCase{"ipv4_without_net_raw", false, IPPROTO_UDP, true, "socket", EPERM},
                    RefusedCase{"ipv6_without_net_raw", true, 0, true, "socket", EPERM},
                    // The kernel takes Router Alert on a raw socket of any protocol but IPPROTO_RAW.
                    RefusedCase{"ipv4_raw_protocol", false, IPPROTO_RAW, false, "setsockopt(IP_ROUTER_ALERT)", EINVAL},
                    RefusedCase{"ipv6_value_too_large", true, 65536, false, "setsockopt(IPV6_ROUTER_ALERT)", EINVAL},
                    RefusedCase{"ipv6_value_negative", true, -1, false, "setsockopt(IPV6_ROUTER_ALERT)", EINVAL}),
    [](const testing::TestParamInfo<RefusedCase>& c) { return std::string(c.param.name); });

// Sends a UDP datagram from a socket of its own, with Router Alert unless told otherwise.
void send_udp(const char* to, int port, std::size_t length, bool alert = true, std::uint8_t fill = 'x') {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const std::uint8_t options[4] = {0x94, 0x04, 0x00, 0x00};
  if (alert) {
    ASSERT_EQ(setsockopt(fd, IPPROTO_IP, IP_OPTIONS, options, sizeof options), 0);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, to, &address.sin_addr);
  const Bytes data(length, fill);
  EXPECT_EQ(sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof address),
            static_cast<ssize_t>(length));
  close(fd);
}

// What reaches this host is delivered, not handed to the tap: unicast and a joined group alike
// (the old tap took every multicast destination for this host's own, and forwarded none), nor
// what this host sent while the tap was opening.
TEST(ReceiveIntercepted, NothingDeliveredHereIsHandedOver) {
  nimbo::test::Receiver unicast, group("239.1.2.3");
  static int port = unicast.port();
  nimbo::test::on_setup = [](int) { send_udp("127.0.0.1", port, 20); };  // as the tap's socket is bound
  TapSockets tap{};
  nimbo::SystemError error{};
  ASSERT_TRUE(nimbo::open_ipv4_tap(IPPROTO_UDP, &tap, &error));
  nimbo::test::on_setup = nullptr;
  send_udp("127.0.0.1", unicast.port(), 20);
  send_udp("239.1.2.3", group.port(), 20);
  EXPECT_TRUE(unicast.receive() && unicast.receive()) << "not delivered";
  EXPECT_TRUE(group.receive()) << "not delivered";
  std::uint8_t buffer[2048];
  nimbo::Slot slot{buffer, {}, 0};
  int filled = 0;
  EXPECT_EQ(nimbo::receive_intercepted(tap, -1, 200, &slot, 1, sizeof buffer, &filled, &error), Wait::kTimeout);
  nimbo::close_tap(tap);
}

// An unbound raw UDP socket gets a copy of every UDP datagram delivered here: it stands in for
// the Router Alert socket, to feed receive_intercepted what it must take and pass over.
class Receive : public testing::Test {
 protected:
  void SetUp() override {
    tap_.family = AF_INET;
    tap_.in = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP);
    tap_.out = -1;
    const int on = 1;
    ASSERT_GE(tap_.in, 0);
    ASSERT_EQ(setsockopt(tap_.in, IPPROTO_IP, IP_PKTINFO, &on, sizeof on), 0);
    ASSERT_EQ(pipe2(wake_, O_CLOEXEC), 0);
  }
  void TearDown() override {
    close(tap_.in);
    close(wake_[0]);
    close(wake_[1]);
  }
  Wait receive(int timeout_ms, std::size_t capacity = 2048) {
    buffer_.assign(kSlots * capacity, 0);
    for (std::size_t i = 0; i < kSlots; ++i) slots_[i].buffer = buffer_.data() + i * capacity;
    return nimbo::receive_intercepted(tap_, wake_[0], timeout_ms, slots_, kSlots, capacity, &filled_, &error_);
  }

  static constexpr std::size_t kSlots = 4;
  TapSockets tap_{};
  int wake_[2] = {-1, -1};
  Bytes buffer_;
  nimbo::Slot slots_[kSlots] = {};
  int filled_ = 0;
  nimbo::SystemError error_{};
  nimbo::test::Receiver sink_;  // a port to send to, so that no ICMP comes back
};

TEST_F(Receive, PassesOverWhatDoesNotParseOrFit) {
  send_udp("127.0.0.1", sink_.port(), 10, false);     // no Router Alert
  send_udp("127.0.0.1", sink_.port(), 3000, true);    // longer than a slot
  send_udp("127.0.0.1", sink_.port(), 7, true, 'y');  // these two, in the first two slots
  send_udp("127.0.0.1", sink_.port(), 5, true, 'z');
  ASSERT_EQ(receive(1000, 2048), Wait::kDatagram);
  ASSERT_EQ(filled_, 2);
  for (const nimbo::Slot& slot : {slots_[0], slots_[1]}) {
    EXPECT_TRUE(slot.in.udp);
    EXPECT_EQ(slot.buffer[slot.in.payload], slot.in.payload_length == 7 ? 'y' : 'z');
    EXPECT_EQ(slot.ifindex, static_cast<int>(if_nametoindex("lo")));
  }
  EXPECT_EQ(slots_[1].in.payload_length, 5u);
}

TEST_F(Receive, ZeroTimeoutStillTakesWhatIsQueued) {
  send_udp("127.0.0.1", sink_.port(), 5);
  EXPECT_EQ(receive(0), Wait::kDatagram);
  EXPECT_EQ(receive(0), Wait::kTimeout);
}

TEST_F(Receive, AStreamToPassOverDoesNotOutlastTheTimeout) {
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    while (!stop) send_udp("127.0.0.1", sink_.port(), 10, false);
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(receive(200), Wait::kTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  stop = true;
  sender.join();
}

TEST_F(Receive, SeveralThreadsEachTakeDistinctDatagrams) {
  constexpr int kThreads = 4, kEach = 50;
  std::mutex lock;
  std::multiset<std::uint8_t> seen;
  std::vector<std::thread> readers;
  for (int t = 0; t < kThreads; ++t)
    readers.emplace_back([&] {
      std::uint8_t buffer[2][256];
      nimbo::Slot slots[2] = {{buffer[0], {}, 0}, {buffer[1], {}, 0}};
      for (int taken = 0, filled = 0; taken < kEach; taken += filled) {
        nimbo::SystemError error{};
        ASSERT_EQ(nimbo::receive_intercepted(tap_, -1, 5000, slots, kEach - taken > 1 ? 2 : 1, 256, &filled, &error),
                  Wait::kDatagram);
        const std::lock_guard<std::mutex> guard(lock);
        for (int i = 0; i < filled; ++i) seen.insert(slots[i].buffer[slots[i].in.payload]);
      }
    });
  for (int i = 0; i < kThreads * kEach; ++i) send_udp("127.0.0.1", sink_.port(), 1, true, static_cast<std::uint8_t>(i));
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kEach));
  for (int i = 0; i < kThreads * kEach; ++i) EXPECT_EQ(seen.count(static_cast<std::uint8_t>(i)), 1u) << i;
}

TEST_F(Receive, BufferPastTheSystemLimit) {
  // net.core.rmem_max is 4 MiB here; the forced size passes it (and the kernel doubles it).
  ASSERT_TRUE(nimbo::set_tap_receive_buffer(tap_, 16 << 20, &error_));
  int bytes = 0;
  ASSERT_TRUE(nimbo::tap_receive_buffer(tap_, &bytes, &error_));
  EXPECT_EQ(bytes, 32 << 20);
}

}  // namespace
