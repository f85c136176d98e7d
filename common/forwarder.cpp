// SPDX-License-Identifier: Apache-2.0
#include "forwarder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "address_table.h"
#include "forward_steps.h"
#include "icmp_rate.h"
#include "multicast_route.h"
#include "path_mtu.h"

namespace nimbo {

namespace {

enum class Attempt {
  kSent,
  kTooLong,  // EMSGSIZE: longer than the device's MTU
  kDropped,  // *why says why
  kWoken,
  kFailed,
};

// Messages per sendmmsg: every fragment of a 65535-byte datagram over a 1280-byte link.
constexpr std::size_t kBatchMax = 64;

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

Answer answer_for(int error) {
  return error == ENETUNREACH ? Answer::kNetUnreachable
         : error == EHOSTUNREACH ? Answer::kHostUnreachable
                                 : Answer::kNone;
}

Attempt dropped(Dropped* why, Drop reason, int mtu = 0, Answer answer = Answer::kNone) {
  *why = {reason, mtu, answer};
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
  if ((p[0].revents & POLLERR) != 0) {
    // What a partly sent batch left pending, already dealt with: clear it, or poll never waits.
    int pending = 0;
    socklen_t size = sizeof pending;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size);
  }
  return p[1].revents != 0 ? Attempt::kWoken : Attempt::kSent;
}

// Sends messages in as few sendmmsg calls as the kernel takes them. Anything but kSent concerns
// messages[*sent], the first that did not go.
Attempt send_messages(int fd, int wake, mmsghdr* messages, std::size_t count, std::size_t* sent, Dropped* why,
                      SystemError* error) {
  *sent = 0;
  while (*sent < count) {
    const int n = sendmmsg(fd, messages + *sent, static_cast<unsigned>(count - *sent), MSG_DONTWAIT);
    if (n > 0) {
      *sent += static_cast<std::size_t>(n);
      continue;
    }
    const int e = errno;
    if (e == EINTR) continue;
    if (e == EMSGSIZE) return Attempt::kTooLong;
    if (e == EAGAIN || e == EWOULDBLOCK) {
      const Attempt waited = wait_writable(fd, wake, error);
      if (waited != Attempt::kSent) return waited;
      continue;
    }
    const Drop drop = drop_for(e);
    if (drop != Drop::kNone) return dropped(why, drop, 0, answer_for(e));
    *error = {"sendmmsg", e};
    return Attempt::kFailed;
  }
  return Attempt::kSent;
}

// Aligned as a cmsghdr without holding one: glibc's ends in a flexible array, which clang refuses
// in an array element (the fragment batch holds an array of these).
// Gives message one control message, in `room`: level, type and data.
template <std::size_t N>
void put_control(msghdr* message, char (&room)[N], int level, int type, const void* data, std::size_t length) {
  std::memset(room, 0, N);
  message->msg_control = room;
  message->msg_controllen = N;
  cmsghdr* c = CMSG_FIRSTHDR(message);
  c->cmsg_level = level;
  c->cmsg_type = type;
  c->cmsg_len = CMSG_LEN(length);
  std::memcpy(CMSG_DATA(c), data, length);
}

struct Ipv4Control {
  alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
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
  in_pktinfo info{};
  info.ipi_ifindex = ifindex;
  info.ipi_spec_dst.s_addr = route_source(static_cast<const std::uint8_t*>(parts[0].iov_base));
  put_control(message, control->bytes, IPPROTO_IP, IP_PKTINFO, &info, sizeof info);
}

// The path of an IPv4 copy, for its MTU: the source its route is looked up with, as ipv4_message.
AddressKey ipv4_path(const std::uint8_t* packet, int ifindex) {
  const in_addr_t source = route_source(packet);
  return path_key(AF_INET, packet + 16, reinterpret_cast<const std::uint8_t*>(&source), ifindex);
}

// Asks the kernel for the MTU of the path the copies leave `fd` by. kSent: *mtu holds it.
Attempt learn(int fd, const AddressKey& key, int* mtu, Dropped* why, SystemError* error) {
  switch (learn_path_mtu(key, fd, mtu, error)) {
    case Probe::kFound:
      return Attempt::kSent;
    case Probe::kUnreachable:
      return dropped(why, drop_for(error->error), 0, answer_for(error->error));
    case Probe::kFailed:
      break;
  }
  return Attempt::kFailed;
}

// The headers and the parts of up to kBatchMax fragments, built where they are sent.
struct FragmentBatch {
  std::uint8_t header[kBatchMax][kIpv4HeaderMax];
  iovec parts[kBatchMax][2];
  Ipv4Control control[kBatchMax];
  mmsghdr messages[kBatchMax];
};

// One copy in fragments that fit `mtu`. kTooLong: the link refused the first one, and nothing went.
Attempt send_fragments(int fd, int wake, std::uint8_t* packet, const Intercepted& in, sockaddr_in* to, int ifindex,
                       int mtu, Dropped* why, SystemError* error) {
  Fragments fragments;
  switch (plan_fragments(packet, in, static_cast<std::size_t>(mtu), &fragments)) {
    case Fit::kFragments:
      break;
    case Fit::kMtuTooSmall:
      return dropped(why, Drop::kMtuTooSmall, mtu);
    case Fit::kWhole:  // the route's MTU allows what the device refused
      return dropped(why, Drop::kTooLong, mtu);
    case Fit::kDontFragment:
      return dropped(why, Drop::kTooLong, mtu, Answer::kTooBig);
  }
  if (fragments.id == 0) fragments.id = next_ip_id();
  FragmentBatch batch;
  for (std::size_t first = 0; first < fragments.plan.count; first += kBatchMax) {
    const std::size_t count = fragments.plan.count - first < kBatchMax ? fragments.plan.count - first : kBatchMax;
    for (std::size_t i = 0; i < count; ++i) {
      std::size_t offset = 0, length = 0;
      const std::size_t header = fragment_header(packet, in, fragments, first + i, batch.header[i], &offset, &length);
      batch.parts[i][0] = {batch.header[i], header};
      batch.parts[i][1] = {packet + offset, length};
      ipv4_message(&batch.messages[i].msg_hdr, to, &batch.control[i], ifindex, batch.parts[i], 2);
    }
    std::size_t sent = 0;
    const Attempt attempt = send_messages(fd, wake, batch.messages, count, &sent, why, error);
    if (attempt == Attempt::kTooLong && (first > 0 || sent > 0)) return dropped(why, Drop::kTooLong, mtu);
    if (attempt != Attempt::kSent) return attempt;
  }
  return Attempt::kSent;
}

// One copy in fragments for the MTU remembered (learned false) or just learned; a remembered one
// the link no longer takes is learned again, once.
Attempt send_cut(int fd, int wake, std::uint8_t* packet, const Intercepted& in, sockaddr_in* to, const AddressKey& key,
                 int mtu, bool learned, Dropped* why, SystemError* error) {
  Attempt sent = send_fragments(fd, wake, packet, in, to, key.ifindex, mtu, why, error);
  if (sent == Attempt::kTooLong && !learned) {
    const Attempt found = learn(fd, key, &mtu, why, error);
    if (found != Attempt::kSent) return found;
    sent = send_fragments(fd, wake, packet, in, to, key.ifindex, mtu, why, error);
  }
  return sent == Attempt::kTooLong ? dropped(why, Drop::kTooLong, mtu) : sent;
}

// After the link refused a copy whole: its MTU, then the copy in fragments.
Attempt send_cut_learning(int fd, int wake, std::uint8_t* packet, const Intercepted& in, sockaddr_in* to,
                          const AddressKey& key, Dropped* why, SystemError* error) {
  int mtu = 0;
  const Attempt found = learn(fd, key, &mtu, why, error);
  if (found != Attempt::kSent) return found;
  return send_cut(fd, wake, packet, in, to, key, mtu, true, why, error);
}

sockaddr_in ipv4_destination(const std::uint8_t* packet) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  std::memcpy(&to.sin_addr, packet + 16, sizeof to.sin_addr);
  return to;
}

