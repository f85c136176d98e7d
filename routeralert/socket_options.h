// SPDX-License-Identifier: Apache-2.0
// Router Alert on a socket's options, read back from and written to the kernel. Each returns
// false with a Java exception pending: IOException with the system's text when a call fails.
#pragma once

#include <jni.h>

#include <cstdint>

namespace nimbo {

// AF_INET or AF_INET6.
bool socket_family(JNIEnv* env, int fd, int* family);

bool add_ipv4_router_alert(JNIEnv* env, int fd);
bool has_ipv4_router_alert(JNIEnv* env, int fd, bool* present);

// Setting a hop-by-hop header needs CAP_NET_RAW; the IOException says so.
bool set_ipv6_router_alert(JNIEnv* env, int fd, std::uint16_t value);
bool has_ipv6_router_alert(JNIEnv* env, int fd, bool* present);

// Takes Router Alert out of the IPv4 options and, when ipv6, the hop-by-hop header: both or,
// with the exception, neither.
bool remove_router_alerts(JNIEnv* env, int fd, bool ipv6);

}  // namespace nimbo
