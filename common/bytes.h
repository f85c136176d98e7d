// SPDX-License-Identifier: Apache-2.0
// The fixed sizes of IP and UDP headers, and their 16-bit fields, which go in network order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nimbo {

constexpr std::size_t kIpv4Header = 20;  // without options
constexpr std::size_t kIpv6Header = 40;
constexpr std::size_t kUdpHeader = 8;

inline std::uint16_t read16(const std::uint8_t* at) { return static_cast<std::uint16_t>(at[0] << 8 | at[1]); }

inline void write16(std::uint8_t* at, std::size_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 8);
  at[1] = static_cast<std::uint8_t>(value);
}

}  // namespace nimbo
