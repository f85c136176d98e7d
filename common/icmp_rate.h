// SPDX-License-Identifier: Apache-2.0
// How often a router sends ICMP errors, limited as Linux limits its own, from its settings in
// /proc/sys/net (ip-sysctl.rst):
//  - per destination, for the types in net.ipv4.icmp_ratemask (net.ipv6.icmp.ratemask): a bucket
//    of six errors that refills one every net.ipv4.icmp_ratelimit (net.ipv6.icmp.ratelimit) ms;
//  - for the whole host, both families, the same types: net.ipv4.icmp_msgs_burst, refilled at
//    net.ipv4.icmp_msgs_per_sec. Linux randomises each error's cost there (one on average); here
//    each costs one.
// IPv4 "fragmentation needed" is never limited, and ICMPv6 Packet Too Big not unless the mask
// says so (by default it does not). Measured here: six errors to one host at once, then one per
// ratelimit, as Linux sends its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "address_table.h"

namespace nimbo {

struct IcmpLimits {
  int ipv4_interval_ms;
  std::uint32_t ipv4_types;     // a bit per type below 32
  int ipv6_interval_ms;
  std::uint8_t ipv6_types[32];  // a bit per type, type 0 in bit 0 of byte 0
  int per_second;
  int burst;
};

// Linux's defaults, which stand for what cannot be read.
IcmpLimits default_icmp_limits();

// Reads a list of ICMPv6 types as net.ipv6.icmp.ratemask has it ("0-1,3-127"). False, types
// unchanged, when it does not parse.
bool parse_icmp_types(const char* text, std::uint8_t (&types)[32]);

// The settings of this process's network namespace, defaults for any that cannot be read.
IcmpLimits read_icmp_limits();

constexpr int kIcmpBurstFactor = 6;  // errors to one host at once

struct IcmpBucket {
  std::int64_t tokens_ms;  // time saved up, at most kIcmpBurstFactor intervals
  std::int64_t refilled_ms;
};

struct IcmpRateState {
  AddressTable<IcmpBucket, 64> peers;
  bool started;
  std::int64_t credit;  // the host's errors in thousandths, up to burst * 1000
  std::int64_t refilled_ms;
};

// True when an error of this type and code to `destination` may go at now_ms (a monotonic clock),
// and then counted.
bool icmp_rate_allow(IcmpRateState* state, const IcmpLimits& limits, int family, const std::uint8_t* destination,
                     int type, int code, std::int64_t now_ms);

// The same for this process, with one state under a lock and the settings read again at most
// once a second. Safe from any thread.
bool icmp_error_allowed(int family, const std::uint8_t* destination, int type, int code);

}  // namespace nimbo
