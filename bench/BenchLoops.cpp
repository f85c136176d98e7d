// SPDX-License-Identifier: Apache-2.0
// The kernel's limit for each benchmark: plain C++ loops over the system calls the libraries make.
// Java times one call of each loop; inside it nothing touches the JVM.
#include "BenchLoops.h"

#include <arpa/inet.h>
#include <gnu/libc-version.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "jni_util.h"
#include "net.h"
#include "spin.h"

namespace {

constexpr std::size_t kReceiveSize = 6044;  // NimboReceive's buffer
constexpr std::size_t kSendMax = 6500;      // the senders' staging buffer

// The bytes every benchmark datagram carries: byte i is i * 31 + 7, as BenchPayload.java has it.
struct Payload {
  std::uint8_t bytes[kSendMax];
  Payload() {
    for (std::size_t i = 0; i < kSendMax; ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
  }
};
const Payload payload;

std::uint8_t received[kReceiveSize];

jint failed(const char* call) {
  perror(call);
  return -1;
}

}  // namespace

JNIEXPORT jint JNICALL Java_BenchLoops_openReceiver(JNIEnv* env, jclass, jstring group, jint port,
                                                    jint rcvbuf) {
  const int fd = nimbo::open_udp_socket();
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) != 0) return failed("SO_RCVBUF");
  nimbo::bind_or_exit(fd, nimbo::ipv4_address(in_addr{htonl(INADDR_ANY)}, port));
  if (group == nullptr) return fd;

  const nimbo::UtfChars name(env, group);
  if (name.get() == nullptr) return -1;
  ip_mreq join{};
  join.imr_multiaddr = nimbo::check_group(name.get());
  join.imr_interface.s_addr = htonl(INADDR_ANY);  // the kernel picks the interface
  if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0)
    return failed("IP_ADD_MEMBERSHIP");
  return fd;
}

JNIEXPORT jint JNICALL Java_BenchLoops_openSender(JNIEnv*, jclass, jboolean routerAlert) {
  const int fd = nimbo::open_udp_socket();
  if (routerAlert) {
    std::uint8_t options[nimbo::kOptionBufferSize];
    nimbo::add_router_alert(fd, options);
  }
  return fd;
}

JNIEXPORT jint JNICALL Java_BenchLoops_send(JNIEnv* env, jclass, jint fd, jstring host, jint port,
                                            jint length, jint count, jboolean lookupEachCall) {
  if (!nimbo::require_non_null(env, host, "host")) return -1;
  if (length < 0 || static_cast<std::size_t>(length) > kSendMax) return failed("length");
  const nimbo::UtfChars name(env, host);
  if (name.get() == nullptr) return -1;
  in_addr address;
  if (!nimbo::resolve_ipv4(name.get(), &address)) return failed("lookup");
  for (jint i = 0; i < count; ++i) {
    if (lookupEachCall && !nimbo::resolve_ipv4(name.get(), &address)) return failed("lookup");
    const sockaddr_in to = nimbo::ipv4_address(address, port);
    if (!nimbo::send_datagram(fd, payload.bytes, static_cast<std::size_t>(length), to))
      return failed("sendto");
  }
  return count;
}

JNIEXPORT jlong JNICALL Java_BenchLoops_receive(JNIEnv*, jclass, jint fd, jint count) {
  jlong total = 0;
  sockaddr_in from;
  for (jint i = 0; i < count; ++i) {
    socklen_t length = sizeof from;
    const ssize_t n =
        recvfrom(fd, received, sizeof received, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) return failed("recvfrom");
    total += n;
  }
  return total;
}

JNIEXPORT jint JNICALL Java_BenchLoops_receiveBuffer(JNIEnv*, jclass, jint fd) {
  return nimbo::buffer_size(fd, SO_RCVBUF);
}

JNIEXPORT jint JNICALL Java_BenchLoops_discard(JNIEnv*, jclass, jint fd) {
  jint count = 0;
  while (recv(fd, received, sizeof received, MSG_DONTWAIT) >= 0) ++count;
  return errno == EAGAIN || errno == EWOULDBLOCK ? count : failed("recv");
}

JNIEXPORT jint JNICALL Java_BenchLoops_receivedByte(JNIEnv*, jclass, jint index) {
  if (index < 0 || static_cast<std::size_t>(index) >= kReceiveSize) return -1;
  return received[index];
}

JNIEXPORT jint JNICALL Java_BenchLoops_close(JNIEnv*, jclass, jint fd) {
  return close(fd);
}

JNIEXPORT jlong JNICALL Java_BenchLoops_gettimeofday(JNIEnv*, jclass, jint count) {
  jlong sum = 0;  // every result is used, as a caller of TempsSys would
  for (jint i = 0; i < count; ++i) {
    timeval now;
    struct timezone zone;
    gettimeofday(&now, &zone);
    sum += now.tv_usec;
  }
  return sum;
}

JNIEXPORT void JNICALL Java_BenchLoops_spin(JNIEnv*, jclass) {
  nimbo::busy_spin();
}

JNIEXPORT void JNICALL Java_BenchLoops_nothing(JNIEnv*, jclass) {}

JNIEXPORT jstring JNICALL Java_BenchLoops_libcVersion(JNIEnv* env, jclass) {
  return env->NewStringUTF(gnu_get_libc_version());
}
