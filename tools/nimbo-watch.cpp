// SPDX-License-Identifier: Apache-2.0
// nimbo-watch: shows what the network delivers to a UDP port, one line per datagram:
//
//   from 127.0.0.1:41234 to 239.1.2.3:5000 ttl 128 options 94 04 00 00 length 5 data 68656c6c6f
//
// By default it listens on the port itself (joining --group if given; SO_REUSEADDR, so it can
// share the port with other listeners that set it) and learns each datagram's TTL and IP options
// from IP_RECVTTL and IP_RECVOPTS. With --raw it reads IPv4 headers from a raw UDP socket
// instead (needs CAP_NET_RAW) and sees datagrams bound for the port whoever receives them.
//
// Prints "ready" once it listens; exits 0 after --count datagrams, 2 after --timeout-ms without one.
#include <arpa/inet.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Options {
  const char* group = nullptr;
  int port = -1;
  long count = 1;
  int timeout_ms = 10000;
  bool raw = false;
  std::size_t data_bytes = 64;  // payload bytes shown in hex
};

struct Datagram {
  sockaddr_in from{};
  in_addr to{};
  int ttl = -1;
  unsigned char options[40] = {};  // an IPv4 header holds at most 40 option bytes
  std::size_t options_length = 0;
  const unsigned char* data = nullptr;
  std::size_t length = 0;
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: nimbo-watch --port P [--group G] [--count N] [--timeout-ms T] [--raw]"
               " [--data-bytes B]\n");
  std::exit(64);
}

[[noreturn]] void die(const char* what) {
  std::perror(what);
  std::exit(1);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : (usage(), nullptr); };
    if (arg == "--port") o.port = std::atoi(value());
    else if (arg == "--group") o.group = value();
    else if (arg == "--count") o.count = std::atol(value());
    else if (arg == "--timeout-ms") o.timeout_ms = std::atoi(value());
    else if (arg == "--data-bytes") o.data_bytes = static_cast<std::size_t>(std::atol(value()));
    else if (arg == "--raw") o.raw = true;
    else usage();
  }
  if (o.port < 0 || o.port > 65535) usage();
  return o;
}

void print(const Datagram& d, std::size_t data_bytes) {
  char from[INET_ADDRSTRLEN], to[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &d.from.sin_addr, from, sizeof from);
  inet_ntop(AF_INET, &d.to, to, sizeof to);
  std::printf("from %s:%u to %s ttl %d options", from, ntohs(d.from.sin_port), to, d.ttl);
  if (d.options_length == 0) std::printf(" none");
  for (std::size_t i = 0; i < d.options_length; ++i) std::printf(" %02x", d.options[i]);
  std::printf(" length %zu data ", d.length);
  for (std::size_t i = 0; i < d.length && i < data_bytes; ++i) std::printf("%02x", d.data[i]);
  if (d.length > data_bytes) std::printf("...");
  std::printf("\n");
  std::fflush(stdout);
}

int listen_udp(const Options& o) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) die("socket");
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on) != 0) die("IP_RECVTTL");
  if (setsockopt(fd, IPPROTO_IP, IP_RECVOPTS, &on, sizeof on) != 0) die("IP_RECVOPTS");
  if (setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) die("IP_PKTINFO");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(o.port));
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) die("bind");
  if (o.group != nullptr) {
    ip_mreq join{};
    if (inet_pton(AF_INET, o.group, &join.imr_multiaddr) != 1) usage();
    join.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0)
      die("IP_ADD_MEMBERSHIP");
  }
  return fd;
}

// One datagram from the port's own socket, with TTL, options and destination from control data.
bool receive_udp(int fd, unsigned char* packet, std::size_t size, Datagram* d) {
  alignas(cmsghdr) unsigned char control[256];
  iovec iov{packet, size};
  msghdr msg{};
  msg.msg_name = &d->from;
  msg.msg_namelen = sizeof d->from;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(fd, &msg, 0);
  if (n < 0) die("recvmsg");
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != IPPROTO_IP) continue;
    if (c->cmsg_type == IP_TTL) std::memcpy(&d->ttl, CMSG_DATA(c), sizeof d->ttl);
    if (c->cmsg_type == IP_RECVOPTS) {  // the option bytes, absent when there are none
      d->options_length = std::min(c->cmsg_len - CMSG_LEN(0), sizeof d->options);
      std::memcpy(d->options, CMSG_DATA(c), d->options_length);
    }
    if (c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      d->to = info.ipi_addr;
    }
  }
  d->data = packet;
  d->length = static_cast<std::size_t>(n);
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
  d->from.sin_addr.s_addr = ip.saddr;
  d->from.sin_port = udp.source;
  d->to.s_addr = ip.daddr;
  d->ttl = ip.ttl;
  d->options_length = header - sizeof ip;  // at most 40: ihl is four bits
  std::memcpy(d->options, packet + sizeof ip, d->options_length);
  d->data = packet + header + sizeof udp;
  d->length = length - header - sizeof udp;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const int fd = o.raw ? socket(AF_INET, SOCK_RAW, IPPROTO_UDP) : listen_udp(o);
  if (fd < 0) die("socket");
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
    const bool mine = o.raw ? receive_raw(fd, o.port, packet, sizeof packet, &d)
                            : receive_udp(fd, packet, sizeof packet, &d);
    if (!mine) continue;
    print(d, o.data_bytes);
    ++seen;
  }
  return 0;
}
