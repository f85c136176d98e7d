// SPDX-License-Identifier: Apache-2.0
// Editing option lists: other options survive byte for byte, and the kernel takes the result.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "case_name.h"
#include "ip_options.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using nimbo::OptionEdit;

const Bytes kAlert = {0x94, 0x04, 0x00, 0x00};
const Bytes kRecordRoute = {0x07, 0x07, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};  // one empty slot, End of List

using nimbo::test::case_name;

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
        Ipv4Case{"0x94 of length 6 is router alert", {0x94, 0x06, 0, 0, 0, 0, 0, 0}, OptionEdit::kUnchanged, {},
                 OptionEdit::kUnchanged, {}},
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

// Headers with options of a kind Linux skips (0x3E). Linux drops a datagram whose hop-by-hop
// header holds more than 7 bytes of padding in a row, Pad1 and PadN alike, or PadN not zero.
// Router Alert with padding on both sides: padding in its place would make a run of 10.
const Bytes kAlertBetweenPadding = {0x11, 1, 1, 0, 5, 2, 0, 1, 1, 2, 0, 0, 0x3E, 2, 9, 9};
const Bytes kLongPadding = {0, 1, 1, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0x3E, 2, 9, 9};  // 10 bytes of PadN
const Bytes kOptionAt8 = {0, 1, 5, 2, 0, 1, 0, 0, 0x3E, 4, 1, 2, 3, 4, 1, 0};  // Pad1 Pad1 before it
const Bytes kPadNWithData = {0, 0, 1, 2, 7, 7, 0x3E, 0};

// A header of `total` bytes whose options fill it from offset 2 to `end`, padded after that.
Bytes filled(std::size_t end, std::size_t total) {
  Bytes h(total, 0);
  h[1] = static_cast<std::uint8_t>(total / 8 - 1);
  for (std::size_t at = 2; at < end;) {
    const std::size_t size = std::min<std::size_t>(end - at, 257);
    h[at] = 0x3E;
    h[at + 1] = static_cast<std::uint8_t>(size - 2);
    at += size;
  }
  if (total - end >= 2) {
    h[end] = 1;
    h[end + 1] = static_cast<std::uint8_t>(total - end - 2);
  }
  return h;
}

Bytes with(Bytes b, std::size_t at, const Bytes& part) {
  std::copy(part.begin(), part.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
  return b;
}

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
        Ipv6Case{"option runs past the end", {0, 0, 0x3E, 9, 0, 0, 0, 0}, 0, OptionEdit::kMalformed, {}, {}},
        // The option after Router Alert moves back 8 bytes: same alignment, 2 bytes of padding.
        Ipv6Case{"Router Alert between padding", kAlertBetweenPadding, 2, OptionEdit::kChanged,
                 {0x11, 1, 1, 0, 5, 2, 0, 2, 1, 2, 0, 0, 0x3E, 2, 9, 9}, {0x11, 0, 1, 0, 0x3E, 2, 9, 9}},
        Ipv6Case{"padding longer than 7 is cut", kLongPadding, 0, OptionEdit::kChanged,
                 {0, 1, 1, 0, 0x3E, 2, 9, 9, 5, 2, 0, 0, 1, 2, 0, 0}, {0, 0, 1, 0, 0x3E, 2, 9, 9}},
        Ipv6Case{"an option keeps its offset", kOptionAt8, 2, OptionEdit::kChanged,
                 {0, 1, 5, 2, 0, 2, 1, 0, 0x3E, 4, 1, 2, 3, 4, 1, 0},
                 {0, 1, 1, 4, 0, 0, 0, 0, 0x3E, 4, 1, 2, 3, 4, 1, 0}},
        Ipv6Case{"PadN gets zeros", kPadNWithData, 1, OptionEdit::kChanged,
                 {0, 1, 1, 2, 0, 0, 0x3E, 0, 5, 2, 0, 1, 1, 2, 0, 0}, {0, 0, 1, 2, 0, 0, 0x3E, 0}},
        // Linux takes at most 2040 bytes (setsockopt says EINVAL above that).
        Ipv6Case{"largest that takes it", filled(2036, 2040), 0, OptionEdit::kChanged,
                 with(filled(2036, 2040), 2036, {5, 2, 0, 0}), filled(2036, 2040)},
        Ipv6Case{"no room after Pad1", filled(2037, 2040), 0, OptionEdit::kNoRoom, {}, {}},
        Ipv6Case{"full header has no room", filled(2040, 2040), 0, OptionEdit::kNoRoom, {}, {}}),
    case_name<Ipv6Case>);

