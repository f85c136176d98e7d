// SPDX-License-Identifier: Apache-2.0
// A datagram a router took aside: the whole IPv4 or IPv6 datagram, header included, as a Router
// Alert socket received it. Everything in it came off the wire, so every length is checked
// against the bytes present before it is believed; nothing is ever read outside them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nimbo {

// The most an intercepted datagram can take: an IPv6 header and a 65535-byte payload.
constexpr std::size_t kInterceptedMax = 40 + 65535;

// Where the parts of an intercepted datagram lie, as offsets into it.
struct Intercepted {
  int family;                  // AF_INET or AF_INET6
  std::size_t length;          // the datagram's own length (IPv4 total length; IPv6 40 + payload length)
  std::size_t options;         // IPv4: the options after the fixed header; IPv6: the hop-by-hop header
  std::size_t options_length;  //   (bytes 20 up to the header length; 40 up to the end of the hop-by-hop header)
  std::size_t transport;       // the transport header: past the IPv4 header, or past the hop-by-hop header
  int protocol;                // IPv4 protocol; IPv6: the next header after the hop-by-hop header
  bool udp;                    // a whole UDP datagram: protocol 17, not a fragment, UDP length within the datagram
  int source_port;             // UDP ports when udp, else -1
  int destination_port;
  std::size_t payload;         // udp: the data after the UDP header, up to the UDP length;
  std::size_t payload_length;  //   otherwise everything from the transport header to the end
  int ttl;                     // TTL or hop limit as the datagram arrived
  int router_alert;            // the option's value: IPv4 0 (94 04 00 00) for all the kernel hands over
  bool fragment;               // IPv4: more fragments or an offset; IPv6: next header 44 (a fragment header)
  bool payload_replaced;       // resize_udp_payload put a new payload in: the UDP checksum no longer holds
};

// Lays out an IPv4 datagram of `received` bytes (trailing bytes past its total length are not
// part of it). False unless it is a well-formed IPv4 datagram whose options hold Router Alert
// (type 0x94, length 4), and, for a fragment, whose data ends within the 65535 bytes its offset
// can address. A UDP length that lies makes it no udp datagram, not a parse failure:
// a router sends such a datagram on as it is.
bool parse_intercepted_ipv4(const std::uint8_t* packet, std::size_t received, Intercepted* out);

// Lays out an IPv6 datagram: the fixed header, then a hop-by-hop header holding Router Alert.
// False unless both are well formed.
bool parse_intercepted_ipv6(const std::uint8_t* packet, std::size_t received, Intercepted* out);

// Puts a UDP payload of `payload_length` bytes in place of the old one: the caller has written
// the bytes at packet + in->payload (the buffer holds in->payload + payload_length bytes); this
// rewrites the UDP length and the IP length and updates *in (payload_replaced too). The checksums are left to
// forward_intercepted. False when in is not udp, or the datagram would pass its family's
// 65535-byte limit.
bool resize_udp_payload(std::uint8_t* packet, Intercepted* in, std::size_t payload_length);

}  // namespace nimbo
