// SPDX-License-Identifier: Apache-2.0
// Native methods of NimboReceive: one socket for the whole process, bound to a port and joined to
// a multicast group. Every read hands Java a new array holding the whole 6044-byte buffer.
#include "NimboReceive.h"

#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "jni_util.h"
#include "net.h"
#include "report.h"

namespace {

constexpr jsize kBufSize = 6044;

// -1 until init_socket, so that earlier calls fail as on a bad descriptor instead of acting on
// descriptor 0, which may be a socket the process was started with.
std::atomic<int> S{-1};
sockaddr_in servAddr;  // INADDR_ANY and the bound port
sockaddr_in cliAddr;   // the sender of the latest datagram
const char* maddr;     // the group's characters as the VM handed them out; never released
// Keeps its bytes from one read to the next: past the end of a short datagram, an array shows
// what earlier datagrams left (zeros until a longer one has arrived).
jbyte buf[kBufSize];
// How far into buf any datagram has reached. Past it buf is still all zeros, as is every new Java
// array, so an array equals the whole of buf once the bytes before this point are copied.
jsize written;

// Never held while waiting: a reader blocked on a socket that init_socket has since replaced must
// not stop reads on the new one.
pthread_mutex_t receiving = PTHREAD_MUTEX_INITIALIZER;
// One init_socket at a time writes servAddr and maddr.
pthread_mutex_t settingUp = PTHREAD_MUTEX_INITIALIZER;

// Takes the oldest datagram waiting on fd, lays it over buf and fills array from buf, all under one
// lock: datagrams are laid over buf in the order they arrived, and each array shows only those
// that came before its own. False with errno set when none could be taken (EAGAIN: none waits).
bool take_datagram(JNIEnv* env, int fd, jbyteArray array) {
  pthread_mutex_lock(&receiving);
  socklen_t length = sizeof cliAddr;
  const ssize_t received = recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT,
                                    reinterpret_cast<sockaddr*>(&cliAddr), &length);
  const int error = errno;
  if (received >= 0) {
    if (received > written) written = static_cast<jsize>(received);  // at most sizeof buf
    env->SetByteArrayRegion(array, 0, written, buf);
  }
  pthread_mutex_unlock(&receiving);
  errno = error;
  return received >= 0;
}

// Returns once fd has a datagram (or an error) to report, or a signal came: the caller then tries
// again. Another reader may take that datagram first.
void wait_for_datagram(int fd) {
  pollfd ready{fd, POLLIN, 0};
  poll(&ready, 1, -1);
}

}  // namespace

JNIEXPORT void JNICALL Java_NimboReceive_init_1socket(JNIEnv* env, jclass, jstring group, jint port) {
  if (!nimbo::require_non_null(env, group, "group")) return;
  const char* name = env->GetStringUTFChars(group, nullptr);
  if (name == nullptr) return;

  pthread_mutex_lock(&settingUp);
  maddr = name;
  ip_mreq join{};
  join.imr_multiaddr = nimbo::check_group(maddr);
  join.imr_interface.s_addr = htonl(INADDR_ANY);  // the kernel picks the interface

  const int fd = nimbo::open_udp_socket();
  servAddr = nimbo::ipv4_address(in_addr{htonl(INADDR_ANY)}, port);
  nimbo::bind_or_exit(fd, servAddr);  // no address reuse: a port held elsewhere is refused
  if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) < 0)
    nimbo::fatal_setup("cannot join multicast group\n");
  S = fd;  // readers see the socket only once it is bound and joined
  pthread_mutex_unlock(&settingUp);
}

JNIEXPORT jbyteArray JNICALL Java_NimboReceive_read(JNIEnv* env, jclass) {
  // Made before the wait: a datagram is never taken off the socket without an array to carry it.
  const jbyteArray array = env->NewByteArray(kBufSize);
  if (array == nullptr) return nullptr;  // OutOfMemoryError pending

  const int fd = S;
  while (!take_datagram(env, fd, array)) {
    if (errno != EAGAIN) {  // EWOULDBLOCK is the same on Linux
      perror("recvfrom");
      return nullptr;
    }
    wait_for_datagram(fd);
  }
  return array;
}

JNIEXPORT jint JNICALL Java_NimboReceive_get_1rcv_1buf(JNIEnv*, jclass) {
  return nimbo::buffer_size(S, SO_RCVBUF);
}

JNIEXPORT jint JNICALL Java_NimboReceive_set_1rcv_1buf(JNIEnv*, jclass, jint size) {
  return setsockopt(S, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0 ? -1 : 0;  // no message
}
