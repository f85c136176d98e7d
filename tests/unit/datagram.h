// SPDX-License-Identifier: Apache-2.0
// Builds IPv4 and IPv6 UDP datagrams as they reach a Router Alert socket, for the tests of the
// parser and the forwarder. Lengths and checksums are right unless a test spoils them.
#pragma once

#include <cstdint>
#include <vector>

namespace nimbo::test {

using Bytes = std::vector<std::uint8_t>;

const Bytes kAlert = {0x94, 0x04, 0x00, 0x00};
const Bytes kHopByHopAlert = {17, 0, 5, 2, 0, 1, 1, 0};  // next header UDP, Router Alert 1, PadN

struct Ipv4 {
  Bytes options = kAlert;  // a multiple of 4
  Bytes payload = {'h', 'e', 'l', 'l', 'o'};
  std::uint8_t ttl = 64;
  std::uint8_t protocol = 17;
  std::uint16_t id = 0x1234;
  std::uint16_t flags = 0;  // DF 0x4000, MF 0x2000, offset in 8-byte units
  std::uint8_t source[4] = {198, 18, 1, 2};
  std::uint8_t destination[4] = {198, 18, 2, 2};
  std::uint16_t source_port = 40000;
  std::uint16_t destination_port = 6000;
};

struct Ipv6 {
  Bytes hop_by_hop = kHopByHopAlert;  // its next header byte is set to 17 unless next_header says
  int next_header = 17;
  Bytes payload = {'h', 'e', 'l', 'l', 'o'};
  std::uint8_t hop_limit = 64;
  std::uint8_t source[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  std::uint8_t destination[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
  std::uint16_t source_port = 40000;
  std::uint16_t destination_port = 6000;
};

inline void put16(Bytes& b, std::size_t at, std::size_t value) {
  b[at] = static_cast<std::uint8_t>(value >> 8);
  b[at + 1] = static_cast<std::uint8_t>(value);
}

inline std::size_t get16(const Bytes& b, std::size_t at) { return static_cast<std::size_t>(b[at] << 8 | b[at + 1]); }

// UDP header (checksum 0) and payload.
inline Bytes udp(std::uint16_t from, std::uint16_t to, const Bytes& payload) {
  Bytes b(8);
  put16(b, 0, from);
  put16(b, 2, to);
  put16(b, 4, 8 + payload.size());
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

inline Bytes datagram(const Ipv4& d) {
  Bytes b(20);
  b[0] = static_cast<std::uint8_t>(0x40 | (20 + d.options.size()) / 4);
  put16(b, 4, d.id);
  put16(b, 6, d.flags);
  b[8] = d.ttl;
  b[9] = d.protocol;
  for (std::size_t i = 0; i < 4; ++i) {
    b[12 + i] = d.source[i];
    b[16 + i] = d.destination[i];
  }
  b.insert(b.end(), d.options.begin(), d.options.end());
  const Bytes transport = udp(d.source_port, d.destination_port, d.payload);
  b.insert(b.end(), transport.begin(), transport.end());
  put16(b, 2, b.size());
  return b;
}

inline Bytes datagram(const Ipv6& d) {
  Bytes b(40);
  b[0] = 0x60;
  b[6] = 0;  // hop-by-hop first
  b[7] = d.hop_limit;
  for (std::size_t i = 0; i < 16; ++i) {
    b[8 + i] = d.source[i];
    b[24 + i] = d.destination[i];
  }
  Bytes hop_by_hop = d.hop_by_hop;
  if (!hop_by_hop.empty()) hop_by_hop[0] = static_cast<std::uint8_t>(d.next_header);
  b.insert(b.end(), hop_by_hop.begin(), hop_by_hop.end());
  const Bytes transport = udp(d.source_port, d.destination_port, d.payload);
  b.insert(b.end(), transport.begin(), transport.end());
  put16(b, 4, b.size() - 40);
  return b;
}

}  // namespace nimbo::test
