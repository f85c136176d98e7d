// SPDX-License-Identifier: Apache-2.0
// nimbo-watch: shows what the network delivers to a UDP port, one line per datagram:
//
//   from 127.0.0.1:41234 to 239.1.2.3 ttl 128 options 94 04 00 00 length 5 data 68656c6c6f
//   from [::1]:41234 to [ff15::1]:5000 hoplimit 64 hopopts 11 00 05 02 00 01 01 00 length 5 data 68656c6c6f
//
// By default it listens on the port itself (joining --group if given; SO_REUSEADDR, so it can
// share the port with other listeners that set it) and learns each datagram's TTL and IP options
// from IP_RECVTTL and IP_RECVOPTS. With --raw it reads IPv4 headers from a raw UDP socket
// instead (needs CAP_NET_RAW) and sees datagrams bound for the port whoever receives them, with
// a wrong UDP checksum too; --checksum then shows the UDP checksum field after the length.
// With --ipv6 it listens on an IPv6 socket (joining --group on --interface if given) and shows
// the hop limit and the whole hop-by-hop options header, if any.
//
// Prints "ready" once it listens; exits 0 after --count datagrams, 2 after --timeout-ms without
// one, 64 on a bad command line.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "arguments.h"

namespace {

struct Options {
  const char* group = nullptr;
  const char* interface = nullptr;
  in_addr group4{};
  in6_addr group6{};
  unsigned interface_index = 0;
  int port = 0;
  long count = 1;
  int timeout_ms = 10000;
  bool raw = false;
  bool checksum = false;  // --raw only
  bool ipv6 = false;
  std::size_t data_bytes = 64;  // payload bytes shown in hex
};

struct Datagram {
  std::string from;  // address and port as printed
  std::string to;
  int ttl = -1;  // the hop limit for IPv6
  unsigned char options[2048] = {};  // IPv4 options (at most 40 bytes) or the hop-by-hop header
  std::size_t options_length = 0;
  const unsigned char* data = nullptr;
  std::size_t length = 0;
  int checksum = -1;  // the UDP checksum field, --raw only
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: nimbo-watch --port P [--group G] [--count N] [--timeout-ms T] [--raw [--checksum]]"
               " [--data-bytes B]\n"
               "       nimbo-watch --ipv6 --port P [--group G [--interface IF]] [--count N]"
               " [--timeout-ms T] [--data-bytes B]\n");
  std::exit(64);
}

using nimbo_tools::die;

long number(const char* text, long min, long max) { return nimbo_tools::number_or_usage(text, min, max, usage); }

// The group must be a multicast address of the chosen family, the interface one that exists.
void check_group(Options* o) {
  if (o->interface != nullptr && (o->group == nullptr || !o->ipv6)) usage();
  if (o->group == nullptr) return;
  if (o->ipv6) {
    if (inet_pton(AF_INET6, o->group, &o->group6) != 1 || !IN6_IS_ADDR_MULTICAST(&o->group6)) usage();
  } else if (inet_pton(AF_INET, o->group, &o->group4) != 1 || !IN_MULTICAST(ntohl(o->group4.s_addr))) {
    usage();
  }
  if (o->interface != nullptr && (o->interface_index = if_nametoindex(o->interface)) == 0) usage();
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--raw") o.raw = true;
    else if (arg == "--ipv6") o.ipv6 = true;
    else if (arg == "--checksum") o.checksum = true;
    else if (i + 1 >= argc) usage();
    else if (arg == "--port") o.port = static_cast<int>(number(argv[++i], 1, 65535));
    else if (arg == "--group") o.group = argv[++i];
    else if (arg == "--interface") o.interface = argv[++i];
    else if (arg == "--count") o.count = number(argv[++i], 1, LONG_MAX);
    else if (arg == "--timeout-ms") o.timeout_ms = static_cast<int>(number(argv[++i], 0, INT_MAX));
    else if (arg == "--data-bytes") o.data_bytes = static_cast<std::size_t>(number(argv[++i], 0, 65536));
    else usage();
  }
  if (o.port == 0 || (o.raw && o.ipv6) || (o.checksum && !o.raw)) usage();
  check_group(&o);
  return o;
}

