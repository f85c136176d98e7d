// SPDX-License-Identifier: Apache-2.0
#include <cstring>

#include "ip_options.h"
#include "net.h"
#include "report.h"

namespace nimbo {

socklen_t append_router_alert(std::uint8_t (&options)[kOptionBufferSize], socklen_t length) {
  // A failed read leaves the length at 44: more than a header holds, so the install refuses it.
  if (length > kOptionSpaceMax) return kOptionBufferSize;
  std::uint8_t list[kIpv4OptionsMax];
  std::memcpy(list, options, sizeof list);
  std::size_t edited = length;
  switch (ipv4_add_router_alert(list, &edited)) {
    case OptionEdit::kChanged:
      std::memcpy(options, list, edited);
      return static_cast<socklen_t>(edited);
    case OptionEdit::kUnchanged:
      return length;
    case OptionEdit::kMalformed:
    case OptionEdit::kNoRoom:
      break;
  }
  return kOptionBufferSize;
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
