// SPDX-License-Identifier: Apache-2.0
// The ways a library reports a failure.
//  - fatal set-up report: the message on standard output, then exit status 1;
//  - send failure report: libc's err(1, "write") on standard error;
//  - recoverable failures print perror() at the call site and return -1.
#pragma once

namespace nimbo {

// printf(format, ...) on standard output, then exit(1); stdio is flushed on the way out.
[[noreturn]] void fatal_setup(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "<program>: write: <strerror(error)>" on standard error and exit status 1. An error of 0
// keeps errno as the failed call left it.
[[noreturn]] void send_failure(int error = 0);

}  // namespace nimbo
