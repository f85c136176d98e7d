// SPDX-License-Identifier: Apache-2.0
// The native methods of nimbo.RouterAlertTap: the tap's sockets, the wait and the forwarder from
// common/, and an eventfd that close() makes readable to end every wait. Every failure is a Java
// exception; nothing is printed.
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "forwarder.h"
#include "intercepted.h"
#include "io_exception.h"
#include "jni_util.h"
#include "nimbo_RouterAlertTap.h"
#include "tap_socket.h"

namespace {

// The receive buffer's layout comes from RouterAlertTap.java, through nimbo_RouterAlertTap.h.
constexpr std::size_t kBatch = nimbo_RouterAlertTap_BATCH;
constexpr std::size_t kSlot = nimbo_RouterAlertTap_SLOT;
constexpr std::size_t kDatagram = nimbo_RouterAlertTap_DATAGRAM;
static_assert(kBatch <= nimbo::kReceiveBatchMax, "more slots than one receive takes");
static_assert(nimbo_RouterAlertTap_LAYOUT_SIZE * sizeof(jint) <= kDatagram && kDatagram % alignof(jint) == 0 &&
                  kSlot % alignof(jint) == 0,
              "the layout's ints fit before the datagram, aligned");
static_assert(kSlot - kDatagram >= nimbo::kInterceptedMax, "a slot holds the longest datagram");

// The tap's buffers: the slots; the datagram to send, then a new payload, then from DROP why
// forward0 sent no copy (a Drop, and the MTU in the way).
constexpr std::size_t kReceiveBufferSize = kBatch * kSlot;
constexpr std::size_t kDropAt = nimbo_RouterAlertTap_DROP;
static_assert(kDropAt >= 2 * nimbo::kInterceptedMax, "the drop after both datagrams");
constexpr std::size_t kSendBufferSize = kDropAt + 2 * sizeof(jint);

constexpr char kIllegal[] = "java/lang/IllegalArgumentException";

bool failed(JNIEnv* env, const nimbo::SystemError& error) {
  const bool refused = error.error == EPERM;
  const char* hint = "";
  if (refused && std::strcmp(error.call, "socket") == 0) hint = " (a Router Alert tap needs CAP_NET_RAW)";
  if (refused && std::strcmp(error.call, "setsockopt(SO_MARK)") == 0) hint = " (a mark needs CAP_NET_ADMIN)";
  return nimbo::throw_io_exception(env, error.call, error.error, hint);
}

nimbo::TapSockets tap_of(jboolean ipv6, jint in, jint out, jint icmp = -1) {
  return nimbo::TapSockets{ipv6 ? AF_INET6 : AF_INET, in, out, icmp};
}

// The memory address0 handed out.
std::uint8_t* bytes_at(jlong address) {
  return reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(address));
}

jint as_jint(std::size_t value) { return static_cast<jint>(value); }  // every offset is below 2^17

// The datagram's layout at the start of its slot, in RouterAlertTap's order.
void lay_out(const nimbo::Slot& slot, std::uint8_t* at) {
  jint parts[nimbo_RouterAlertTap_LAYOUT_SIZE] = {};
  parts[nimbo_RouterAlertTap_LENGTH] = as_jint(slot.in.length);
  parts[nimbo_RouterAlertTap_OPTIONS] = as_jint(slot.in.options);
  parts[nimbo_RouterAlertTap_OPTIONS_LENGTH] = as_jint(slot.in.options_length);
  parts[nimbo_RouterAlertTap_PROTOCOL] = slot.in.protocol;
  parts[nimbo_RouterAlertTap_UDP] = slot.in.udp ? 1 : 0;
  parts[nimbo_RouterAlertTap_SOURCE_PORT] = slot.in.source_port;
  parts[nimbo_RouterAlertTap_DESTINATION_PORT] = slot.in.destination_port;
  parts[nimbo_RouterAlertTap_PAYLOAD] = as_jint(slot.in.payload);
  parts[nimbo_RouterAlertTap_PAYLOAD_LENGTH] = as_jint(slot.in.payload_length);
  parts[nimbo_RouterAlertTap_TTL] = slot.in.ttl;
  parts[nimbo_RouterAlertTap_ROUTER_ALERT] = slot.in.router_alert;
  parts[nimbo_RouterAlertTap_INTERFACE] = slot.ifindex;
  std::memcpy(at, parts, sizeof parts);
}

}  // namespace

