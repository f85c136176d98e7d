// SPDX-License-Identifier: Apache-2.0
// Native methods of NimboSend: a multicast sender whose datagrams carry Router Alert and leave
// with TTL 128. The Java caller holds the descriptor; the library keeps no state.
#include "NimboSend.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "jni_util.h"
#include "net.h"
#include "report.h"
#include "spin.h"

namespace {

constexpr jint kStagingSize = 6500;
constexpr unsigned char kMulticastTtl = 128;

}  // namespace

JNIEXPORT jint JNICALL Java_NimboSend_init_1socket(JNIEnv* env, jclass, jint, jstring group, jint) {
  if (!nimbo::require_non_null(env, group, "group")) return -1;
  const nimbo::UtfChars name(env, group);
  if (name.get() == nullptr) return -1;
  nimbo::check_group(name.get());

  const int fd = nimbo::open_udp_socket();
  nimbo::bind_or_exit(fd, nimbo::ipv4_address(in_addr{htonl(INADDR_ANY)}, 0));
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &kMulticastTtl, sizeof kMulticastTtl) < 0)
    nimbo::fatal_setup("cannot set ttl\n");
  std::uint8_t options[nimbo::kOptionBufferSize];
  nimbo::add_router_alert(fd, options);
  return fd;
}

JNIEXPORT void JNICALL Java_NimboSend_write(JNIEnv* env, jclass, jint fd, jbyteArray data,
                                            jint length, jstring host, jint port) {
  if (!nimbo::require_non_null(env, data, "data") || !nimbo::require_non_null(env, host, "host"))
    return;
  sockaddr_in destination;
  {
    const nimbo::UtfChars name(env, host);
    if (name.get() == nullptr) return;
    destination = nimbo::resolve_destination(name.get(), port);  // looked up on every send
  }

  if (length == 0) nimbo::send_failure(EINVAL);
  // UDP refuses any payload over 65535 bytes with EMSGSIZE; a negative length would be one.
  if (length < 0) nimbo::send_failure(EMSGSIZE);
  if (length > env->GetArrayLength(data)) {
    nimbo::throw_new(env, "java/lang/ArrayIndexOutOfBoundsException", "length exceeds data");
    return;
  }
  if (length > kStagingSize) nimbo::send_failure(EMSGSIZE);

  jbyte staging[kStagingSize];
  env->GetByteArrayRegion(data, 0, length, staging);
  if (!nimbo::send_datagram(fd, staging, static_cast<std::size_t>(length), destination))
    nimbo::send_failure();
  nimbo::busy_spin();
}

JNIEXPORT jint JNICALL Java_NimboSend_close_1socket(JNIEnv*, jclass, jint fd) {
  return close(fd);
}

JNIEXPORT jint JNICALL Java_NimboSend_get_1snd_1buf(JNIEnv*, jclass, jint fd) {
  return nimbo::buffer_size(fd, SO_SNDBUF);
}

JNIEXPORT jint JNICALL Java_NimboSend_set_1snd_1buf(JNIEnv*, jclass, jint fd, jint size) {
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) {
    perror("setsockopt");
    return -1;
  }
  return 0;
}