// Sends one datagram to ::1 from a socket carrying the header (none when empty). `received`:
// the hop-by-hop header it arrived with, or nothing when it did not arrive: Linux drops a
// datagram whose header it refuses without a word. Setting the header needs CAP_NET_RAW.
void send_over_loopback(const Bytes& header, std::optional<Bytes>* received) {
  const int rx = socket(AF_INET6, SOCK_DGRAM, 0);
  const int tx = socket(AF_INET6, SOCK_DGRAM, 0);
  ASSERT_GE(rx, 0);
  ASSERT_GE(tx, 0);
  sockaddr_in6 to{};
  to.sin6_family = AF_INET6;
  to.sin6_addr = in6addr_loopback;
  socklen_t size = sizeof to;
  const int on = 1;
  ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&to), size), 0);
  ASSERT_EQ(getsockname(rx, reinterpret_cast<sockaddr*>(&to), &size), 0);
  ASSERT_EQ(setsockopt(rx, IPPROTO_IPV6, IPV6_RECVHOPOPTS, &on, sizeof on), 0);
  if (!header.empty()) {
    ASSERT_EQ(setsockopt(tx, IPPROTO_IPV6, IPV6_HOPOPTS, header.data(), static_cast<socklen_t>(header.size())), 0);
  }
  ASSERT_EQ(sendto(tx, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 1);
  pollfd ready{rx, POLLIN, 0};
  received->reset();
  if (poll(&ready, 1, 1000) == 1) {
    char data[16];
    iovec iov{data, sizeof data};
    alignas(cmsghdr) std::uint8_t control[4096];
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ASSERT_EQ(recvmsg(rx, &message, 0), 1);
    received->emplace();
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPOPTS)
        received->emplace(CMSG_DATA(c), CMSG_DATA(c) + (c->cmsg_len - CMSG_LEN(0)));
    }
  }
  close(rx);
  close(tx);
}

// Linux takes what the edits build: a datagram carrying it arrives with the header as built
// (the kernel fills in the next header, UDP), both after setting Router Alert and after removing it.
class KernelDelivers : public testing::TestWithParam<Bytes> {};

void expect_delivered(const Bytes& header) {
  std::optional<Bytes> received;
  send_over_loopback(header, &received);
  ASSERT_TRUE(received.has_value()) << "dropped: " << testing::PrintToString(header);
  if (header.empty()) {
    EXPECT_EQ(*received, Bytes{});
    return;
  }
  ASSERT_EQ(received->size(), header.size());
  EXPECT_EQ((*received)[0], IPPROTO_UDP);
  EXPECT_EQ(Bytes(received->begin() + 1, received->end()), Bytes(header.begin() + 1, header.end()));
}

TEST_P(KernelDelivers, HopByHopHeadersAfterEachEdit) {
  OptionEdit edit;
  const std::uint16_t value = 3;
  const Bytes set = apply6(GetParam(), &edit, &value);
  ASSERT_EQ(edit, OptionEdit::kChanged);
  expect_delivered(set);
  const Bytes removed = apply6(set, &edit, nullptr);
  ASSERT_EQ(edit, OptionEdit::kChanged);
  expect_delivered(removed);
}

INSTANTIATE_TEST_SUITE_P(Table, KernelDelivers,
                         testing::Values(Bytes{}, kAlertBetweenPadding, kLongPadding, kOptionAt8, kPadNWithData,
                                         Bytes{0, 0, 0x3E, 1, 7, 1, 0, 0}));

// A 2040-byte header (more options than Linux lets through by default, so only set on a socket).
TEST(KernelTakes, TheLargestHopByHopHeader) {
  OptionEdit edit;
  const std::uint16_t value = 0;
  const Bytes largest = apply6(filled(2036, 2040), &edit, &value);
  ASSERT_EQ(edit, OptionEdit::kChanged);
  ASSERT_EQ(largest.size(), 2040u);
  const int fd = socket(AF_INET6, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(setsockopt(fd, IPPROTO_IPV6, IPV6_HOPOPTS, largest.data(), static_cast<socklen_t>(largest.size())), 0);
  close(fd);
}

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
