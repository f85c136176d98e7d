// SPDX-License-Identifier: Apache-2.0
#include "receiver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

namespace nimbo::test {
namespace {

const std::vector<std::uint8_t> kMarker = {'m', 'a', 'r', 'k'};

}  // namespace

Receiver::Receiver(const char* group) {
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(group == nullptr ? INADDR_LOOPBACK : INADDR_ANY);
  const int on = 1;
  socklen_t length = sizeof local;
  if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      setsockopt(fd_, IPPROTO_IP, IP_RECVTTL, &on, sizeof on) != 0 ||
      setsockopt(fd_, IPPROTO_IP, IP_RECVOPTS, &on, sizeof on) != 0) {
    ADD_FAILURE() << "receiver set-up: " << std::strerror(errno);
    return;
  }
  port_ = ntohs(local.sin_port);
  if (group != nullptr) {
    ip_mreq join{};
    inet_pton(AF_INET, group, &join.imr_multiaddr);
    join.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    if (setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0)
      ADD_FAILURE() << "joining " << group << ": " << std::strerror(errno);
  }
}

Receiver::~Receiver() {
  if (fd_ >= 0) close(fd_);
}

void Receiver::make_room(int bytes) {
  // The forced size ignores net.core.rmem_max, which a stock Debian keeps at 212992.
  if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
    ADD_FAILURE() << "receive buffer of " << bytes << ": " << std::strerror(errno);
  int obtained = 0;
  socklen_t length = sizeof obtained;
  getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &obtained, &length);
  EXPECT_EQ(obtained, 2 * bytes) << "receive buffer";
}

std::optional<Datagram> Receiver::receive(int timeout_ms) {
  pollfd ready{fd_, POLLIN, 0};
  if (poll(&ready, 1, timeout_ms) != 1) return std::nullopt;
  Datagram d;
  d.data.resize(65536);
  iovec io{d.data.data(), d.data.size()};
  alignas(cmsghdr) char control[256];
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(fd_, &message, MSG_DONTWAIT);
  if (n < 0) return std::nullopt;
  EXPECT_EQ(message.msg_flags & (MSG_TRUNC | MSG_CTRUNC), 0);
  d.data.resize(static_cast<std::size_t>(n));
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(CMSG_DATA(c));
    if (c->cmsg_level != IPPROTO_IP) continue;
    const std::size_t length = c->cmsg_len - CMSG_LEN(0);
    if (c->cmsg_type == IP_TTL) std::memcpy(&d.ttl, bytes, sizeof d.ttl);
    if (c->cmsg_type == IP_RECVOPTS) d.options.assign(bytes, bytes + length);
  }
  return d;
}

bool Receiver::quiet() {
  const int sender = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<std::uint16_t>(port_));
  const bool sent =
      sendto(sender, kMarker.data(), kMarker.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to) == static_cast<ssize_t>(kMarker.size());
  close(sender);
  const auto first = receive();
  return sent && first && first->data == kMarker;
}

int default_unicast_ttl() {
  int ttl = -1;
  std::ifstream("/proc/sys/net/ipv4/ip_default_ttl") >> ttl;
  return ttl;
}

}  // namespace nimbo::test
