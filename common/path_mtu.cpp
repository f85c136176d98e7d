// SPDX-License-Identifier: Apache-2.0
#include "path_mtu.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nimbo {

namespace {

struct Learned {
  int mtu;
  std::int64_t learned_ms;
};

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
AddressTable<Learned, 64> known;  // under lock

bool no_source(const AddressKey& key) {
  static constexpr std::uint8_t kNone[16] = {};
  return std::memcmp(key.source, kNone, sizeof kNone) == 0;
}

// Gives fd the copies' route: sender's mark, and the key's source, which is not this host's. A
// route by a foreign source needs IP_TRANSPARENT (CAP_NET_RAW, which a tap has); a process that
// gave it up learns the route without the source. Returns the call that failed, or null.
const char* route_as_copies(int fd, const AddressKey& key, int sender) {
  std::uint32_t mark = 0;
  socklen_t size = sizeof mark;
  if (getsockopt(sender, SOL_SOCKET, SO_MARK, &mark, &size) != 0) return "getsockopt(SO_MARK)";
  if (mark != 0 && setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0) return "setsockopt(SO_MARK)";
  const int on = 1;
  if (no_source(key)) return nullptr;
  if (key.family == AF_INET) {
    if (setsockopt(fd, IPPROTO_IP, IP_TRANSPARENT, &on, sizeof on) != 0) return nullptr;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    std::memcpy(&from.sin_addr, key.source, 4);
    return bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0 ? nullptr : "bind";
  }
  if (setsockopt(fd, IPPROTO_IPV6, IPV6_TRANSPARENT, &on, sizeof on) != 0) return nullptr;
  sockaddr_in6 from{};
  from.sin6_family = AF_INET6;
  std::memcpy(&from.sin6_addr, key.source, 16);
  return bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0 ? nullptr : "bind";
}

// Connects fd to the key's address (port 9, discard), out of its interface where it names one.
// Returns the call that failed, or null.
const char* connect_to(int fd, const AddressKey& key) {
  if (key.family == AF_INET) {
    ip_mreqn via{};
    via.imr_ifindex = key.ifindex;
    if (key.ifindex != 0 && setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via) != 0)
      return "setsockopt(IP_MULTICAST_IF)";
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    std::memcpy(&to.sin_addr, key.address, 4);
    return connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 ? nullptr : "connect";
  }
  sockaddr_in6 to{};
  to.sin6_family = AF_INET6;
  to.sin6_port = htons(9);
  std::memcpy(&to.sin6_addr, key.address, 16);
  to.sin6_scope_id = static_cast<std::uint32_t>(key.ifindex);
  return connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 ? nullptr : "connect";
}

void remember(const AddressKey& key, int mtu) {
  const std::int64_t now = monotonic_ms();
  bool made = false;
  pthread_mutex_lock(&lock);
  known.claim(key, now, &made)->value = Learned{mtu, now};
  pthread_mutex_unlock(&lock);
}

}  // namespace

bool known_path_mtu(const AddressKey& key, int* mtu) {
  const std::int64_t now = monotonic_ms();
  pthread_mutex_lock(&lock);
  const AddressEntry<Learned>* entry = known.find(key);
  const bool fresh = entry != nullptr && now - entry->value.learned_ms < kPathMtuLifetimeMs;
  if (fresh) *mtu = entry->value.mtu;
  pthread_mutex_unlock(&lock);
  return fresh;
}

Probe learn_path_mtu(const AddressKey& key, int sender, int* mtu, SystemError* error) {
  const int fd = socket(key.family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = {"socket", errno};
    return Probe::kFailed;
  }
  Probe result = Probe::kFound;
  socklen_t size = sizeof *mtu;
  if (const char* refused = route_as_copies(fd, key, sender)) {
    *error = {refused, errno};
    result = Probe::kFailed;
  } else if (const char* failed = connect_to(fd, key)) {
    const int e = errno;
    const bool unreachable = e == ENETUNREACH || e == EHOSTUNREACH || e == ENETDOWN || e == ENODEV ||
                             e == ENXIO || e == EACCES || e == EPERM;
    *error = {failed, e};
    result = unreachable && std::strcmp(failed, "connect") == 0 ? Probe::kUnreachable : Probe::kFailed;
  } else if (getsockopt(fd, key.family == AF_INET ? IPPROTO_IP : IPPROTO_IPV6,
                        key.family == AF_INET ? IP_MTU : IPV6_MTU, mtu, &size) != 0) {
    *error = {key.family == AF_INET ? "getsockopt(IP_MTU)" : "getsockopt(IPV6_MTU)", errno};
    result = Probe::kFailed;
  }
  close(fd);
  if (result == Probe::kFound) remember(key, *mtu);
  return result;
}

}  // namespace nimbo
