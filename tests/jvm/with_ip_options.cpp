// SPDX-License-Identifier: Apache-2.0
// with-ip-options HEX CMD [ARG...]: runs CMD with a UDP socket on standard input that already
// carries the IP options HEX (for its IPv4 traffic), so that System.inheritedChannel() hands Java a channel the JDK made
// around a socket with options of its own.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 3 || std::strlen(argv[1]) % 2 != 0 || std::strlen(argv[1]) > 80) {
    std::fprintf(stderr, "usage: with-ip-options HEX CMD [ARG...]\n");
    return 64;
  }
  unsigned char options[40];
  const std::size_t length = std::strlen(argv[1]) / 2;
  for (std::size_t i = 0; i < length; ++i) {
    const char pair[3] = {argv[1][2 * i], argv[1][2 * i + 1], 0};
    options[i] = static_cast<unsigned char>(std::strtoul(pair, nullptr, 16));
  }
  const int fd = socket(AF_INET6, SOCK_DGRAM, 0);  // dual-stack: JDK 25 takes an inherited socket for IPv6
  if (fd < 0 || setsockopt(fd, IPPROTO_IP, IP_OPTIONS, options, static_cast<socklen_t>(length)) != 0 ||
      dup2(fd, 0) != 0) {
    std::perror("with-ip-options");
    return 1;
  }
  close(fd);
  execv(argv[2], argv + 2);
  std::perror("execv");
  return 1;
}
