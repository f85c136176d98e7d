// SPDX-License-Identifier: Apache-2.0
#include "forwarder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "forward_steps.h"
#include "multicast_route.h"

namespace nimbo {

namespace {

enum class Attempt {
  kSent,
  kTooLong,  // EMSGSIZE: longer than the device's MTU
  kDropped,  // *why says why
  kWoken,
  kFailed,
};

// The send errors that mean a router would drop the datagram here; kNone for real failures.
Drop drop_for(int error) {
  switch (error) {
    case ENETUNREACH:
    case EHOSTUNREACH:
      return Drop::kNoRoute;
    case ENETDOWN:
    case ENODEV:
    case ENXIO:
      return Drop::kLinkDown;
    case EPERM:
    case EACCES:
      return Drop::kRefused;
    case ENOBUFS:
      return Drop::kQueueFull;
    default:
      return Drop::kNone;
  }
}

Attempt dropped(Dropped* why, Drop reason, int mtu = 0) {
  *why = {reason, mtu};
  return Attempt::kDropped;
}

// Waits until the socket can take a datagram again. kSent: try again.
Attempt wait_writable(int fd, int wake, SystemError* error) {
  pollfd p[2] = {{fd, POLLOUT, 0}, {wake, POLLIN, 0}};
  const int ready = poll(p, wake >= 0 ? 2 : 1, -1);
  if (ready < 0 && errno == EINTR) return Attempt::kSent;
  if (ready < 0 || (p[1].revents & POLLNVAL) != 0) {
    *error = {"poll", ready < 0 ? errno : EBADF};
    return Attempt::kFailed;
  }
  return p[1].revents != 0 ? Attempt::kWoken : Attempt::kSent;
}

Attempt send_message(int fd, int wake, const msghdr* message, Dropped* why, SystemError* error) {
  for (;;) {
    if (sendmsg(fd, message, MSG_DONTWAIT) >= 0) return Attempt::kSent;
    const int e = errno;
    if (e == EINTR) continue;
    if (e == EMSGSIZE) return Attempt::kTooLong;
    if (e == EAGAIN || e == EWOULDBLOCK) {
      const Attempt waited = wait_writable(fd, wake, error);
      if (waited != Attempt::kSent) return waited;
      continue;
    }
    const Drop drop = drop_for(e);
    if (drop != Drop::kNone) return dropped(why, drop);
    *error = {"sendmsg", e};
    return Attempt::kFailed;
  }
}

union Ipv4Control {
  cmsghdr align;
  char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
};

// The source the route of a copy is looked up with: the datagram's own, so that rules by source
// (ip rule from) hold as in forwarding. IPPROTO_RAW may name one that is not this host's;
// 0.0.0.0, multicast and broadcast ones the lookup refuses, and forwarding never hands over.
in_addr_t route_source(const std::uint8_t* header) {
  in_addr_t source;
  std::memcpy(&source, header + 12, sizeof source);
  const std::uint32_t host = ntohl(source);
  return host == 0 || (host & 0xF0000000) == 0xE0000000 || host == 0xFFFFFFFF ? 0 : source;
}

// A message to `to` carrying `parts` (an IPv4 header first), its route looked up with the
// header's source, out of interface `ifindex` when it is not 0.
void ipv4_message(msghdr* message, sockaddr_in* to, Ipv4Control* control, int ifindex, iovec* parts,
                  std::size_t count) {
  *message = {};
  message->msg_name = to;
  message->msg_namelen = sizeof *to;
  message->msg_iov = parts;
  message->msg_iovlen = count;
  std::memset(control, 0, sizeof *control);
  message->msg_control = control->bytes;
  message->msg_controllen = sizeof control->bytes;
  cmsghdr* c = CMSG_FIRSTHDR(message);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo info{};
  info.ipi_ifindex = ifindex;
  info.ipi_spec_dst.s_addr = route_source(static_cast<const std::uint8_t*>(parts[0].iov_base));
  std::memcpy(CMSG_DATA(c), &info, sizeof info);
}

// The MTU of the path to `to` (out of `ifindex` when not 0), from a UDP socket connected there.
Attempt path_mtu(sockaddr_in to, int ifindex, int* mtu, Dropped* why, SystemError* error) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = {"socket", errno};
    return Attempt::kFailed;
  }
  ip_mreqn via{};
  via.imr_ifindex = ifindex;
  to.sin_port = htons(9);
  socklen_t size = sizeof *mtu;
  Attempt result = Attempt::kSent;
  if (ifindex != 0 && setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via) != 0) {
    *error = {"setsockopt(IP_MULTICAST_IF)", errno};
    result = Attempt::kFailed;
  } else if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    const int e = errno;
    result = drop_for(e) != Drop::kNone ? dropped(why, drop_for(e)) : Attempt::kFailed;
    if (result == Attempt::kFailed) *error = {"connect", e};
  } else if (getsockopt(fd, IPPROTO_IP, IP_MTU, mtu, &size) != 0) {
    *error = {"getsockopt(IP_MTU)", errno};
    result = Attempt::kFailed;
  }
  close(fd);
  return result;
}

