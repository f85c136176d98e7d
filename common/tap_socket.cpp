// SPDX-License-Identifier: Apache-2.0
#include "tap_socket.h"

#include <arpa/inet.h>
#include <linux/membarrier.h>
#include <linux/sock_diag.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace nimbo {

namespace {

constexpr in_addr_t kNoDeliveryAddress = 0xE0000000;  // 224.0.0.0, host order

bool set_int(int fd, int level, int option, int value, const char* call, SystemError* error) {
  if (setsockopt(fd, level, option, &value, sizeof value) == 0) return true;
  *error = {call, errno};
  return false;
}

int open_raw(int family, int protocol, SystemError* error) {
  const int fd = socket(family, SOCK_RAW | SOCK_CLOEXEC, protocol);
  if (fd < 0) *error = {"socket", errno};
  return fd;
}

// Until every hand-over of a datagram to a socket that the kernel had begun on another CPU has
// ended (none was seen to end late in 6000 shutdowns under a flood, but nothing in the kernel rules
// it out): it walks its lists of sockets (raw sockets of a protocol, Router Alert sockets) under
// RCU or a lock its writers wait for, so one RCU grace period is enough, and MEMBARRIER_CMD_GLOBAL
// is one (synchronize_rcu). Where it is refused (a nohz_full kernel), a pause a few times as long
// as a grace period takes here (10 to 20 ms).
void await_hand_overs() {
  if (syscall(SYS_membarrier, MEMBARRIER_CMD_GLOBAL, 0, 0) == 0) return;
  const timespec pause{0, 50 * 1000000L};
  nanosleep(&pause, nullptr);
}

// Takes and drops whatever is queued.
bool drain(int fd, SystemError* error) {
  std::uint8_t byte = 0;
  while (recv(fd, &byte, 1, MSG_DONTWAIT) >= 0) {
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
  *error = {"recv", errno};
  return false;
}

// Binds a raw IPv4 socket where nothing is delivered; it still sends from the route's source.
bool bind_nowhere(int fd, SystemError* error) {
  sockaddr_in nowhere{};
  nowhere.sin_family = AF_INET;
  nowhere.sin_addr.s_addr = htonl(kNoDeliveryAddress);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&nowhere), sizeof nowhere) == 0) return true;
  *error = {"bind", errno};
  return false;
}

// The receiving half: bound where nothing is delivered; emptied of the copies of local UDP it got
// before the bind (a raw socket gets them from socket() on); then Router Alert, so that all it
// holds from then on is in transit; arrival interfaces reported.
bool set_up_ipv4_in(int fd, SystemError* error) {
  if (!bind_nowhere(fd, error)) return false;
  await_hand_overs();
  return drain(fd, error) && set_int(fd, IPPROTO_IP, IP_ROUTER_ALERT, 1, "setsockopt(IP_ROUTER_ALERT)", error) &&
         set_int(fd, IPPROTO_IP, IP_PKTINFO, 1, "setsockopt(IP_PKTINFO)", error);
}

bool set_up_ipv6(int fd, int value, SystemError* error) {
  return set_int(fd, IPPROTO_IPV6, IPV6_ROUTER_ALERT, value, "setsockopt(IPV6_ROUTER_ALERT)", error) &&
         set_int(fd, IPPROTO_IPV6, IPV6_ROUTER_ALERT_ISOLATE, 1, "setsockopt(IPV6_ROUTER_ALERT_ISOLATE)", error) &&
         set_int(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, 1, "setsockopt(IPV6_RECVPKTINFO)", error) &&
         set_int(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, 0, "setsockopt(IPV6_MULTICAST_LOOP)", error) &&
         set_int(fd, IPPROTO_IPV6, IPV6_FREEBIND, 1, "setsockopt(IPV6_FREEBIND)", error);
}

// The socket ICMP errors leave by, never read: bound where nothing is delivered, and emptied of
// what it got before. Like the kernel's own errors, IPv4 ones go without DF.
bool set_up_icmp(int fd, SystemError* error) {
  return bind_nowhere(fd, error) && drain(fd, error) &&
         set_int(fd, IPPROTO_IP, IP_MTU_DISCOVER, IP_PMTUDISC_DONT, "setsockopt(IP_MTU_DISCOVER)", error);
}

bool set_up_icmpv6(int fd, SystemError* error) {
  icmp6_filter none{};
  ICMP6_FILTER_SETBLOCKALL(&none);
  if (setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &none, sizeof none) == 0) return true;
  *error = {"setsockopt(ICMP6_FILTER)", errno};
  return false;
}

int open_icmp(int family, SystemError* error) {
  const int fd = open_raw(family, family == AF_INET ? int{IPPROTO_ICMP} : int{IPPROTO_ICMPV6}, error);
  if (fd < 0) return -1;
  if (family == AF_INET ? set_up_icmp(fd, error) : set_up_icmpv6(fd, error)) return fd;
  close(fd);
  return -1;
}