// One unicast copy to the datagram's destination, in fragments when the link needs them.
Attempt send_ipv4(int fd, int wake, std::uint8_t* packet, const Intercepted& in, Dropped* why, SystemError* error) {
  sockaddr_in to = ipv4_destination(packet);
  const AddressKey key = ipv4_path(packet, 0);
  int mtu = 0;
  if (known_path_mtu(key, &mtu) && in.length > static_cast<std::size_t>(mtu))
    return send_cut(fd, wake, packet, in, &to, key, mtu, false, why, error);
  iovec whole{packet, in.length};
  mmsghdr message{};
  Ipv4Control control;
  ipv4_message(&message.msg_hdr, &to, &control, 0, &whole, 1);
  std::size_t sent = 0;
  const Attempt attempt = send_messages(fd, wake, &message, 1, &sent, why, error);
  return attempt == Attempt::kTooLong ? send_cut_learning(fd, wake, packet, in, &to, key, why, error) : attempt;
}

struct Ipv6Control {
  alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(in6_pktinfo))];
};

// The route of an IPv6 copy looked up with the datagram's source, as forwarding does (ip -6 rule
// from, routes by source): IPV6_PKTINFO, which IPV6_FREEBIND lets name an address not this host's.
void route_with_source(msghdr* message, Ipv6Control* control, const std::uint8_t* source) {
  in6_pktinfo info{};
  std::memcpy(&info.ipi6_addr, source, sizeof info.ipi6_addr);
  put_control(message, control->bytes, IPPROTO_IPV6, IPV6_PKTINFO, &info, sizeof info);
}