Attempt send_fragments(int fd, int wake, std::uint8_t* packet, const Intercepted& in, sockaddr_in to,
                       int ifindex, int mtu, Dropped* why, SystemError* error) {
  Fragments fragments;
  switch (plan_fragments(packet, in, static_cast<std::size_t>(mtu), &fragments)) {
    case Fit::kFragments:
      break;
    case Fit::kMtuTooSmall:
      return dropped(why, Drop::kMtuTooSmall, mtu);
    case Fit::kWhole:  // the route's MTU allows what the device refused
    case Fit::kDontFragment:
      return dropped(why, Drop::kTooLong, mtu);
  }
  if (fragments.id == 0) fragments.id = next_ip_id();
  for (std::size_t i = 0; i < fragments.plan.count; ++i) {
    std::uint8_t header[kIpv4HeaderMax];
    std::size_t offset = 0, length = 0;
    iovec parts[2];
    parts[0] = {header, fragment_header(packet, in, fragments, i, header, &offset, &length)};
    parts[1] = {packet + offset, length};
    msghdr message;
    Ipv4Control control;
    ipv4_message(&message, &to, &control, ifindex, parts, 2);
    const Attempt sent = send_message(fd, wake, &message, why, error);
    if (sent == Attempt::kTooLong) return dropped(why, Drop::kTooLong, mtu);
    if (sent != Attempt::kSent) return sent;
  }
  return Attempt::kSent;
}

// One copy to the datagram's destination, out of `ifindex` when not 0; in fragments when the
// device refuses it whole.
Attempt send_ipv4(int fd, int wake, std::uint8_t* packet, const Intercepted& in, int ifindex, Dropped* why,
                  SystemError* error) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  std::memcpy(&to.sin_addr, packet + 16, sizeof to.sin_addr);
  iovec whole{packet, in.length};
  msghdr message;
  Ipv4Control control;
  ipv4_message(&message, &to, &control, ifindex, &whole, 1);
  const Attempt sent = send_message(fd, wake, &message, why, error);
  if (sent != Attempt::kTooLong) return sent;
  int mtu = 0;
  const Attempt found = path_mtu(to, ifindex, &mtu, why, error);
  if (found != Attempt::kSent) return found;
  return send_fragments(fd, wake, packet, in, to, ifindex, mtu, why, error);
}

union Ipv6Control {
  cmsghdr align;
  char bytes[CMSG_SPACE(sizeof(in6_pktinfo))];
};

// The route of an IPv6 copy looked up with the datagram's source, as forwarding does (ip -6 rule
// from, routes by source): IPV6_PKTINFO, which IPV6_FREEBIND lets name an address not this host's.
void route_with_source(msghdr* message, Ipv6Control* control, const std::uint8_t* source) {
  std::memset(control, 0, sizeof *control);
  message->msg_control = control->bytes;
  message->msg_controllen = sizeof control->bytes;
  cmsghdr* c = CMSG_FIRSTHDR(message);
  c->cmsg_level = IPPROTO_IPV6;
  c->cmsg_type = IPV6_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
  in6_pktinfo info{};
  std::memcpy(&info.ipi6_addr, source, sizeof info.ipi6_addr);
  std::memcpy(CMSG_DATA(c), &info, sizeof info);
}

