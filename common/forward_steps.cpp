// SPDX-License-Identifier: Apache-2.0
#include "forward_steps.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>

#include "bytes.h"
#include "ip_options.h"

namespace nimbo {

namespace {

constexpr std::size_t kUdpChecksum = 6;  // offset in the UDP header
constexpr std::uint16_t kDontFragment = 0x4000;
constexpr std::uint16_t kMoreFragments = 0x2000;
constexpr std::uint16_t kOffsetMask = 0x1FFF;

// Adds bytes to a ones' complement sum as 16-bit words, four bytes at a time. Every piece but
// the last of one sum must have an even length, so that the words stay lined up. The words go
// in as the machine loads them; the sum of byte-swapped words is the byte-swapped sum, so
// to_host() puts it right once at the end.
std::uint64_t add_bytes(std::uint64_t sum, const std::uint8_t* data, std::size_t length) {
  for (; length >= 4; data += 4, length -= 4) {
    std::uint32_t word;
    std::memcpy(&word, data, sizeof word);
    sum += word;
  }
  std::uint8_t tail[4] = {};
  std::memcpy(tail, data, length);
  std::uint32_t word;
  std::memcpy(&word, tail, sizeof word);
  return sum + word;
}

// The sum folded to 16 bits, in host order.
std::uint16_t folded(std::uint64_t sum) {
  while (sum >> 16 != 0) sum = (sum & 0xFFFF) + (sum >> 16);
  return ntohs(static_cast<std::uint16_t>(sum));
}

// The complement of the folded sum, in host order.
std::uint16_t checksum_of(std::uint64_t sum) { return static_cast<std::uint16_t>(~folded(sum)); }

std::uint64_t pseudo_header_sum(const std::uint8_t* packet, const Intercepted& in, std::size_t udp_length) {
  if (in.family == AF_INET) {
    const std::uint8_t rest[4] = {0, IPPROTO_UDP, static_cast<std::uint8_t>(udp_length >> 8),
                                  static_cast<std::uint8_t>(udp_length)};
    return add_bytes(add_bytes(0, packet + 12, 8), rest, sizeof rest);  // source and destination
  }
  const std::uint8_t rest[8] = {0, 0, static_cast<std::uint8_t>(udp_length >> 8),
                                static_cast<std::uint8_t>(udp_length), 0, 0, 0, IPPROTO_UDP};
  return add_bytes(add_bytes(0, packet + 8, 32), rest, sizeof rest);
}

std::size_t min(std::size_t a, std::size_t b) { return a < b ? a : b; }

std::size_t udp_length(const Intercepted& in) { return in.payload - in.transport + in.payload_length; }

// The UDP checksum field goes on as it came, so that a datagram damaged on the way stays
// damaged, unless the payload is new or the field holds only what checksum offload leaves
// there. An IPv4 field of 0 says there is no checksum, and stays 0. (A whole checksum equal to
// the pseudo-header sum, one in 65536, is computed again: right if the datagram is.)
bool udp_checksum_to_compute(const std::uint8_t* packet, const Intercepted& in) {
  const std::uint16_t field = read16(packet + in.transport + kUdpChecksum);
  if (in.family == AF_INET && field == 0) return false;
  return in.payload_replaced || field == partial_udp_checksum(packet, in);
}

}  // namespace

std::uint16_t ipv4_header_checksum(const std::uint8_t* header, std::size_t length) {
  std::uint64_t sum = add_bytes(0, header, 10);  // up to the checksum field
  sum = add_bytes(sum, header + 12, length - 12);
  return checksum_of(sum);
}

std::uint16_t internet_checksum(const std::uint8_t* header, std::size_t header_length, const std::uint8_t* data,
                                std::size_t length) {
  return checksum_of(add_bytes(add_bytes(0, header, header_length), data, length));
}

std::uint16_t udp_checksum(const std::uint8_t* packet, const Intercepted& in) {
  std::uint64_t sum = pseudo_header_sum(packet, in, udp_length(in));
  sum = add_bytes(sum, packet + in.transport, kUdpChecksum);
  sum = add_bytes(sum, packet + in.payload, in.payload_length);
  const std::uint16_t checksum = checksum_of(sum);
  return checksum == 0 ? 0xFFFF : checksum;
}

std::uint16_t partial_udp_checksum(const std::uint8_t* packet, const Intercepted& in) {
  return folded(pseudo_header_sum(packet, in, udp_length(in)));
}

bool prepare_forward(std::uint8_t* packet, const Intercepted& in) {
  std::uint8_t& ttl = packet[in.family == AF_INET ? 8 : 7];
  if (ttl <= 1) return false;
  --ttl;
  if (in.udp && udp_checksum_to_compute(packet, in))
    write16(packet + in.transport + kUdpChecksum, udp_checksum(packet, in));
  if (in.family == AF_INET) write16(packet + 10, ipv4_header_checksum(packet, in.transport));
  return true;
}

Fit fit_fragments(std::size_t first_header, std::size_t later_header, std::size_t data, std::size_t mtu,
                  bool dont_fragment, FragmentPlan* plan) {
  if (first_header + data <= mtu) return Fit::kWhole;
  if (dont_fragment) return Fit::kDontFragment;
  if (mtu < first_header + 8 || mtu < later_header + 8) return Fit::kMtuTooSmall;
  plan->per_fragment = (mtu - first_header) / 8 * 8;
  plan->count = (data + plan->per_fragment - 1) / plan->per_fragment;
  return Fit::kFragments;
}

Fit plan_fragments(const std::uint8_t* packet, const Intercepted& in, std::size_t mtu, Fragments* out) {
  const std::uint16_t flags = read16(packet + 6);
  std::uint8_t copied[kIpv4OptionsMax];
  const std::size_t options = ipv4_copied_options(packet + kIpv4Header, in.options_length, copied);
  std::memcpy(out->later_header, packet, kIpv4Header);
  std::memcpy(out->later_header + kIpv4Header, copied, options);
  out->later_header_length = kIpv4Header + options;
  out->later_header[0] = static_cast<std::uint8_t>(0x40 | out->later_header_length / 4);
  out->id = read16(packet + 4);
  out->first_offset = (flags & kOffsetMask) * 8u;
  out->more_after = (flags & kMoreFragments) != 0;
  return fit_fragments(in.transport, out->later_header_length, in.length - in.transport, mtu,
                       (flags & kDontFragment) != 0, &out->plan);
}

std::size_t fragment_header(const std::uint8_t* packet, const Intercepted& in, const Fragments& fragments,
                            std::size_t index, std::uint8_t (&header)[kIpv4HeaderMax],
                            std::size_t* data_offset, std::size_t* data_length) {
  const std::size_t length = index == 0 ? in.transport : fragments.later_header_length;
  std::memcpy(header, index == 0 ? packet : fragments.later_header, length);
  const std::size_t start = index * fragments.plan.per_fragment;
  *data_offset = in.transport + start;
  *data_length = min(fragments.plan.per_fragment, in.length - in.transport - start);
  const bool last = index + 1 == fragments.plan.count;
  write16(header + 2, length + *data_length);
  write16(header + 4, fragments.id);
  write16(header + 6, (fragments.first_offset + start) / 8 | (last && !fragments.more_after ? 0 : kMoreFragments));
  write16(header + 10, ipv4_header_checksum(header, length));
  return length;
}

std::uint16_t ip_id_after(std::uint16_t previous) {
  return previous == 0xFFFF ? 1 : static_cast<std::uint16_t>(previous + 1);
}

std::uint16_t next_ip_id() {
  static std::atomic<std::uint16_t> last{0};
  std::uint16_t previous = last.load(std::memory_order_relaxed);
  while (!last.compare_exchange_weak(previous, ip_id_after(previous), std::memory_order_relaxed)) {
  }
  return ip_id_after(previous);
}

}  // namespace nimbo
