// SPDX-License-Identifier: Apache-2.0
#include "report.h"

#include <err.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace nimbo {

void fatal_setup(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::exit(1);
}

void send_failure(int error) {
  if (error != 0) errno = error;
  err(1, "write");
}

}  // namespace nimbo