bool link_local_ipv6(const std::uint8_t* address) { return address[0] == 0xFE && (address[1] & 0xC0) == 0x80; }

// As ip6_forward: no copy from a source no router forwards from, or beyond a link-local source's
// link; no IPv6 multicast routing here; link-local destinations stay on their link.
Attempt send_ipv6(int fd, int wake, std::uint8_t* packet, const Intercepted& in, Dropped* why, SystemError* error) {
  const std::uint8_t* source = packet + 8;
  const std::uint8_t* destination = packet + 24;
  if (!single_host(AF_INET6, source)) return dropped(why, Drop::kBadSource);
  if (destination[0] == 0xFF) return dropped(why, Drop::kNoRoute);
  if (link_local_ipv6(source)) return dropped(why, Drop::kNoRoute, 0, Answer::kBeyondScope);
  if (link_local_ipv6(destination)) return dropped(why, Drop::kNoRoute);
  const AddressKey key = path_key(AF_INET6, destination, source, 0);
  int mtu = 0;
  if (!known_path_mtu(key, &mtu) || in.length <= static_cast<std::size_t>(mtu)) {
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    std::memcpy(&to.sin6_addr, destination, sizeof to.sin6_addr);
    iovec whole{packet, in.length};
    mmsghdr message{};
    message.msg_hdr.msg_name = &to;
    message.msg_hdr.msg_namelen = sizeof to;
    message.msg_hdr.msg_iov = &whole;
    message.msg_hdr.msg_iovlen = 1;
    Ipv6Control control;
    route_with_source(&message.msg_hdr, &control, source);
    std::size_t sent = 0;
    const Attempt attempt = send_messages(fd, wake, &message, 1, &sent, why, error);
    if (attempt != Attempt::kTooLong) return attempt;
    const Attempt found = learn(fd, key, &mtu, why, error);
    if (found != Attempt::kSent) return found;
  }
  return dropped(why, Drop::kTooLong, mtu < 1280 ? 1280 : mtu, Answer::kTooBig);
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

// One copy out of each interface the multicast forwarding cache sends the datagram to: the whole
// ones in one sendmmsg, those a link needs in fragments one by one.
Sent forward_multicast(const TapSockets& tap, int wake, std::uint8_t* packet, const Intercepted& in,
                       int arrival_ifindex, int* copies, Dropped* why, SystemError* error) {
  *why = {Drop::kNoRoute, 0, Answer::kNone};
  if (packet[16] == 224 && packet[17] == 0 && packet[18] == 0) return Sent::kDone;  // link-local group
  std::uint32_t source, group;
  std::memcpy(&source, packet + 12, sizeof source);
  std::memcpy(&group, packet + 16, sizeof group);
  MulticastEntries entries;
  if (find_multicast_entries(source, group, &entries, error) == Lookup::kFailed) return Sent::kFailed;
  int outputs[kMulticastOutputsMax];
  const std::size_t found = multicast_outputs(entries, arrival_ifindex, in.ttl, outputs);
  sockaddr_in to = ipv4_destination(packet);
  iovec whole{packet, in.length};
  mmsghdr messages[kMulticastOutputsMax];
  Ipv4Control control[kMulticastOutputsMax];
  int ifindex[kMulticastOutputsMax];
  std::size_t count = 0;
  for (std::size_t i = 0; i < found; ++i) {
    const AddressKey key = ipv4_path(packet, outputs[i]);
    int mtu = 0;
    if (known_path_mtu(key, &mtu) && in.length > static_cast<std::size_t>(mtu)) {
      const Sent sent = outcome(send_cut(tap.out, wake, packet, in, &to, key, mtu, false, why, error), copies);
      if (sent != Sent::kDone) return sent;
      continue;
    }
    ipv4_message(&messages[count].msg_hdr, &to, &control[count], outputs[i], &whole, 1);
    ifindex[count++] = outputs[i];
  }
  for (std::size_t next = 0; next < count; ++next) {
    std::size_t sent = 0;
    Attempt attempt = send_messages(tap.out, wake, messages + next, count - next, &sent, why, error);
    *copies += static_cast<int>(sent);
    next += sent;
    if (attempt == Attempt::kSent) break;
    if (attempt == Attempt::kTooLong) {
      const AddressKey key = ipv4_path(packet, ifindex[next]);
      attempt = send_cut_learning(tap.out, wake, packet, in, &to, key, why, error);
    }
    const Sent outcome_of_one = outcome(attempt, copies);
    if (outcome_of_one != Sent::kDone) return outcome_of_one;
  }
  if (*copies > 0) *why = {Drop::kNone, 0, Answer::kNone};
  return Sent::kDone;
}

// The bytes prepare_forward changes, as they arrived.
struct Arrival {
  std::uint8_t ttl;
  std::uint8_t ipv4_checksum[2];
  std::uint8_t udp_checksum[2];
};

std::size_t ttl_offset(const Intercepted& in) { return in.family == AF_INET ? 8 : 7; }

Arrival arrival_of(const std::uint8_t* packet, const Intercepted& in) {
  Arrival a{packet[ttl_offset(in)], {packet[10], packet[11]}, {}};
  if (in.udp) std::memcpy(a.udp_checksum, packet + in.transport + 6, 2);
  return a;
}

void restore(std::uint8_t* packet, const Intercepted& in, const Arrival& a) {
  packet[ttl_offset(in)] = a.ttl;
  if (in.family == AF_INET) std::memcpy(packet + 10, a.ipv4_checksum, 2);
  if (in.udp) std::memcpy(packet + in.transport + 6, a.udp_checksum, 2);
}

struct TosControl {
  alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(int))];
};

