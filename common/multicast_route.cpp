// SPDX-License-Identifier: Apache-2.0
#include "multicast_route.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nimbo {

namespace {

constexpr std::size_t kHeader = sizeof(nlmsghdr);          // 16
constexpr std::size_t kRouteMessage = sizeof(rtmsg);       // 12
constexpr std::size_t kAttributeHeader = sizeof(rtattr);   // 4
constexpr std::size_t kNexthop = sizeof(rtnexthop);        // 8
constexpr std::size_t kAnswerMax = 4096;

std::size_t align4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

template <typename T>
T read(const std::uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

std::size_t put_attribute(std::uint8_t* at, std::uint16_t type, std::uint32_t value) {
  const rtattr attribute{static_cast<unsigned short>(kAttributeHeader + sizeof value), type};
  std::memcpy(at, &attribute, sizeof attribute);
  std::memcpy(at + sizeof attribute, &value, sizeof value);
  return kAttributeHeader + sizeof value;
}

bool read_nexthops(const std::uint8_t* at, std::size_t length, MulticastRoute* route) {
  while (length >= kNexthop) {
    const rtnexthop hop = read<rtnexthop>(at);
    if (hop.rtnh_len < kNexthop || hop.rtnh_len > length) return false;
    if (route->outputs < kMulticastOutputsMax)
      route->output[route->outputs++] = {hop.rtnh_ifindex, hop.rtnh_hops};
    const std::size_t step = align4(hop.rtnh_len);
    if (step >= length) break;
    at += step;
    length -= step;
  }
  return true;
}

// The attributes of an RTM_NEWROUTE: RTA_IIF and RTA_MULTIPATH matter, the rest is passed over.
bool read_attributes(const std::uint8_t* at, std::size_t length, MulticastRoute* route) {
  while (length >= kAttributeHeader) {
    const rtattr attribute = read<rtattr>(at);
    if (attribute.rta_len < kAttributeHeader || attribute.rta_len > length) return false;
    const std::uint8_t* data = at + kAttributeHeader;
    const std::size_t size = attribute.rta_len - kAttributeHeader;
    if (attribute.rta_type == RTA_IIF && size >= sizeof(int)) route->input_ifindex = read<int>(data);
    if (attribute.rta_type == RTA_MULTIPATH && !read_nexthops(data, size, route)) return false;
    const std::size_t step = align4(attribute.rta_len);
    if (step >= length) break;
    at += step;
    length -= step;
  }
  return true;
}

// The TTL threshold of the route's output on ifindex; -1 when it does not send there.
int threshold_on(const MulticastRoute& route, int ifindex) {
  for (std::size_t i = 0; i < route.outputs; ++i) {
    if (route.output[i].ifindex == ifindex) return route.output[i].threshold;
  }
  return -1;
}

bool read_route(const std::uint8_t* message, std::size_t length, MulticastRoute* route) {
  if (length < kHeader + kRouteMessage) return false;
  if (read<rtmsg>(message + kHeader).rtm_family != RTNL_FAMILY_IPMR) return false;
  route->input_ifindex = 0;
  route->outputs = 0;
  return read_attributes(message + kHeader + kRouteMessage, length - kHeader - kRouteMessage, route);
}

bool lists(const MulticastRoute& route, int ifindex) { return threshold_on(route, ifindex) >= 0; }

// The (*,*) entry's outputs form the static tree: an any-source entry whose incoming interface
// lies on it takes datagrams from any interface on it.
bool on_tree(const MulticastEntries& entries, int a, int b) {
  return entries.has_any_any && lists(entries.any_any, a) && lists(entries.any_any, b);
}

// The entry ip_mr_input takes for a datagram that arrived on `arrival`, or null.
const MulticastRoute* pick(const MulticastEntries& entries, int arrival) {
  if (entries.has_source_group) return &entries.source_group;
  const MulticastRoute& any_group = entries.any_group;
  if (entries.has_any_group && (lists(any_group, arrival) || on_tree(entries, any_group.input_ifindex, arrival)))
    return &any_group;
  if (entries.has_any_any && lists(entries.any_any, arrival)) return &entries.any_any;
  return nullptr;
}

// Asks for the entry of (source, group) on `fd`, a netlink socket, with request number `sequence`.
Lookup ask(int fd, std::uint32_t source, std::uint32_t group, std::uint32_t sequence, MulticastRoute* route,
           SystemError* error) {
  std::uint8_t request[kMulticastRequestSize];
  multicast_route_request(source, group, sequence, request);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0) {
    *error = {"sendto(NETLINK_ROUTE)", errno};
    return Lookup::kFailed;
  }
  // The kernel answers within the send, so the answer is queued by now.
  alignas(nlmsghdr) std::uint8_t answer[kAnswerMax];
  sockaddr_nl from{};
  socklen_t from_length = sizeof from;
  const ssize_t n = recvfrom(fd, answer, sizeof answer, MSG_DONTWAIT | MSG_TRUNC,
                             reinterpret_cast<sockaddr*>(&from), &from_length);
  if (n < 0 && errno != EAGAIN) {
    *error = {"recvfrom(NETLINK_ROUTE)", errno};
    return Lookup::kFailed;
  }
  const bool found = n > 0 && static_cast<std::size_t>(n) <= sizeof answer && from.nl_pid == 0 &&
                     parse_multicast_route(answer, static_cast<std::size_t>(n), sequence, route);
  return found ? Lookup::kFound : Lookup::kNone;
}

}  // namespace