std::string text(const in_addr& address) {
  char s[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &address, s, sizeof s);
  return s;
}

std::string text(const in_addr& address, in_port_t port) {
  return text(address) + ":" + std::to_string(ntohs(port));
}

std::string text(const in6_addr& address, in_port_t port) {
  char s[INET6_ADDRSTRLEN];
  inet_ntop(AF_INET6, &address, s, sizeof s);
  return "[" + std::string(s) + "]:" + std::to_string(ntohs(port));
}

void print(const Datagram& d, const Options& o) {
  std::printf("from %s to %s %s %d %s", d.from.c_str(), d.to.c_str(), o.ipv6 ? "hoplimit" : "ttl", d.ttl,
              o.ipv6 ? "hopopts" : "options");
  if (d.options_length == 0) std::printf(" none");
  for (std::size_t i = 0; i < d.options_length; ++i) std::printf(" %02x", d.options[i]);
  std::printf(" length %zu", d.length);
  if (o.checksum) std::printf(" checksum %04x", d.checksum);
  std::printf(" data ");
  for (std::size_t i = 0; i < d.length && i < o.data_bytes; ++i) std::printf("%02x", d.data[i]);
  if (d.length > o.data_bytes) std::printf("...");
  std::printf("\n");
  std::fflush(stdout);
}

void enable(int fd, int level, int option, const char* name) {
  const int on = 1;
  if (setsockopt(fd, level, option, &on, sizeof on) != 0) die(name);
}

int listen_udp(const Options& o) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) die("socket");
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  enable(fd, IPPROTO_IP, IP_RECVTTL, "IP_RECVTTL");
  enable(fd, IPPROTO_IP, IP_RECVOPTS, "IP_RECVOPTS");
  enable(fd, IPPROTO_IP, IP_PKTINFO, "IP_PKTINFO");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(o.port));
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) die("bind");
  if (o.group != nullptr) {
    ip_mreq join{};
    join.imr_multiaddr = o.group4;
    join.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0)
      die("IP_ADD_MEMBERSHIP");
  }
  return fd;
}

int listen_udp6(const Options& o) {
  const int fd = socket(AF_INET6, SOCK_DGRAM, 0);
  if (fd < 0) die("socket");
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  enable(fd, IPPROTO_IPV6, IPV6_V6ONLY, "IPV6_V6ONLY");
  enable(fd, IPPROTO_IPV6, IPV6_RECVHOPOPTS, "IPV6_RECVHOPOPTS");
  enable(fd, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, "IPV6_RECVHOPLIMIT");
  enable(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, "IPV6_RECVPKTINFO");
  sockaddr_in6 local{};
  local.sin6_family = AF_INET6;
  local.sin6_port = htons(static_cast<uint16_t>(o.port));
  local.sin6_addr = in6addr_any;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) die("bind");
  if (o.group != nullptr) {
    ipv6_mreq join{};
    join.ipv6mr_multiaddr = o.group6;
    join.ipv6mr_interface = o.interface_index;  // 0: the interface the kernel picks
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &join, sizeof join) != 0) die("IPV6_JOIN_GROUP");
  }
  return fd;
}

// Reads one datagram with its control data into packet; returns the payload length.
std::size_t receive(int fd, unsigned char* packet, std::size_t size, sockaddr* from, socklen_t from_size,
                    msghdr* msg, unsigned char* control, std::size_t control_size) {
  iovec iov{packet, size};
  *msg = msghdr{};
  msg->msg_name = from;
  msg->msg_namelen = from_size;
  msg->msg_iov = &iov;
  msg->msg_iovlen = 1;
  msg->msg_control = control;
  msg->msg_controllen = control_size;
  const ssize_t n = recvmsg(fd, msg, 0);
  if (n < 0) die("recvmsg");
  msg->msg_iov = nullptr;  // the payload is in packet; callers read only the control data
  msg->msg_iovlen = 0;
  return static_cast<std::size_t>(n);
}

void copy_options(const cmsghdr* c, Datagram* d) {
  d->options_length = std::min(c->cmsg_len - CMSG_LEN(0), sizeof d->options);
  std::memcpy(d->options, CMSG_DATA(c), d->options_length);
}