// The error a router answers the drop with, to the datagram's source, if it may send one now.
// One that cannot go at once is not worth waiting for.
void send_icmp_error(const TapSockets& tap, const std::uint8_t* packet, const Intercepted& in, int arrival_ifindex,
                     const Dropped& why) {
  IcmpError e;
  if (tap.icmp < 0 || !build_icmp_error(packet, in, why.answer, why.mtu, &e)) return;
  const std::uint8_t* source = packet + (in.family == AF_INET ? 12 : 8);
  if (!icmp_error_allowed(in.family, source, e.header[0], e.header[1])) return;
  iovec parts[2] = {{e.header, kIcmpHeader}, {const_cast<std::uint8_t*>(packet), e.quoted}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  sockaddr_in to4{};
  sockaddr_in6 to6{};
  TosControl control{};
  if (in.family == AF_INET) {
    to4.sin_family = AF_INET;
    std::memcpy(&to4.sin_addr, source, 4);
    message.msg_name = &to4;
    message.msg_namelen = sizeof to4;
    // As the kernel's errors: precedence "internetwork control", the datagram's TOS bits kept.
    const int tos = 0xC0 | (packet[1] & 0x1E);
    put_control(&message, control.bytes, IPPROTO_IP, IP_TOS, &tos, sizeof tos);
  } else {
    to6.sin6_family = AF_INET6;
    std::memcpy(&to6.sin6_addr, source, 16);
    if (link_local_ipv6(source)) to6.sin6_scope_id = static_cast<std::uint32_t>(arrival_ifindex);
    message.msg_name = &to6;
    message.msg_namelen = sizeof to6;
  }
  (void)sendmsg(tap.icmp, &message, MSG_DONTWAIT);
}

}  // namespace

Sent forward_intercepted(const TapSockets& tap, int wake, std::uint8_t* packet, const Intercepted& in,
                         int arrival_ifindex, int* copies, SystemError* error, Dropped* why) {
  Dropped unused;
  Dropped* reason = why != nullptr ? why : &unused;
  *reason = {Drop::kNone, 0, Answer::kNone};
  *copies = 0;
  const Arrival arrival = arrival_of(packet, in);
  Sent sent = Sent::kDone;
  if (!prepare_forward(packet, in))
    *reason = {Drop::kTtlExpired, 0, Answer::kTimeExceeded};
  else if (in.family == AF_INET6)
    sent = outcome(send_ipv6(tap.out, wake, packet, in, reason, error), copies);
  else if ((packet[16] & 0xF0) == 0xE0)
    sent = forward_multicast(tap, wake, packet, in, arrival_ifindex, copies, reason, error);
  else
    sent = outcome(send_ipv4(tap.out, wake, packet, in, reason, error), copies);
  if (sent == Sent::kDone && *copies == 0) {
    restore(packet, in, arrival);
    send_icmp_error(tap, packet, in, arrival_ifindex, *reason);
  }
  return sent;
}

}  // namespace nimbo
