// SPDX-License-Identifier: Apache-2.0
#include "icmp_rate.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace nimbo {

namespace {

constexpr std::int64_t kSettingsLifetimeMs = 1000;

std::int64_t min64(std::int64_t a, std::int64_t b) { return a < b ? a : b; }

// A file of /proc/sys, as text; false when it cannot be read.
bool read_setting(const char* path, char (&text)[128]) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  return true;
}

bool read_number(const char* path, long min, long max, long* value) {
  char text[128];
  if (!read_setting(path, text)) return false;
  char* end = nullptr;
  const long number = std::strtol(text, &end, 10);
  if (end == text || number < min || number > max) return false;
  *value = number;
  return true;
}

void read_int(const char* path, int* value) {
  long number = 0;
  if (read_number(path, 0, 0x7FFFFFFF, &number)) *value = static_cast<int>(number);
}

// A number of at most three digits at *text, moved past.
bool parse_type(const char** text, int* type) {
  const char* p = *text;
  int value = 0, digits = 0;
  for (; *p >= '0' && *p <= '9' && digits < 4; ++p, ++digits) value = value * 10 + (*p - '0');
  if (digits == 0 || digits > 3 || value > 255) return false;
  *type = value;
  *text = p;
  return true;
}

bool limited(const IcmpLimits& limits, int family, int type, int code) {
  if (family == AF_INET) {
    if (type == 3 && code == 4) return false;  // path MTU discovery needs every one of them
    return type < 32 && ((limits.ipv4_types >> type) & 1u) != 0;
  }
  if (type < 0 || type > 255) return false;
  const auto bit = static_cast<unsigned>(type);
  return ((limits.ipv6_types[bit / 8] >> (bit % 8)) & 1u) != 0;
}

// The host's bucket: may one more error go?
bool host_allows(IcmpRateState* state, const IcmpLimits& limits, std::int64_t now_ms) {
  const std::int64_t full = static_cast<std::int64_t>(limits.burst) * 1000;
  if (!state->started) {
    state->started = true;
    state->credit = full;
    state->refilled_ms = now_ms;
  }
  if (now_ms > state->refilled_ms) {
    state->credit = min64(state->credit + (now_ms - state->refilled_ms) * limits.per_second, full);
    state->refilled_ms = now_ms;
  }
  return state->credit >= 1000;
}

// The destination's bucket: takes one interval's time when it has that much saved up.
bool destination_allows(IcmpRateState* state, int interval_ms, const AddressKey& key, std::int64_t now_ms) {
  if (interval_ms <= 0) return true;
  const std::int64_t full = static_cast<std::int64_t>(kIcmpBurstFactor) * interval_ms;
  bool made = false;
  AddressEntry<IcmpBucket>* peer = state->peers.claim(key, now_ms, &made);
  IcmpBucket& b = peer->value;
  b.tokens_ms = made ? full : min64(b.tokens_ms + (now_ms - b.refilled_ms), full);
  b.refilled_ms = now_ms;
  if (b.tokens_ms < interval_ms) return false;
  b.tokens_ms -= interval_ms;
  return true;
}

}  // namespace

IcmpLimits default_icmp_limits() {
  IcmpLimits l{1000, 6168, 1000, {}, 1000, 50};
  parse_icmp_types("0-1,3-127", l.ipv6_types);
  return l;
}

bool parse_icmp_types(const char* text, std::uint8_t (&types)[32]) {
  std::uint8_t parsed[32] = {};
  const char* p = text;
  while (*p != '\0' && *p != '\n') {
    int first = 0, last = 0;
    if (!parse_type(&p, &first)) return false;
    last = first;
    if (*p == '-') {
      ++p;
      if (!parse_type(&p, &last) || last < first) return false;
    }
    for (int t = first; t <= last; ++t) parsed[t / 8] = static_cast<std::uint8_t>(parsed[t / 8] | 1u << (t % 8));
    if (*p == ',' && p[1] != '\0' && p[1] != '\n') ++p;
    else if (*p != '\0' && *p != '\n') return false;
  }
  std::memcpy(types, parsed, sizeof parsed);
  return true;
}

IcmpLimits read_icmp_limits() {
  IcmpLimits l = default_icmp_limits();
  read_int("/proc/sys/net/ipv4/icmp_ratelimit", &l.ipv4_interval_ms);
  read_int("/proc/sys/net/ipv6/icmp/ratelimit", &l.ipv6_interval_ms);
  read_int("/proc/sys/net/ipv4/icmp_msgs_per_sec", &l.per_second);
  read_int("/proc/sys/net/ipv4/icmp_msgs_burst", &l.burst);
  long mask = 0;
  if (read_number("/proc/sys/net/ipv4/icmp_ratemask", 0, 0x7FFFFFFF, &mask)) l.ipv4_types = static_cast<std::uint32_t>(mask);
  char text[128];
  if (read_setting("/proc/sys/net/ipv6/icmp/ratemask", text)) parse_icmp_types(text, l.ipv6_types);
  return l;
}

bool icmp_rate_allow(IcmpRateState* state, const IcmpLimits& limits, int family, const std::uint8_t* destination,
                     int type, int code, std::int64_t now_ms) {
  if (!limited(limits, family, type, code)) return true;
  if (!host_allows(state, limits, now_ms)) return false;
  const AddressKey key = address_key(family, destination, family == AF_INET ? 4 : 16, 0);
  if (!destination_allows(state, family == AF_INET ? limits.ipv4_interval_ms : limits.ipv6_interval_ms, key, now_ms))
    return false;
  state->credit -= 1000;
  return true;
}

bool icmp_error_allowed(int family, const std::uint8_t* destination, int type, int code) {
  static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  static IcmpRateState state;
  static IcmpLimits limits;
  static std::int64_t limits_read_ms;
  static bool limits_read = false;
  const std::int64_t now = monotonic_ms();
  pthread_mutex_lock(&lock);
  if (!limits_read || now - limits_read_ms >= kSettingsLifetimeMs) {
    limits = read_icmp_limits();
    limits_read_ms = now;
    limits_read = true;
  }
  const bool allowed = icmp_rate_allow(&state, limits, family, destination, type, code, now);
  pthread_mutex_unlock(&lock);
  return allowed;
}

}  // namespace nimbo
