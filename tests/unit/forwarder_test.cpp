// SPDX-License-Identifier: Apache-2.0
// Forwarding on real sockets, over loopback: what a receiver gets (the kernel checks the UDP
// checksum there), and the copies a router would not send, with the reason nimbo-tap reports.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <string>

#include "case_name.h"
#include "datagram.h"
#include "forward_steps.h"
#include "forwarder.h"
#include "receiver.h"

namespace {

using nimbo::Drop;
using nimbo::test::Bytes;
using nimbo::test::put16;

// Loopback's MTU for as long as it lives (each test runs in a namespace of its own).
class LoopbackMtu {
 public:
  explicit LoopbackMtu(int mtu) {
    if (mtu == 0) return;
    std::strcpy(request_.ifr_name, "lo");
    EXPECT_EQ(ioctl(fd_, SIOCGIFMTU, &request_), 0);
    old_ = request_.ifr_mtu;
    request_.ifr_mtu = mtu;
    EXPECT_EQ(ioctl(fd_, SIOCSIFMTU, &request_), 0);
  }
  ~LoopbackMtu() {
    if (old_ != 0) {
      request_.ifr_mtu = old_;
      ioctl(fd_, SIOCSIFMTU, &request_);
    }
    close(fd_);
  }

 private:
  int fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request_{};
  int old_ = 0;
};

struct ForwardCase {
  const char* name;
  bool ipv6;
  const char* destination;  // the receiver's port when it is loopback
  int ttl;
  std::size_t payload;
  std::uint16_t flags;  // IPv4: DF, MF, offset
  std::uint16_t id;
  int loopback_mtu;     // 0: as it is
  int copies;
  Drop drop;
  int mtu;  // in the drop report
  const char* source = nullptr;  // IPv6: 2001:db8::1 unless given
};

class Forward : public testing::TestWithParam<ForwardCase> {};

Bytes payload_of(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 13 + 1);
  return b;
}

Bytes build(const ForwardCase& c, int port) {
  if (c.ipv6) {
    nimbo::test::Ipv6 d;
    inet_pton(AF_INET6, c.source != nullptr ? c.source : "2001:db8::1", d.source);
    inet_pton(AF_INET6, c.destination, d.destination);
    d.hop_limit = static_cast<std::uint8_t>(c.ttl);
    d.payload = payload_of(c.payload);
    d.destination_port = static_cast<std::uint16_t>(port);
    return nimbo::test::datagram(d);
  }
  nimbo::test::Ipv4 d;
  inet_pton(AF_INET, "127.0.0.1", d.source);
  inet_pton(AF_INET, c.destination, d.destination);
  d.ttl = static_cast<std::uint8_t>(c.ttl);
  d.flags = c.flags;
  d.id = c.id;
  d.payload = payload_of(c.payload);
  d.destination_port = static_cast<std::uint16_t>(port);
  return nimbo::test::datagram(d);
}

TEST_P(Forward, SendsWhatARouterWouldSend) {
  const ForwardCase& c = GetParam();
  const LoopbackMtu mtu(c.loopback_mtu);
  nimbo::TapSockets tap{};
  nimbo::SystemError error{};
  ASSERT_TRUE(c.ipv6 ? nimbo::open_ipv6_tap(1, &tap, &error) : nimbo::open_ipv4_tap(IPPROTO_UDP, &tap, &error));
  nimbo::test::Receiver receiver(c.ipv6 || std::strncmp(c.destination, "239.", 4) != 0 ? nullptr : c.destination);
  Bytes packet = build(c, receiver.port());
  nimbo::Intercepted in{};
  ASSERT_TRUE(c.ipv6 ? nimbo::parse_intercepted_ipv6(packet.data(), packet.size(), &in)
                     : nimbo::parse_intercepted_ipv4(packet.data(), packet.size(), &in));
  put16(packet, in.transport + 6, nimbo::partial_udp_checksum(packet.data(), in));  // as a veth peer leaves it

  int copies = -1;
  nimbo::Dropped why{Drop::kTtlExpired, -1, nimbo::Answer::kNone};
  ASSERT_EQ(nimbo::forward_intercepted(tap, -1, packet.data(), in, 1, &copies, &error, &why), nimbo::Sent::kDone)
      << error.call << ": " << std::strerror(error.error);
  EXPECT_EQ(copies, c.copies);
  EXPECT_EQ(why.reason, c.drop);
  EXPECT_EQ(why.mtu, c.mtu);

  nimbo::close_tap(tap);
  if (c.ipv6) return;  // IPv6 that goes somewhere is proven on the wire (RouterAlertTapTest)
  const auto got = receiver.receive(c.copies > 0 ? 2000 : 200);
  ASSERT_EQ(got.has_value(), c.copies > 0);
  if (!got) return;
  EXPECT_EQ(got->data, payload_of(c.payload));
  EXPECT_EQ(got->ttl, c.ttl - 1);
  EXPECT_EQ(got->options, nimbo::test::kAlert);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Forward,
    testing::Values(
        ForwardCase{"unicast", false, "127.0.0.1", 64, 100, 0, 0x1234, 0, 1, Drop::kNone, 0},
        ForwardCase{"ttl 2 leaves with 1", false, "127.0.0.1", 2, 100, 0, 0x1234, 0, 1, Drop::kNone, 0},
        ForwardCase{"ttl 1 goes nowhere", false, "127.0.0.1", 1, 100, 0, 0x1234, 0, 0, Drop::kTtlExpired, 0},
        ForwardCase{"ttl 0 goes nowhere", false, "127.0.0.1", 0, 100, 0, 0x1234, 0, 0, Drop::kTtlExpired, 0},
        ForwardCase{"longer than the link in fragments", false, "127.0.0.1", 64, 6000, 0, 0x1234, 1500, 1, Drop::kNone, 0},
        ForwardCase{"fragments of a datagram with id 0", false, "127.0.0.1", 64, 3000, 0, 0, 1280, 1, Drop::kNone, 0},
        ForwardCase{"more fragments than one sendmmsg", false, "127.0.0.1", 64, 40000, 0, 0x1234, 576, 1, Drop::kNone, 0},
        ForwardCase{"DF and longer than the link", false, "127.0.0.1", 64, 6000, 0x4000, 0x1234, 1500, 0, Drop::kTooLong, 1500},
        ForwardCase{"no route", false, "198.51.100.1", 64, 100, 0, 0x1234, 0, 0, Drop::kNoRoute, 0},
        ForwardCase{"multicast with no routing", false, "239.1.2.3", 64, 100, 0, 0x1234, 0, 0, Drop::kNoRoute, 0},
        ForwardCase{"link-local group", false, "224.0.0.9", 64, 100, 0, 0x1234, 0, 0, Drop::kNoRoute, 0},
        ForwardCase{"ipv6 multicast", true, "ff15::1", 64, 100, 0, 0x1234, 0, 0, Drop::kNoRoute, 0},
        ForwardCase{"ipv6 from ::", true, "::1", 64, 100, 0, 0, 0, 0, Drop::kBadSource, 0, "::"},
        ForwardCase{"ipv6 from loopback", true, "::1", 64, 100, 0, 0, 0, 0, Drop::kBadSource, 0, "::1"},
        ForwardCase{"ipv6 from a group", true, "::1", 64, 100, 0, 0, 0, 0, Drop::kBadSource, 0, "ff02::1"}),
    nimbo::test::case_name<ForwardCase>);

}  // namespace
