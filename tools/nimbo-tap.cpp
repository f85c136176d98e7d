// SPDX-License-Identifier: Apache-2.0
// nimbo-tap: the router's view. On a forwarding host it takes every UDP datagram that carries
// the IP Router Alert option and is about to be forwarded, prints one line for it, and sends it
// on with its TTL lowered by one, as the router itself would have:
//
//   tap from 198.18.1.2 to 198.18.2.2 ttl 64 options 94 04 00 00 length 5
//
// A raw socket with IP_ROUTER_ALERT gets these datagrams instead of the forwarding path, so the
// tap must send them on itself (through an IPPROTO_RAW socket; the kernel fills the checksum).
// The same raw socket also gets every UDP datagram delivered to this host: those are left alone.
// A datagram longer than the next link's MTU goes on in fragments, as a router would send it;
// one that may not be fragmented (DF) is reported and dropped.
// Prints "ready" once it listens; exits 0 after --count datagrams, 2 after --timeout-ms without one.
#include <arpa/inet.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "arguments.h"

namespace {

constexpr unsigned char kRouterAlert = 0x94;  // copied flag, class 0, option 20
constexpr std::size_t kUdpHeader = 8;

struct Options {
  long count = 1;
  int timeout_ms = 10000;
};

[[noreturn]] void usage() {
  std::fprintf(stderr, "usage: nimbo-tap [--count N] [--timeout-ms T]\n");
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
    long number = 0;
    if (i + 1 >= argc) usage();
    if (arg == "--count" && nimbo_tools::parse_number(argv[++i], 1, LONG_MAX, &number)) o.count = number;
    else if (arg == "--timeout-ms" && nimbo_tools::parse_number(argv[++i], 0, INT_MAX, &number))
      o.timeout_ms = static_cast<int>(number);
    else usage();
  }
  return o;
}

void print(const unsigned char* packet, std::size_t length, const iphdr& ip) {
  char from[INET_ADDRSTRLEN], to[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &ip.saddr, from, sizeof from);
  inet_ntop(AF_INET, &ip.daddr, to, sizeof to);
  std::printf("tap from %s to %s ttl %u options", from, to, ip.ttl);
  const std::size_t header = ip.ihl * 4u;
  if (header == sizeof ip) std::printf(" none");
  for (std::size_t i = sizeof ip; i < header; ++i) std::printf(" %02x", packet[i]);
  std::printf(" length %zu\n", length - header - kUdpHeader);
  std::fflush(stdout);
}

// Calls visit(offset, size) for each option in an IPv4 header's option bytes, up to End of List.
template <typename Visit>
void each_option(const unsigned char* options, std::size_t length, Visit visit) {
  for (std::size_t i = 0; i < length && options[i] != 0;) {
    const std::size_t size = options[i] == 1 ? 1 : (i + 1 < length ? options[i + 1] : 0);
    if (size == 0 || (options[i] != 1 && size < 2) || i + size > length) return;  // malformed
    visit(i, size);
    i += size;
  }
}

bool has_router_alert(const unsigned char* options, std::size_t length) {
  bool found = false;
  each_option(options, length, [&](std::size_t at, std::size_t size) {
    found = found || (options[at] == kRouterAlert && size == 4);
  });
  return found;
}

// True when the kernel takes the address as this host's own (its unicast, broadcast or a
// multicast address): a datagram to it was delivered here, not handed over for forwarding.
bool addressed_here(std::uint32_t address) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) die("socket");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = address;
  const bool own = bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
  close(fd);
  return own;
}

// The MTU of the path towards the address, or 0 when there is no route.
std::size_t path_mtu(std::uint32_t address) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) die("socket");
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9);
  to.sin_addr.s_addr = address;
  int mtu = 0;
  socklen_t size = sizeof mtu;
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
      getsockopt(fd, IPPROTO_IP, IP_MTU, &mtu, &size) != 0)
    mtu = 0;
  close(fd);
  return static_cast<std::size_t>(mtu);
}

// The UDP checksum over the pseudo-header, header and payload. A datagram from a veth peer may
// carry only the partial sum that checksum offload leaves for the hardware to finish; the tap
// takes it before that happens, so it finishes the sum itself.
void fill_udp_checksum(unsigned char* udp, std::size_t length, const iphdr& ip) {
  std::uint32_t sum = 0;
  auto add = [&sum](const void* data, std::size_t n) {
    const auto* b = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < n; i += 2) sum += static_cast<std::uint32_t>(b[i] << 8 | (i + 1 < n ? b[i + 1] : 0));
  };
  const unsigned char pseudo[4] = {0, IPPROTO_UDP, static_cast<unsigned char>(length >> 8),
                                   static_cast<unsigned char>(length)};
  add(&ip.saddr, 4);
  add(&ip.daddr, 4);
  add(pseudo, sizeof pseudo);
  udp[6] = udp[7] = 0;
  add(udp, length);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  std::uint16_t check = static_cast<std::uint16_t>(~sum);
  if (check == 0) check = 0xFFFF;
  udp[6] = static_cast<unsigned char>(check >> 8);
  udp[7] = static_cast<unsigned char>(check);
}

void set_u16(unsigned char* packet, std::size_t at, std::size_t value) {
  const auto network = htons(static_cast<std::uint16_t>(value));
  std::memcpy(packet + at, &network, sizeof network);
}

