// SPDX-License-Identifier: Apache-2.0
// Numbers on the tools' command lines: "abc", "5x" or a value out of range is an error, never 0.
#pragma once

#include <cerrno>
#include <cstdlib>

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

}  // namespace nimbo_tools
