// SPDX-License-Identifier: Apache-2.0
// mnimboSocket for tests. Records its five arguments in mnimbo_double_last and prints them as
//   mnimboSocket(0, 0, "MulticastS", "239.1.2.3", 65616)
// on standard error, so that a child JVM's caller can read them too; returns the handle in
// NIMBO_DOUBLE_HANDLE (0 when unset).
#include <cstdio>
#include <cstdlib>

#include "mnimbo_double.h"

MnimboCall mnimbo_double_last;

extern "C" int mnimboSocket(int first, int second, const char* kind, const char* group, int port) {
  mnimbo_double_last = {mnimbo_double_last.calls + 1, first, second, kind, group, port};
  std::fprintf(stderr, "mnimboSocket(%d, %d, \"%s\", \"%s\", %d)\n", first, second,
               kind ? kind : "(null)", group ? group : "(null)", port);
  const char* handle = std::getenv("NIMBO_DOUBLE_HANDLE");
  return handle ? std::atoi(handle) : 0;
}
