// SPDX-License-Identifier: Apache-2.0
// The native methods of nimbo.RouterAlert. Each finds the channel's descriptor under the
// channel's own lock and edits or reads its options; every failure is a Java exception.
#include <sys/socket.h>

#include "jni_util.h"
#include "locked_channel.h"
#include "nimbo_RouterAlert.h"
#include "socket_options.h"

namespace {

constexpr jint kLocalRefs = 32;  // what finding the channel needs, with room to spare

}  // namespace

JNIEXPORT void JNICALL Java_nimbo_RouterAlert_addIPv4(JNIEnv* env, jclass, jobject target) {
  nimbo::LocalFrame frame(env, kLocalRefs);
  if (!frame.ok()) return;
  nimbo::LockedChannel channel(env, target);
  if (channel.fd() < 0) return;
  nimbo::add_ipv4_router_alert(env, channel.fd());
}

JNIEXPORT void JNICALL Java_nimbo_RouterAlert_addIPv6(JNIEnv* env, jclass, jobject target, jint value) {
  nimbo::LocalFrame frame(env, kLocalRefs);
  if (!frame.ok()) return;
  nimbo::LockedChannel channel(env, target);
  int family = 0;
  if (channel.fd() < 0 || !nimbo::socket_family(env, channel.fd(), &family)) return;
  if (family != AF_INET6) {
    nimbo::throw_new(env, "java/lang/IllegalArgumentException", "an IPv4-only channel sends no IPv6 datagrams");
    return;
  }
  nimbo::set_ipv6_router_alert(env, channel.fd(), static_cast<std::uint16_t>(value));  // 0..65535, checked in Java
}

JNIEXPORT void JNICALL Java_nimbo_RouterAlert_removeAll(JNIEnv* env, jclass, jobject target) {
  nimbo::LocalFrame frame(env, kLocalRefs);
  if (!frame.ok()) return;
  nimbo::LockedChannel channel(env, target);
  int family = 0;
  if (channel.fd() < 0 || !nimbo::socket_family(env, channel.fd(), &family)) return;
  nimbo::remove_router_alerts(env, channel.fd(), family == AF_INET6);
}

JNIEXPORT jboolean JNICALL Java_nimbo_RouterAlert_hasIPv4(JNIEnv* env, jclass, jobject target) {
  nimbo::LocalFrame frame(env, kLocalRefs);
  if (!frame.ok()) return JNI_FALSE;
  nimbo::LockedChannel channel(env, target);
  bool present = false;
  if (channel.fd() < 0 || !nimbo::has_ipv4_router_alert(env, channel.fd(), &present)) return JNI_FALSE;
  return present ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_nimbo_RouterAlert_hasIPv6(JNIEnv* env, jclass, jobject target) {
  nimbo::LocalFrame frame(env, kLocalRefs);
  if (!frame.ok()) return JNI_FALSE;
  nimbo::LockedChannel channel(env, target);
  int family = 0;
  if (channel.fd() < 0 || !nimbo::socket_family(env, channel.fd(), &family)) return JNI_FALSE;
  bool present = false;
  if (family == AF_INET6 && !nimbo::has_ipv6_router_alert(env, channel.fd(), &present)) return JNI_FALSE;
  return present ? JNI_TRUE : JNI_FALSE;
}
