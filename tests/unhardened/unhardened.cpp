// SPDX-License-Identifier: Apache-2.0
// Built with every hardening option turned off, for check-linkage-catches: a stack array, a
// printf and an exported Java_ function give each check something to find missing.
#include <cstdio>
#include <cstring>

extern "C" __attribute__((visibility("default"))) int Java_unhardened_echo(const char* text) {
  char copy[64];
  std::strncpy(copy, text, sizeof copy - 1);
  copy[sizeof copy - 1] = '\0';
  return std::printf("%s\n", copy);
}
