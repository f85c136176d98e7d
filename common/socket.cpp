// SPDX-License-Identifier: Apache-2.0
#include <arpa/inet.h>

#include <cstdio>

#include "net.h"
#include "report.h"

namespace nimbo {

int open_udp_socket() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) fatal_setup("cannot open socket\n");
  return fd;
}

void bind_or_exit(int fd, const sockaddr_in& local) {
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0)
    fatal_setup("cannot bind socket\n");
}

sockaddr_in ipv4_address(in_addr address, std::int32_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_addr = address;
  result.sin_port = htons(static_cast<std::uint16_t>(port));  // the low 16 bits only
  return result;
}

int buffer_size(int fd, int option) {
  int size = 0;
  socklen_t length = sizeof size;
  if (getsockopt(fd, SOL_SOCKET, option, &size, &length) != 0) {
    std::perror("getsockopt");
    return -1;
  }
  return size;
}

bool send_datagram(int fd, const void* data, std::size_t length, const sockaddr_in& to) {
  return sendto(fd, data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) != -1;
}

}  // namespace nimbo