JNIEXPORT jintArray JNICALL Java_nimbo_RouterAlertTap_open0(JNIEnv* env, jclass, jboolean ipv6, jint selector) {
  nimbo::TapSockets tap{};
  nimbo::SystemError error{};
  const bool opened = ipv6 ? nimbo::open_ipv6_tap(selector, &tap, &error)
                           : nimbo::open_ipv4_tap(selector, &tap, &error);
  if (!opened) {
    failed(env, error);
    return nullptr;
  }
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    const int eventfd_error = errno;
    nimbo::close_tap(tap);
    nimbo::throw_io_exception(env, "eventfd", eventfd_error);
    return nullptr;
  }
  const jint descriptors[4] = {tap.in, tap.out, wake, tap.icmp};
  const jintArray result = env->NewIntArray(4);
  if (result == nullptr) {  // OutOfMemoryError pending
    nimbo::close_tap(tap);
    close(wake);
    return nullptr;
  }
  env->SetIntArrayRegion(result, 0, 4, descriptors);
  return result;
}

JNIEXPORT jlong JNICALL Java_nimbo_RouterAlertTap_address0(JNIEnv* env, jclass, jobject buffer, jboolean sending) {
  void* bytes = env->GetDirectBufferAddress(buffer);
  const auto needed = static_cast<jlong>(sending ? kSendBufferSize : kReceiveBufferSize);
  if (bytes == nullptr || env->GetDirectBufferCapacity(buffer) < needed) {
    nimbo::throw_new(env, kIllegal, "not a direct buffer of the tap's size");
    return 0;
  }
  return static_cast<jlong>(reinterpret_cast<std::uintptr_t>(bytes));
}

JNIEXPORT jint JNICALL Java_nimbo_RouterAlertTap_receive0(JNIEnv* env, jclass, jboolean ipv6, jint in, jint wake,
                                                          jlong buffer, jint timeout) {
  std::uint8_t* bytes = bytes_at(buffer);
  nimbo::Slot slots[kBatch];
  for (std::size_t i = 0; i < kBatch; ++i) slots[i].buffer = bytes + i * kSlot + kDatagram;
  int filled = 0;
  nimbo::SystemError error{};
  switch (nimbo::receive_intercepted(tap_of(ipv6, in, -1), wake, timeout, slots, static_cast<int>(kBatch),
                                     kSlot - kDatagram, &filled, &error)) {
    case nimbo::Wait::kTimeout:
      return nimbo_RouterAlertTap_TIMED_OUT;
    case nimbo::Wait::kWoken:
      return nimbo_RouterAlertTap_WOKEN;
    case nimbo::Wait::kEnd:
      return nimbo_RouterAlertTap_END;
    case nimbo::Wait::kFailed:
      failed(env, error);
      return nimbo_RouterAlertTap_TIMED_OUT;
    case nimbo::Wait::kDatagram:
      break;
  }
  for (std::size_t i = 0; i < static_cast<std::size_t>(filled); ++i) lay_out(slots[i], bytes + i * kSlot);
  return filled;
}

JNIEXPORT void JNICALL Java_nimbo_RouterAlertTap_shutdownInput0(JNIEnv* env, jclass, jboolean ipv6, jint in) {
  nimbo::SystemError error{};
  if (!nimbo::shutdown_tap_input(tap_of(ipv6, in, -1), &error)) failed(env, error);
}

