// SPDX-License-Identifier: Apache-2.0
// The multicast sender's pacing: a fixed busy spin after each datagram.
#pragma once

#include <cstdint>

namespace nimbo {

constexpr std::uint32_t kSpinIterations = 4000000;

// Counts from 0 while the counter is at most 3,999,999. The empty asm tells the compiler the
// counter may change behind its back, so no optimiser can shorten or remove the loop, while the
// counter itself stays in a register.
inline void busy_spin() {
  for (std::uint32_t i = 0; i <= kSpinIterations - 1; ++i) asm volatile("" : "+r"(i));
}

}  // namespace nimbo
