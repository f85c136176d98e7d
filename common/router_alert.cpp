// SPDX-License-Identifier: Apache-2.0
#include <cstring>

#include "net.h"
#include "report.h"

namespace nimbo {

socklen_t append_router_alert(std::uint8_t (&options)[kOptionBufferSize], socklen_t length) {
  // The kernel hands back at most 40 option bytes into a zeroed buffer, so byte 40 is always a
  // zero; stopping the scan there keeps the four bytes inside the buffer whatever it holds.
  std::size_t end = 0;
  while (end < kOptionSpaceMax && options[end] != 0) ++end;
  std::memcpy(options + end, kRouterAlert, sizeof kRouterAlert);

  // Old length plus 4, rounded up to a multiple of 4, at most 44. Anything past 40 already
  // ends at 44, which also keeps the sum from wrapping.
  if (length > kOptionSpaceMax) return kOptionBufferSize;
  return (length + sizeof kRouterAlert + 3) & ~socklen_t{3};
}

void add_router_alert(int fd, std::uint8_t (&options)[kOptionBufferSize]) {
  std::memset(options, 0, sizeof options);
  socklen_t length = sizeof options;
  // Its result is not examined: on failure the length stays 44, and the install below fails.
  getsockopt(fd, IPPROTO_IP, IP_OPTIONS, options, &length);
  length = append_router_alert(options, length);
  if (setsockopt(fd, IPPROTO_IP, IP_OPTIONS, options, length) != 0)
    fatal_setup("cannot set bit Router Alert\n");
}

}  // namespace nimbo