bool link_local_ipv6(const std::uint8_t* address) { return address[0] == 0xFE && (address[1] & 0xC0) == 0x80; }

Attempt send_ipv6(int fd, int wake, std::uint8_t* packet, const Intercepted& in, Dropped* why,
                  SystemError* error) {
  const std::uint8_t* source = packet + 8;
  const std::uint8_t* destination = packet + 24;
  // No multicast routing for IPv6 here; link-local addresses stay on their link.
  if (destination[0] == 0xFF || link_local_ipv6(destination) || link_local_ipv6(source))
    return dropped(why, Drop::kNoRoute);
  sockaddr_in6 to{};
  to.sin6_family = AF_INET6;
  std::memcpy(&to.sin6_addr, destination, sizeof to.sin6_addr);
  iovec whole{packet, in.length};
  msghdr message{};
  message.msg_name = &to;
  message.msg_namelen = sizeof to;
  message.msg_iov = &whole;
  message.msg_iovlen = 1;
  Ipv6Control control;
  route_with_source(&message, &control, source);
  const Attempt sent = send_message(fd, wake, &message, why, error);
  return sent == Attempt::kTooLong ? dropped(why, Drop::kTooLong) : sent;
}

Sent outcome(Attempt attempt, int* copies) {
  switch (attempt) {
    case Attempt::kSent:
      ++*copies;
      return Sent::kDone;
    case Attempt::kWoken:
      return Sent::kWoken;
    case Attempt::kFailed:
      return Sent::kFailed;
    case Attempt::kTooLong:
    case Attempt::kDropped:
      break;
  }
  return Sent::kDone;
}

// One copy out of each interface the multicast forwarding cache sends the datagram to.
Sent forward_multicast(const TapSockets& tap, int wake, std::uint8_t* packet, const Intercepted& in,
                       int arrival_ifindex, int* copies, Dropped* why, SystemError* error) {
  *why = {Drop::kNoRoute, 0};
  if (packet[16] == 224 && packet[17] == 0 && packet[18] == 0) return Sent::kDone;  // link-local group
  std::uint32_t source, group;
  std::memcpy(&source, packet + 12, sizeof source);
  std::memcpy(&group, packet + 16, sizeof group);
  MulticastEntries entries;
  if (find_multicast_entries(source, group, &entries, error) == Lookup::kFailed) return Sent::kFailed;
  int outputs[kMulticastOutputsMax];
  const std::size_t count = multicast_outputs(entries, arrival_ifindex, in.ttl, outputs);
  for (std::size_t i = 0; i < count; ++i) {
    const Sent sent = outcome(send_ipv4(tap.out, wake, packet, in, outputs[i], why, error), copies);
    if (sent != Sent::kDone) return sent;
  }
  if (*copies > 0) *why = {Drop::kNone, 0};
  return Sent::kDone;
}

}  // namespace

Sent forward_intercepted(const TapSockets& tap, int wake, std::uint8_t* packet, const Intercepted& in,
                         int arrival_ifindex, int* copies, SystemError* error, Dropped* why) {
  Dropped unused;
  Dropped* reason = why != nullptr ? why : &unused;
  *reason = {Drop::kNone, 0};
  *copies = 0;
  if (!prepare_forward(packet, in)) {
    *reason = {Drop::kTtlExpired, 0};
    return Sent::kDone;
  }
  if (in.family == AF_INET6) return outcome(send_ipv6(tap.out, wake, packet, in, reason, error), copies);
  if ((packet[16] & 0xF0) == 0xE0)
    return forward_multicast(tap, wake, packet, in, arrival_ifindex, copies, reason, error);
  return outcome(send_ipv4(tap.out, wake, packet, in, 0, reason, error), copies);
}

}  // namespace nimbo
