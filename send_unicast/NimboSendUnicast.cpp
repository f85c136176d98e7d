// SPDX-License-Identifier: Apache-2.0
// Native methods of NimboSendUnicast: one UDP socket for the whole process, whose datagrams carry
// Router Alert and the system's default TTL, sending whole byte arrays to a host named per call.
#include "NimboSendUnicast.h"

#include <arpa/inet.h>
#include <pthread.h>

#include <cerrno>
#include <cstdint>

#include "jni_util.h"
#include "net.h"
#include "report.h"

namespace {

constexpr jint kStagingSize = 6500;

int S = -1;  // before init_socket a send fails as on a bad descriptor
std::uint8_t optionsBuffer[nimbo::kOptionBufferSize];
jbyte buf[kStagingSize];
sockaddr_in servAddr;

// Guards S, optionsBuffer, buf and servAddr: concurrent writers each send their own bytes whole,
// to their own destination. Host lookups run outside it.
pthread_mutex_t sendLock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

JNIEXPORT void JNICALL Java_NimboSendUnicast_init_1socket(JNIEnv*, jclass) {
  pthread_mutex_lock(&sendLock);
  S = nimbo::open_udp_socket();
  nimbo::bind_or_exit(S, nimbo::ipv4_address(in_addr{htonl(INADDR_ANY)}, 0));
  nimbo::add_router_alert(S, optionsBuffer);
  pthread_mutex_unlock(&sendLock);
}

JNIEXPORT void JNICALL Java_NimboSendUnicast_write(JNIEnv* env, jclass, jstring host, jint port,
                                                   jbyteArray data) {
  if (!nimbo::require_non_null(env, host, "host") || !nimbo::require_non_null(env, data, "data"))
    return;
  const jint length = env->GetArrayLength(data);
  if (length > kStagingSize) nimbo::send_failure(EMSGSIZE);  // would not fit in buf: nothing sent

  sockaddr_in destination;
  {
    const nimbo::UtfChars name(env, host);
    if (name.get() == nullptr) return;
    destination = nimbo::resolve_destination(name.get(), port);  // looked up on every call
  }

  pthread_mutex_lock(&sendLock);
  env->GetByteArrayRegion(data, 0, length, buf);
  servAddr = destination;
  // An empty array goes out as an empty datagram.
  if (!nimbo::send_datagram(S, buf, static_cast<std::size_t>(length), servAddr))
    nimbo::send_failure();
  pthread_mutex_unlock(&sendLock);
}
