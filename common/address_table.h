// SPDX-License-Identifier: Apache-2.0
// A small table of what is known about IP addresses, of fixed size, for state a router keeps per
// host (path MTUs, ICMP rate limits) without allocating: each key has kWays places it may take,
// and a new key replaces the one among them touched longest ago. No lock: its owner holds one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace nimbo {

struct AddressKey {
  int family;
  int ifindex;                 // 0 when it plays no part
  std::uint8_t address[16];    // IPv4 in the first 4 bytes, the rest 0
  std::uint8_t source[16];     // as address; all 0 when it plays no part
};

inline AddressKey address_key(int family, const std::uint8_t* address, std::size_t length, int ifindex) {
  AddressKey key{family, ifindex, {}, {}};
  std::memcpy(key.address, address, length);
  return key;
}

// The clock the tables' ages are measured on, in milliseconds: CLOCK_MONOTONIC_COARSE, a few ms
// fine, is enough for ages of a second and costs no more than reading memory.
inline std::int64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

template <typename Value>
struct AddressEntry {
  AddressKey key;
  bool used;
  std::int64_t touched_ms;
  Value value;
};

template <typename Value, std::size_t Sets>
struct AddressTable {
  static constexpr std::size_t kWays = 4;
  AddressEntry<Value> entries[Sets * kWays];

  // The key's entry, or null.
  AddressEntry<Value>* find(const AddressKey& key) {
    AddressEntry<Value>* set = set_of(key);
    for (std::size_t i = 0; i < kWays; ++i)
      if (set[i].used && same(set[i].key, key)) return &set[i];
    return nullptr;
  }

  // The key's entry; when it has none, one made in place of the oldest of its set, *made true.
  AddressEntry<Value>* claim(const AddressKey& key, std::int64_t now_ms, bool* made) {
    AddressEntry<Value>* found = find(key);
    *made = found == nullptr;
    if (found == nullptr) {
      AddressEntry<Value>* set = set_of(key);
      found = &set[0];
      for (std::size_t i = 1; i < kWays && found->used; ++i)
        if (!set[i].used || set[i].touched_ms < found->touched_ms) found = &set[i];
      *found = AddressEntry<Value>{key, true, now_ms, Value{}};
    }
    found->touched_ms = now_ms;
    return found;
  }

 private:
  static bool same(const AddressKey& a, const AddressKey& b) {
    return a.family == b.family && a.ifindex == b.ifindex && std::memcmp(a.address, b.address, 16) == 0 &&
           std::memcmp(a.source, b.source, 16) == 0;
  }

  AddressEntry<Value>* set_of(const AddressKey& key) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (std::uint8_t b : key.address) hash = (hash ^ b) * 16777619u;
    for (std::uint8_t b : key.source) hash = (hash ^ b) * 16777619u;
    hash = (hash ^ static_cast<std::uint32_t>(key.ifindex)) * 16777619u;
    return &entries[(hash % Sets) * kWays];
  }
};

}  // namespace nimbo
