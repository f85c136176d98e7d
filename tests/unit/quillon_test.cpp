// SPDX-License-Identifier: Apache-2.0
// Quillon's TempsSys when the clock fails, through a gettimeofday of our own that the library's
// call reaches first (the executable's definitions come before libc's).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/time.h>

#include <cerrno>

#include "Quillon.h"

namespace {

bool clock_fails = false;

}  // namespace

int gettimeofday(timeval* __restrict now, void* __restrict zone) noexcept {
  static const auto next =
      reinterpret_cast<int (*)(timeval*, void*)>(dlsym(RTLD_NEXT, "gettimeofday"));
  if (!clock_fails) return next(now, zone);
  errno = EFAULT;
  return -1;  // the time value untouched
}

namespace {

TEST(Quillon, FailedClockGivesZeroNotWhatTheStackHeld) {
  // Leaves a reading, almost never 0, where the next call keeps its time value.
  Java_Quillon_TempsSys(nullptr, nullptr);
  clock_fails = true;
  const jlong sample = Java_Quillon_TempsSys(nullptr, nullptr);
  clock_fails = false;
  EXPECT_EQ(sample, 0);
}

}  // namespace