void close_all(int in, int out, int icmp) {
  if (in >= 0) close(in);
  if (out >= 0 && out != in) close(out);
  if (icmp >= 0) close(icmp);
}

// Milliseconds left until `deadline` (CLOCK_MONOTONIC), rounded up; -1 for no deadline. (No
// 64-bit division: i386 would need libgcc's helpers for it.)
int remaining_ms(bool timed, const timespec& deadline) {
  if (!timed) return -1;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const time_t seconds = deadline.tv_sec - now.tv_sec;
  if (seconds < 0) return 0;
  const long rest = (deadline.tv_nsec - now.tv_nsec + 999999) / 1000000;
  const long long ms = static_cast<long long>(seconds) * 1000 + rest;
  return ms <= 0 ? 0 : ms >= INT_MAX ? INT_MAX : static_cast<int>(ms);
}

timespec after_ms(int timeout_ms) {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += timeout_ms / 1000;
  t.tv_nsec += (timeout_ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    ++t.tv_sec;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

// Waits until the socket has something, its input is shut down, or `wake` is readable.
// kDatagram: go and receive; kEnd: the input is shut down, receive what is left.
Wait wait_readable(int fd, int wake, int timeout_ms, SystemError* error) {
  pollfd p[2] = {{fd, POLLIN | POLLRDHUP, 0}, {wake, POLLIN, 0}};
  const int ready = poll(p, wake >= 0 ? 2 : 1, timeout_ms);
  if (ready < 0 && errno == EINTR) return Wait::kDatagram;  // receive, then wait again
  if (ready < 0 || (p[1].revents & POLLNVAL) != 0) {
    *error = {"poll", ready < 0 ? errno : EBADF};
    return Wait::kFailed;
  }
  if (p[1].revents != 0) return Wait::kWoken;
  if ((p[0].revents & POLLRDHUP) != 0) return Wait::kEnd;
  return ready == 0 ? Wait::kTimeout : Wait::kDatagram;
}

// The interface a datagram came in on, from IP_PKTINFO or IPV6_PKTINFO; 0 when absent.
int arrival_interface(msghdr* message) {
  for (cmsghdr* c = CMSG_FIRSTHDR(message); c != nullptr; c = CMSG_NXTHDR(message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      return info.ipi_ifindex;
    }
    if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
      in6_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      return static_cast<int>(info.ipi6_ifindex);
    }
  }
  return 0;
}

// Room for IP_PKTINFO or IPV6_PKTINFO.
struct Control {
  alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(in6_pktinfo))];
};

// Lays out a datagram of `length` bytes at `bytes`; false to pass it over.
bool lay_out(const TapSockets& tap, const std::uint8_t* bytes, const msghdr& message, std::size_t length,
             Intercepted* in) {
  if ((message.msg_flags & MSG_TRUNC) != 0) return false;  // longer than the slot
  return tap.family == AF_INET ? parse_intercepted_ipv4(bytes, length, in) : parse_intercepted_ipv6(bytes, length, in);
}

// Up to count of the datagrams queued, without waiting: into the slots, laid out, those passed
// over left out (*passed_over says whether there were any). -1 when the call failed.
int receive_queued(const TapSockets& tap, Slot* slots, int count, std::size_t capacity, bool* passed_over,
                   SystemError* error) {
  iovec data[kReceiveBatchMax];
  Control control[kReceiveBatchMax];
  mmsghdr batch[kReceiveBatchMax];
  for (int i = 0; i < count; ++i) {
    data[i] = {slots[i].buffer, capacity};
    batch[i] = {};
    batch[i].msg_hdr.msg_iov = &data[i];
    batch[i].msg_hdr.msg_iovlen = 1;
    batch[i].msg_hdr.msg_control = control[i].bytes;
    batch[i].msg_hdr.msg_controllen = sizeof control[i].bytes;
  }
  const int n = recvmmsg(tap.in, batch, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    *error = {"recvmmsg", errno};
    return -1;
  }
  int kept = 0;
  for (int i = 0; i < n; ++i) {
    const std::size_t length = batch[i].msg_len;
    Intercepted in{};
    if (!lay_out(tap, slots[i].buffer, batch[i].msg_hdr, length, &in)) continue;
    // After one passed over, each kept datagram moves up a slot: rare, as the kernel hands over
    // nothing that fails to parse, and the caller's slots hold the longest datagram.
    if (kept != i) std::memmove(slots[kept].buffer, slots[i].buffer, length);
    slots[kept].in = in;
    slots[kept].ifindex = arrival_interface(&batch[i].msg_hdr);
    ++kept;
  }
  *passed_over = kept < n;
  return kept;
}

}  // namespace

bool open_ipv4_tap(int protocol, TapSockets* tap, SystemError* error) {
  const int in = open_raw(AF_INET, protocol, error);
  if (in < 0) return false;
  int out = -1, icmp = -1;
  if (!set_up_ipv4_in(in, error) || (out = open_raw(AF_INET, IPPROTO_RAW, error)) < 0 ||
      !set_int(out, IPPROTO_IP, IP_MULTICAST_LOOP, 0, "setsockopt(IP_MULTICAST_LOOP)", error) ||
      (icmp = open_icmp(AF_INET, error)) < 0) {
    close_all(in, out, icmp);
    return false;
  }
  *tap = {AF_INET, in, out, icmp};
  return true;
}

