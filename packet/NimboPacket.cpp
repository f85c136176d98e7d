// SPDX-License-Identifier: Apache-2.0
// Native method of NimboPacket: opens a socket for a multicast group through mnimboSocket, which
// some library the process loaded with global visibility provides. The library names no provider
// and binds the symbol when it is loaded, so loading fails at once where none is present.
#include "NimboPacket.h"

#include <cstdint>
#include <cstdio>

#include "jni_util.h"

extern "C" __attribute__((visibility("default"))) int mnimboSocket(int, int, const char* kind,
                                                                   const char* group, int port);

namespace {

std::int32_t packetHandle = 0;  // the latest handle; 0 means the socket was not opened

}  // namespace

JNIEXPORT void JNICALL Java_NimboPacket_init_1socket(JNIEnv* env, jclass, jstring group, jint port) {
  if (!nimbo::require_non_null(env, group, "group")) return;
  // Handed over to mnimboSocket for good: never released.
  const char* name = env->GetStringUTFChars(group, nullptr);
  if (name == nullptr) return;
  const std::int32_t handle = mnimboSocket(0, 0, "MulticastS", name, port);  // port unchanged
  __atomic_store_n(&packetHandle, handle, __ATOMIC_RELAXED);
  if (handle != 0) std::printf("c'est ok");  // no newline: libc flushes it at exit at the latest
}
