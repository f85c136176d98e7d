// SPDX-License-Identifier: Apache-2.0
// nimbo-tap: the router's view. On a forwarding host it takes every UDP datagram that carries
// the IP Router Alert option and is about to be forwarded, prints one line for it, and sends it
// on with its TTL lowered by one, as the router itself would have:
//
//   tap from 198.18.1.2 to 198.18.2.2 ttl 64 options 94 04 00 00 length 5
//
// A raw socket with IP_ROUTER_ALERT gets these datagrams instead of the forwarding path, so the
// tap must send them on itself (through an IPPROTO_RAW socket; the kernel fills the checksum).
// Prints "ready" once it listens; exits 0 after --count datagrams, 2 after --timeout-ms without one.
#include <arpa/inet.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void die(const char* what) {
  std::perror(what);
  std::exit(1);
}

void print(const unsigned char* packet, std::size_t length, const iphdr& ip) {
  char from[INET_ADDRSTRLEN], to[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &ip.saddr, from, sizeof from);
  inet_ntop(AF_INET, &ip.daddr, to, sizeof to);
  std::printf("tap from %s to %s ttl %u options", from, to, ip.ttl);
  const std::size_t header = ip.ihl * 4u;
  if (header == sizeof ip) std::printf(" none");
  for (std::size_t i = sizeof ip; i < header; ++i) std::printf(" %02x", packet[i]);
  std::printf(" length %zu\n", length - header - 8);  // UDP payload
  std::fflush(stdout);
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

}  // namespace

int main(int argc, char** argv) {
  long count = 1;
  int timeout_ms = 10000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--count") count = std::atol(argv[i + 1]);
    else if (arg == "--timeout-ms") timeout_ms = std::atoi(argv[i + 1]);
    else {
      std::fprintf(stderr, "usage: nimbo-tap [--count N] [--timeout-ms T]\n");
      return 64;
    }
  }

  const int in = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
  if (in < 0) die("socket");
  const int on = 1;
  if (setsockopt(in, IPPROTO_IP, IP_ROUTER_ALERT, &on, sizeof on) != 0) die("IP_ROUTER_ALERT");
  const int out = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
  if (out < 0) die("socket");
  std::printf("ready\n");
  std::fflush(stdout);

  static unsigned char packet[65536];
  for (long seen = 0; seen < count;) {
    pollfd p{in, POLLIN, 0};
    const int ready = poll(&p, 1, timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) die("poll");
    if (ready == 0) {
      std::printf("tap timeout after %ld datagrams\n", seen);
      return 2;
    }
    const ssize_t n = recv(in, packet, sizeof packet, 0);
    if (n < 0) die("recv");
    iphdr ip;
    if (static_cast<std::size_t>(n) < sizeof ip) continue;
    std::memcpy(&ip, packet, sizeof ip);
    if (ip.ihl * 4u < sizeof ip || static_cast<std::size_t>(n) < ip.ihl * 4u + 8) continue;
    print(packet, static_cast<std::size_t>(n), ip);
    ++seen;

    if (ip.ttl <= 1) continue;  // a router drops it here
    const std::size_t header = ip.ihl * 4u;
    fill_udp_checksum(packet + header, static_cast<std::size_t>(n) - header, ip);
    packet[offsetof(iphdr, ttl)] = static_cast<unsigned char>(ip.ttl - 1);
    std::memset(packet + offsetof(iphdr, check), 0, sizeof ip.check);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = ip.daddr;
    if (sendto(out, packet, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
      die("sendto");
  }
  return 0;
}
