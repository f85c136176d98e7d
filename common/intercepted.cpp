// SPDX-License-Identifier: Apache-2.0
#include "intercepted.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include "bytes.h"
#include "ip_options.h"

namespace nimbo {

namespace {

constexpr std::size_t kLengthMax = 65535;
constexpr int kIpv6Fragment = 44;
constexpr std::uint16_t kOffsetMask = 0x1FFF;

// Fills in what follows the IP headers: a whole UDP datagram, or opaque bytes to pass on.
void lay_out_transport(const std::uint8_t* packet, Intercepted* out) {
  const std::size_t room = out->length - out->transport;
  const std::size_t udp_length = room >= kUdpHeader ? read16(packet + out->transport + 4) : 0;
  out->payload_replaced = false;
  out->udp = out->protocol == IPPROTO_UDP && !out->fragment && udp_length >= kUdpHeader && udp_length <= room;
  if (out->udp) {
    out->source_port = static_cast<int>(read16(packet + out->transport));
    out->destination_port = static_cast<int>(read16(packet + out->transport + 2));
    out->payload = out->transport + kUdpHeader;
    out->payload_length = udp_length - kUdpHeader;
  } else {
    out->source_port = out->destination_port = -1;
    out->payload = out->transport;
    out->payload_length = room;
  }
}

}  // namespace

bool parse_intercepted_ipv4(const std::uint8_t* packet, std::size_t received, Intercepted* out) {
  if (received < kIpv4Header || packet[0] >> 4 != 4) return false;
  const std::size_t header = (packet[0] & 0x0Fu) * 4u;
  const std::size_t length = read16(packet + 2);
  if (header < kIpv4Header || length < header || length > received) return false;
  // A fragment's data must end within the 65535 bytes its offset can address.
  const std::size_t offset = (read16(packet + 6) & kOffsetMask) * 8u;
  if (offset + (length - header) > kLengthMax) return false;
  const Ipv4OptionList list = ipv4_option_list(packet + kIpv4Header, header - kIpv4Header);
  if (!list.well_formed || list.alert == kIpv4NoOption) return false;
  const std::uint8_t* alert = packet + kIpv4Header + list.alert;

  out->family = AF_INET;
  out->length = length;
  out->options = kIpv4Header;
  out->options_length = header - kIpv4Header;
  out->transport = header;
  out->protocol = packet[9];
  out->ttl = packet[8];
  out->router_alert = static_cast<int>(read16(alert + 2));
  out->fragment = (read16(packet + 6) & 0x3FFFu) != 0;  // more fragments, or an offset
  lay_out_transport(packet, out);
  return true;
}

bool parse_intercepted_ipv6(const std::uint8_t* packet, std::size_t received, Intercepted* out) {
  if (received < kIpv6Header || packet[0] >> 4 != 6 || packet[6] != IPPROTO_HOPOPTS) return false;
  const std::size_t length = kIpv6Header + read16(packet + 4);
  if (length > received || length < kIpv6Header + 8) return false;
  const std::size_t hop_by_hop = (packet[kIpv6Header + 1] + 1u) * 8u;
  if (hop_by_hop > length - kIpv6Header) return false;
  std::uint16_t value = 0;
  if (!ipv6_router_alert(packet + kIpv6Header, hop_by_hop, &value)) return false;

  out->family = AF_INET6;
  out->length = length;
  out->options = kIpv6Header;
  out->options_length = hop_by_hop;
  out->transport = kIpv6Header + hop_by_hop;
  out->protocol = packet[kIpv6Header];
  out->ttl = packet[7];
  out->router_alert = value;
  out->fragment = out->protocol == kIpv6Fragment;
  lay_out_transport(packet, out);
  return true;
}

bool resize_udp_payload(std::uint8_t* packet, Intercepted* in, std::size_t payload_length) {
  if (!in->udp) return false;
  const std::size_t ip_start = in->family == AF_INET ? 0 : kIpv6Header;  // what the IP length leaves out
  if (payload_length > kLengthMax || in->payload + payload_length - ip_start > kLengthMax) return false;
  write16(packet + in->transport + 4, kUdpHeader + payload_length);
  write16(packet + (in->family == AF_INET ? 2 : 4), in->payload + payload_length - ip_start);
  in->length = in->payload + payload_length;
  in->payload_length = payload_length;
  in->payload_replaced = true;
  return true;
}

}  // namespace nimbo
