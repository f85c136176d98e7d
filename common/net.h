// SPDX-License-Identifier: Apache-2.0
// Socket set-up shared by the libraries: the group check, the Router Alert insertion and the
// few steps every library repeats. Linked statically into each library and hidden there.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "ip_options.h"

namespace nimbo {

constexpr std::size_t kOptionBufferSize = 44;  // 40 bytes of IPv4 options, rounded up with room to spare
constexpr std::size_t kOptionSpaceMax = 40;    // the most IPv4 option bytes a header can hold

// The first IPv4 address of a host lookup, in network byte order. Any other kind of answer
// (no answer, an address family other than AF_INET, an address not 4 bytes long) is false.
// A dotted quad in plain decimal is parsed without the resolver, to the same address.
// Reentrant: the lookup's storage lives on the stack, up to 64 KiB for a name with many
// addresses or aliases.
bool resolve_ipv4(const char* name, in_addr* address);

// True when the address (network byte order) lies in 224.0.0.0/4.
bool is_multicast(in_addr address);

// The group's address in network byte order. Ends the process with "<group>: Unknow host" when the
// name does not resolve and "<group>: is not  multicast" when it is outside 224.0.0.0/4.
in_addr check_group(const char* group);

// Appends Router Alert after the last of the options the kernel returned (`length` bytes; End
// of List may pad them) and returns the option length to install, a multiple of 4. A list that
// holds Router Alert already is returned as it is. When the read failed (length past 40), the
// list does not parse or has no room left, returns 44, which the kernel refuses. Never touches
// a byte past the 40.
socklen_t append_router_alert(std::uint8_t (&options)[kOptionBufferSize], socklen_t length);

// Adds Router Alert to the IP options the socket already carries, working in the caller's buffer.
// Ends the process with "cannot set bit Router Alert" when the kernel refuses the result.
void add_router_alert(int fd, std::uint8_t (&options)[kOptionBufferSize]);

// socket(AF_INET, SOCK_DGRAM, 0), or the end of the process with "cannot open socket".
int open_udp_socket();

// bind(2), or the end of the process with "cannot bind socket".
void bind_or_exit(int fd, const sockaddr_in& local);

// AF_INET, the address, and the low 16 bits of a Java int port in network byte order.
sockaddr_in ipv4_address(in_addr address, std::int32_t port);

// A destination looked up by name, or the end of the process with "<host>: Unknow host".
sockaddr_in resolve_destination(const char* host, std::int32_t port);

// The socket's SO_SNDBUF or SO_RCVBUF, or -1 after perror("getsockopt").
int buffer_size(int fd, int option);

// Sends one datagram; returns true when the kernel took it, false with errno set.
bool send_datagram(int fd, const void* data, std::size_t length, const sockaddr_in& to);

}  // namespace nimbo