void multicast_route_request(std::uint32_t source, std::uint32_t group, std::uint32_t sequence,
                             std::uint8_t (&request)[kMulticastRequestSize]) {
  std::memset(request, 0, sizeof request);
  nlmsghdr header{};
  header.nlmsg_len = kMulticastRequestSize;
  header.nlmsg_type = RTM_GETROUTE;
  header.nlmsg_flags = NLM_F_REQUEST;
  header.nlmsg_seq = sequence;
  std::memcpy(request, &header, sizeof header);
  rtmsg message{};
  message.rtm_family = RTNL_FAMILY_IPMR;
  message.rtm_src_len = 32;
  message.rtm_dst_len = 32;
  message.rtm_table = RT_TABLE_DEFAULT;
  std::memcpy(request + kHeader, &message, sizeof message);
  std::size_t at = kHeader + kRouteMessage;
  at += put_attribute(request + at, RTA_SRC, source);
  at += put_attribute(request + at, RTA_DST, group);
  put_attribute(request + at, RTA_TABLE, RT_TABLE_DEFAULT);
}

bool parse_multicast_route(const std::uint8_t* answer, std::size_t length, std::uint32_t sequence,
                           MulticastRoute* route) {
  while (length >= kHeader) {
    const nlmsghdr header = read<nlmsghdr>(answer);
    if (header.nlmsg_len < kHeader || header.nlmsg_len > length) return false;
    if (header.nlmsg_seq == sequence) {
      if (header.nlmsg_type != RTM_NEWROUTE) return false;  // NLMSG_ERROR: no entry, or no multicast routing
      return read_route(answer, header.nlmsg_len, route);
    }
    const std::size_t step = align4(header.nlmsg_len);
    if (step >= length) break;
    answer += step;
    length -= step;
  }
  return false;
}

std::size_t multicast_outputs(const MulticastEntries& entries, int arrival_ifindex, int ttl,
                              int (&ifindex)[kMulticastOutputsMax]) {
  const MulticastRoute* entry = pick(entries, arrival_ifindex);
  if (entry == nullptr) return 0;
  const bool any_source = entry != &entries.source_group || entries.any_source;
  // ip_mr_forward: from the entry's incoming interface; an any-source entry, also from its tree.
  const bool accepted = (entry->input_ifindex != 0 && entry->input_ifindex == arrival_ifindex) ||
                        (any_source && on_tree(entries, entry->input_ifindex, arrival_ifindex));
  if (!accepted) return 0;
  if (entry == &entries.any_any) {  // only towards its incoming interface, and only from elsewhere
    const int upstream = entries.any_any.input_ifindex;
    const int threshold = threshold_on(entries.any_any, upstream);
    if (arrival_ifindex == upstream || threshold < 0 || ttl <= threshold) return 0;
    ifindex[0] = upstream;
    return 1;
  }
  std::size_t count = 0;
  for (std::size_t i = 0; i < entry->outputs; ++i) {
    const MulticastRoute::Output& out = entry->output[i];
    const bool back_where_it_came = any_source && out.ifindex == arrival_ifindex;
    if (ttl > out.threshold && !back_where_it_came) ifindex[count++] = out.ifindex;
  }
  return count;
}

Lookup find_multicast_entries(std::uint32_t source, std::uint32_t group, MulticastEntries* entries,
                              SystemError* error) {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) {
    *error = {"socket(NETLINK_ROUTE)", errno};
    return Lookup::kFailed;
  }
  entries->has_source_group = entries->has_any_group = entries->has_any_any = false;
  entries->any_source = source == 0;
  // Requests numbered 1 to 3: the socket is new, nothing else is numbered on it.
  Lookup result = ask(fd, source, group, 1, &entries->source_group, error);
  entries->has_source_group = result == Lookup::kFound;
  if (result == Lookup::kNone && source != 0) {  // for source 0.0.0.0 that was the (*,G) entry
    result = ask(fd, 0, group, 2, &entries->any_group, error);
    entries->has_any_group = result == Lookup::kFound;
  }
  // Any-source entries take datagrams from the (*,*) entry's static tree too.
  if (result != Lookup::kFailed && (!entries->has_source_group || entries->any_source)) {
    result = ask(fd, 0, 0, 3, &entries->any_any, error);
    entries->has_any_any = result == Lookup::kFound;
  }
  close(fd);
  if (result == Lookup::kFailed) return result;
  return entries->has_source_group || entries->has_any_group || entries->has_any_any ? Lookup::kFound
                                                                                      : Lookup::kNone;
}

}  // namespace nimbo
