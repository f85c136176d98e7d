// SPDX-License-Identifier: Apache-2.0
// Native method of Quillon: the microseconds within the current second of the time of day.
#include "Quillon.h"

#include <sys/time.h>

JNIEXPORT jlong JNICALL Java_Quillon_TempsSys(JNIEnv*, jclass) {
  timeval now{};  // a failed call leaves it as it was: 0, not what the stack held
  struct timezone zone;
  gettimeofday(&now, &zone);
  return now.tv_usec;  // 0 to 999999; the seconds are dropped
}