// One datagram from the port's own socket, with TTL, options and destination from control data.
bool receive_udp(int fd, unsigned char* packet, std::size_t size, Datagram* d) {
  alignas(cmsghdr) unsigned char control[256];
  sockaddr_in from{};
  msghdr msg;
  d->length = receive(fd, packet, size, reinterpret_cast<sockaddr*>(&from), sizeof from, &msg, control,
                      sizeof control);
  d->data = packet;
  d->from = text(from.sin_addr, from.sin_port);
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != IPPROTO_IP) continue;
    if (c->cmsg_type == IP_TTL) std::memcpy(&d->ttl, CMSG_DATA(c), sizeof d->ttl);
    if (c->cmsg_type == IP_RECVOPTS) copy_options(c, d);  // absent when there are none
    if (c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      d->to = text(info.ipi_addr);
    }
  }
  return true;
}

// One datagram from the IPv6 socket: hop limit, hop-by-hop header and destination from control data.
bool receive_udp6(int fd, int port, unsigned char* packet, std::size_t size, Datagram* d) {
  alignas(cmsghdr) unsigned char control[4096];  // a hop-by-hop header holds up to 2048 bytes
  sockaddr_in6 from{};
  msghdr msg;
  d->length = receive(fd, packet, size, reinterpret_cast<sockaddr*>(&from), sizeof from, &msg, control,
                      sizeof control);
  d->data = packet;
  d->from = text(from.sin6_addr, from.sin6_port);
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != IPPROTO_IPV6) continue;
    if (c->cmsg_type == IPV6_HOPLIMIT) std::memcpy(&d->ttl, CMSG_DATA(c), sizeof d->ttl);
    if (c->cmsg_type == IPV6_HOPOPTS) copy_options(c, d);  // absent when there is no such header
    if (c->cmsg_type == IPV6_PKTINFO) {
      in6_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      d->to = text(info.ipi6_addr, htons(static_cast<uint16_t>(port)));
    }
  }
  return true;
}

// One IPv4 packet from the raw socket; false when it is not a UDP datagram for the port.
bool receive_raw(int fd, int port, unsigned char* packet, std::size_t size, Datagram* d) {
  const ssize_t n = recv(fd, packet, size, 0);
  if (n < 0) die("recv");
  const auto length = static_cast<std::size_t>(n);
  if (length < sizeof(iphdr)) return false;
  iphdr ip;
  std::memcpy(&ip, packet, sizeof ip);
  const std::size_t header = ip.ihl * 4u;
  if (header < sizeof ip || length < header + sizeof(udphdr)) return false;
  udphdr udp;
  std::memcpy(&udp, packet + header, sizeof udp);
  if (ntohs(udp.dest) != port) return false;
  in_addr source{ip.saddr}, destination{ip.daddr};
  d->from = text(source, udp.source);
  d->to = text(destination);
  d->ttl = ip.ttl;
  d->checksum = ntohs(udp.check);
  d->options_length = header - sizeof ip;  // at most 40: ihl is four bits
  std::memcpy(d->options, packet + sizeof ip, d->options_length);
  d->data = packet + header + sizeof udp;
  d->length = length - header - sizeof udp;
  return true;
}

int open_socket(const Options& o) {
  if (o.ipv6) return listen_udp6(o);
  if (!o.raw) return listen_udp(o);
  const int fd = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
  if (fd < 0) die("socket");
  return fd;
}

bool receive_one(int fd, const Options& o, unsigned char* packet, std::size_t size, Datagram* d) {
  if (o.ipv6) return receive_udp6(fd, o.port, packet, size, d);
  if (o.raw) return receive_raw(fd, o.port, packet, size, d);
  return receive_udp(fd, packet, size, d);
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const int fd = open_socket(o);
  std::printf("ready\n");
  std::fflush(stdout);

  static unsigned char packet[65536];
  for (long seen = 0; seen < o.count;) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, o.timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) die("poll");
    if (ready == 0) {
      std::printf("timeout after %ld datagrams\n", seen);
      return 2;
    }
    Datagram d;
    if (!receive_one(fd, o, packet, sizeof packet, &d)) continue;
    print(d, o);
    ++seen;
  }
  return 0;
}