// Reports a failed send and goes on: one lost datagram must not stop the router.
void send_packet(int out, const unsigned char* packet, std::size_t length, std::uint32_t address) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address;
  if (sendto(out, packet, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
    std::perror("nimbo-tap: sendto");
}

// The header of every fragment after the first: only the options with the copied flag (RFC 791),
// padded with End of List to whole 32-bit words. Returns its length.
std::size_t later_fragment_header(const unsigned char* packet, unsigned char* header) {
  const std::size_t full = (packet[0] & 0x0Fu) * 4u;
  std::size_t length = sizeof(iphdr);
  std::memcpy(header, packet, length);
  const unsigned char* options = packet + sizeof(iphdr);
  each_option(options, full - sizeof(iphdr), [&](std::size_t at, std::size_t size) {
    if ((options[at] & 0x80) == 0) return;
    std::memcpy(header + length, options + at, size);
    length += size;
  });
  while (length % 4 != 0) header[length++] = 0;
  header[0] = static_cast<unsigned char>(0x40 | length / 4);
  return length;
}

// Sends the datagram as fragments that fit the MTU, each payload but the last a multiple of 8.
void send_fragments(int out, const unsigned char* packet, std::size_t length, std::size_t mtu) {
  static unsigned char fragment[65536];
  static std::uint16_t next_id = 1;
  iphdr ip;
  std::memcpy(&ip, packet, sizeof ip);
  const std::size_t first_header = ip.ihl * 4u;
  const std::size_t base = (ntohs(ip.frag_off) & IP_OFFMASK) * 8u;
  const bool more_after = (ntohs(ip.frag_off) & IP_MF) != 0;
  unsigned char later_header[60];
  const std::size_t later_length = later_fragment_header(packet, later_header);
  if (ip.id == 0) ip.id = htons(next_id++);  // the kernel would give each fragment its own id
  for (std::size_t sent = 0; first_header + sent < length;) {
    const std::size_t header = sent == 0 ? first_header : later_length;
    std::memcpy(fragment, sent == 0 ? packet : later_header, header);
    const std::size_t left = length - first_header - sent;
    const bool last = left <= mtu - header;
    const std::size_t chunk = last ? left : (mtu - header) / 8 * 8;
    std::memcpy(fragment + header, packet + first_header + sent, chunk);
    set_u16(fragment, offsetof(iphdr, tot_len), header + chunk);
    std::memcpy(fragment + offsetof(iphdr, id), &ip.id, sizeof ip.id);
    set_u16(fragment, offsetof(iphdr, frag_off), (base + sent) / 8 | (last && !more_after ? 0 : IP_MF));
    send_packet(out, fragment, header + chunk, ip.daddr);
    sent += chunk;
  }
}

// Sends the datagram on as the router would: TTL one lower, in fragments if the next link needs them.
void forward(int out, unsigned char* packet, std::size_t length) {
  iphdr ip;
  std::memcpy(&ip, packet, sizeof ip);
  if (ip.ttl <= 1) return;  // a router drops it here
  const std::size_t header = ip.ihl * 4u;
  if ((ntohs(ip.frag_off) & (IP_MF | IP_OFFMASK)) == 0)
    fill_udp_checksum(packet + header, length - header, ip);
  packet[offsetof(iphdr, ttl)] = static_cast<unsigned char>(ip.ttl - 1);
  std::memset(packet + offsetof(iphdr, check), 0, sizeof ip.check);
  const std::size_t mtu = path_mtu(ip.daddr);
  if (mtu == 0) {
    std::fprintf(stderr, "nimbo-tap: no route for a datagram of %zu bytes: dropped\n", length);
  } else if (length <= mtu) {
    send_packet(out, packet, length, ip.daddr);
  } else if ((ntohs(ip.frag_off) & IP_DF) != 0) {
    std::fprintf(stderr, "nimbo-tap: datagram of %zu bytes exceeds MTU %zu and may not be fragmented: dropped\n",
                 length, mtu);
  } else {
    send_fragments(out, packet, length, mtu);
  }
}

// A datagram the router should examine: whole UDP header, Router Alert, and not for this host.
bool to_forward(const unsigned char* packet, std::size_t length, iphdr* ip) {
  if (length < sizeof *ip) return false;
  std::memcpy(ip, packet, sizeof *ip);
  const std::size_t header = ip->ihl * 4u;
  if (header < sizeof *ip || length < header + kUdpHeader) return false;
  return has_router_alert(packet + sizeof *ip, header - sizeof *ip) && !addressed_here(ip->daddr);
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const int in = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
  if (in < 0) die("socket");
  const int on = 1;
  if (setsockopt(in, IPPROTO_IP, IP_ROUTER_ALERT, &on, sizeof on) != 0) die("IP_ROUTER_ALERT");
  const int out = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
  if (out < 0) die("socket");
  std::printf("ready\n");
  std::fflush(stdout);

  static unsigned char packet[65536];
  for (long seen = 0; seen < o.count;) {
    pollfd p{in, POLLIN, 0};
    const int ready = poll(&p, 1, o.timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) die("poll");
    if (ready == 0) {
      std::printf("tap timeout after %ld datagrams\n", seen);
      return 2;
    }
    const ssize_t n = recv(in, packet, sizeof packet, 0);
    if (n < 0) die("recv");
    const auto length = static_cast<std::size_t>(n);
    iphdr ip;
    if (!to_forward(packet, length, &ip)) continue;
    print(packet, length, ip);
    ++seen;
    forward(out, packet, length);
  }
  return 0;
}
