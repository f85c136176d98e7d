// SPDX-License-Identifier: Apache-2.0
// with-ip-options [--hop-by-hop HEX6] HEX CMD [ARG...]: runs CMD with a UDP socket on standard
// input that already carries the IP options HEX (for its IPv4 traffic) and, given HEX6, that
// hop-by-hop header (for its IPv6 traffic; needs CAP_NET_RAW here, not in CMD), so that
// System.inheritedChannel() hands Java a channel the JDK made around a socket with options of its own.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The bytes of an even number of hex digits, at most `room` of them; -1 when it does not fit.
int from_hex(const char* hex, unsigned char* bytes, std::size_t room) {
  const std::size_t length = std::strlen(hex) / 2;
  if (std::strlen(hex) % 2 != 0 || length > room) return -1;
  for (std::size_t i = 0; i < length; ++i) {
    const char pair[3] = {hex[2 * i], hex[2 * i + 1], 0};
    bytes[i] = static_cast<unsigned char>(std::strtoul(pair, nullptr, 16));
  }
  return static_cast<int>(length);
}

}  // namespace

int main(int argc, char** argv) {
  unsigned char header[64];
  int header_length = 0;
  if (argc > 2 && std::strcmp(argv[1], "--hop-by-hop") == 0) {
    header_length = from_hex(argv[2], header, sizeof header);
    argc -= 2;
    argv += 2;
  }
  unsigned char options[40];
  const int length = argc < 3 ? -1 : from_hex(argv[1], options, sizeof options);
  if (length < 0 || header_length < 0) {
    std::fprintf(stderr, "usage: with-ip-options [--hop-by-hop HEX6] HEX CMD [ARG...]\n");
    return 64;
  }
  const int fd = socket(AF_INET6, SOCK_DGRAM, 0);  // dual-stack: JDK 25 takes an inherited socket for IPv6
  if (fd < 0 || setsockopt(fd, IPPROTO_IP, IP_OPTIONS, options, static_cast<socklen_t>(length)) != 0 ||
      (header_length > 0 &&
       setsockopt(fd, IPPROTO_IPV6, IPV6_HOPOPTS, header, static_cast<socklen_t>(header_length)) != 0) ||
      dup2(fd, 0) != 0) {
    std::perror("with-ip-options");
    return 1;
  }
  close(fd);
  execvp(argv[2], argv + 2);
  std::perror("execvp");
  return 1;
}