bool open_ipv6_tap(int value, TapSockets* tap, SystemError* error) {
  if (value < 0 || value > 65535) {
    *error = {"setsockopt(IPV6_ROUTER_ALERT)", EINVAL};
    return false;
  }
  const int fd = open_raw(AF_INET6, IPPROTO_RAW, error);
  if (fd < 0) return false;
  int icmp = -1;
  if (!set_up_ipv6(fd, value, error) || (icmp = open_icmp(AF_INET6, error)) < 0) {
    close(fd);
    return false;
  }
  *tap = {AF_INET6, fd, fd, icmp};
  return true;
}

void close_tap(const TapSockets& tap) { close_all(tap.in, tap.out, tap.icmp); }

bool set_tap_receive_buffer(const TapSockets& tap, int bytes, SystemError* error) {
  if (setsockopt(tap.in, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0) return true;
  return set_int(tap.in, SOL_SOCKET, SO_RCVBUF, bytes, "setsockopt(SO_RCVBUF)", error);
}

bool tap_receive_buffer(const TapSockets& tap, int* bytes, SystemError* error) {
  socklen_t length = sizeof *bytes;
  if (getsockopt(tap.in, SOL_SOCKET, SO_RCVBUF, bytes, &length) == 0) return true;
  *error = {"getsockopt(SO_RCVBUF)", errno};
  return false;
}

bool set_tap_mark(const TapSockets& tap, std::uint32_t mark, SystemError* error) {
  const int senders[] = {tap.out, tap.icmp};  // every socket the tap sends with
  for (const int fd : senders) {
    if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0) {
      *error = {"setsockopt(SO_MARK)", errno};
      return false;
    }
  }
  return true;
}

bool tap_mark(const TapSockets& tap, std::uint32_t* mark, SystemError* error) {
  socklen_t length = sizeof *mark;
  if (getsockopt(tap.out, SOL_SOCKET, SO_MARK, mark, &length) == 0) return true;
  *error = {"getsockopt(SO_MARK)", errno};
  return false;
}

bool tap_drops(const TapSockets& tap, std::uint32_t* drops, SystemError* error) {
  std::uint32_t memory[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof memory;
  if (getsockopt(tap.in, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0) {
    *error = {"getsockopt(SO_MEMINFO)", errno};
    return false;
  }
  if (length < (SK_MEMINFO_DROPS + 1) * sizeof memory[0]) {
    *error = {"getsockopt(SO_MEMINFO)", EPROTO};
    return false;
  }
  *drops = memory[SK_MEMINFO_DROPS];
  return true;
}

bool shutdown_tap_input(const TapSockets& tap, SystemError* error) {
  const bool off = tap.family == AF_INET
                       ? set_int(tap.in, IPPROTO_IP, IP_ROUTER_ALERT, 0, "setsockopt(IP_ROUTER_ALERT)", error)
                       : set_int(tap.in, IPPROTO_IPV6, IPV6_ROUTER_ALERT, -1, "setsockopt(IPV6_ROUTER_ALERT)", error);
  if (!off) return false;
  await_hand_overs();
  // On a socket with no peer the kernel marks the input shut and wakes every poll, though it
  // answers ENOTCONN.
  if (shutdown(tap.in, SHUT_RD) == 0 || errno == ENOTCONN) return true;
  *error = {"shutdown", errno};
  return false;
}

Wait receive_intercepted(const TapSockets& tap, int wake, int timeout_ms, Slot* slots, int count, std::size_t capacity,
                         int* filled, SystemError* error) {
  if (count > kReceiveBatchMax) count = kReceiveBatchMax;
  const bool timed = timeout_ms >= 0;
  timespec deadline{};  // read from the clock only when a wait comes: a busy tap never reads it
  bool waited_before = false;
  bool ended = false;  // the input is shut down: once nothing is queued, that is the end
  for (;;) {
    // Receive first: datagrams already queued cost no poll.
    bool passed_over = false;
    *filled = receive_queued(tap, slots, count, capacity, &passed_over, error);
    if (*filled > 0) return Wait::kDatagram;
    if (*filled < 0) return Wait::kFailed;
    if (ended && !passed_over) return Wait::kEnd;
    // Nothing queued, or only datagrams passed over: wait (which also notices `wake`, the end
    // and the time). A stream of datagrams to pass over must not outlast the timeout.
    if (timed && !waited_before) deadline = after_ms(timeout_ms);
    waited_before = true;
    const int left = remaining_ms(timed, deadline);
    if (passed_over && left == 0) return Wait::kTimeout;
    const Wait waited = wait_readable(tap.in, wake, left, error);
    if (waited == Wait::kEnd) ended = true;
    else if (waited != Wait::kDatagram) return waited;
  }
}

}  // namespace nimbo
