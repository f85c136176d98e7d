// SPDX-License-Identifier: Apache-2.0
// What the tools share on their command lines: numbers ("abc", "5x" or a value out of range is an
// error, never 0), and the end of a tool whose system call failed.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace nimbo_tools {

// True when text is a whole decimal number within [min, max]; *value then holds it.
inline bool parse_number(const char* text, long min, long max, long* value) {
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || number < min || number > max) return false;
  *value = number;
  return true;
}

// True when text is a whole number of 32 bits, in decimal or in hexadecimal after 0x (as nft
// shows marks); *value then holds it.
inline bool parse_u32(const char* text, std::uint32_t* value) {
  const int base = text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 16 : 10;
  char* end = nullptr;
  errno = 0;
  const unsigned long long number = std::strtoull(text, &end, base);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || number > 0xFFFFFFFFull) return false;
  *value = static_cast<std::uint32_t>(number);
  return true;
}

// The number, or the tool's usage message (which ends the tool) when text is none within [min, max].
inline long number_or_usage(const char* text, long min, long max, void (*usage)()) {
  long value = 0;
  if (!parse_number(text, min, max, &value)) usage();
  return value;
}

// "what: <the system's text for error>" on standard error, and exit status 1.
[[noreturn]] inline void die(const char* what, int error = errno) {
  std::fprintf(stderr, "%s: %s\n", what, std::strerror(error));
  std::exit(1);
}

}  // namespace nimbo_tools