JNIEXPORT jint JNICALL Java_nimbo_RouterAlertTap_forward0(JNIEnv* env, jclass, jboolean ipv6, jint out, jint icmp,
                                                          jint wake, jlong buffer, jint length, jint payload_length,
                                                          jint arrival_interface) {
  // The datagram at the start, a new payload (if any) from kInterceptedMax on, the drop at kDropAt.
  std::uint8_t* bytes = bytes_at(buffer);
  nimbo::Intercepted d{};
  const auto size = static_cast<std::size_t>(length);
  const bool parsed = length >= 0 && size <= nimbo::kInterceptedMax &&
                      (ipv6 ? nimbo::parse_intercepted_ipv6(bytes, size, &d)
                            : nimbo::parse_intercepted_ipv4(bytes, size, &d));
  if (!parsed) {
    nimbo::throw_new(env, kIllegal, "not a datagram a tap intercepted");
    return 0;
  }
  if (payload_length >= 0) {
    const auto payload = static_cast<std::size_t>(payload_length);
    if (!d.udp || d.payload + payload > nimbo::kInterceptedMax) {
      nimbo::throw_new(env, kIllegal, "no room for the new payload");
      return 0;
    }
    std::memmove(bytes + d.payload, bytes + nimbo::kInterceptedMax, payload);
    if (!nimbo::resize_udp_payload(bytes, &d, payload)) {
      nimbo::throw_new(env, kIllegal, "no room for the new payload");
      return 0;
    }
  }
  int copies = 0;
  nimbo::SystemError error{};
  nimbo::Dropped why{};
  switch (nimbo::forward_intercepted(tap_of(ipv6, -1, out, icmp), wake, bytes, d, arrival_interface, &copies, &error,
                                     &why)) {
    case nimbo::Sent::kDone: {
      const jint drop[2] = {static_cast<jint>(why.reason), why.mtu};
      std::memcpy(bytes + kDropAt, drop, sizeof drop);
      return copies;
    }
    case nimbo::Sent::kWoken:
      return nimbo_RouterAlertTap_WOKEN_COPIES;
    case nimbo::Sent::kFailed:
      break;
  }
  failed(env, error);
  return 0;
}

JNIEXPORT jint JNICALL Java_nimbo_RouterAlertTap_drops0(JNIEnv* env, jclass, jint in) {
  std::uint32_t drops = 0;
  nimbo::SystemError error{};
  if (!nimbo::tap_drops(tap_of(false, in, -1), &drops, &error)) failed(env, error);
  return static_cast<jint>(drops);  // Java widens it as unsigned
}

JNIEXPORT jint JNICALL Java_nimbo_RouterAlertTap_receiveBuffer0(JNIEnv* env, jclass, jint in) {
  int bytes = 0;
  nimbo::SystemError error{};
  if (!nimbo::tap_receive_buffer(tap_of(false, in, -1), &bytes, &error)) failed(env, error);
  return bytes;
}

JNIEXPORT void JNICALL Java_nimbo_RouterAlertTap_setReceiveBuffer0(JNIEnv* env, jclass, jint in, jint size) {
  nimbo::SystemError error{};
  if (!nimbo::set_tap_receive_buffer(tap_of(false, in, -1), size, &error)) failed(env, error);
}

JNIEXPORT void JNICALL Java_nimbo_RouterAlertTap_setMark0(JNIEnv* env, jclass, jboolean ipv6, jint out, jint icmp,
                                                          jint mark) {
  nimbo::SystemError error{};
  if (!nimbo::set_tap_mark(tap_of(ipv6, -1, out, icmp), static_cast<std::uint32_t>(mark), &error)) failed(env, error);
}

JNIEXPORT jint JNICALL Java_nimbo_RouterAlertTap_mark0(JNIEnv* env, jclass, jboolean ipv6, jint out) {
  std::uint32_t mark = 0;
  nimbo::SystemError error{};
  if (!nimbo::tap_mark(tap_of(ipv6, -1, out), &mark, &error)) failed(env, error);
  return static_cast<jint>(mark);  // the same 32 bits
}

JNIEXPORT void JNICALL Java_nimbo_RouterAlertTap_wake0(JNIEnv*, jclass, jint wake) {
  // The counter is never read back, so the eventfd stays readable: every later wait ends at once.
  const std::uint64_t one = 1;
  (void)!write(wake, &one, sizeof one);
}

JNIEXPORT void JNICALL Java_nimbo_RouterAlertTap_close0(JNIEnv*, jclass, jint in, jint out, jint icmp, jint wake) {
  nimbo::close_tap(nimbo::TapSockets{AF_UNSPEC, in, out, icmp});
  close(wake);
}
