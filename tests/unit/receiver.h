// SPDX-License-Identifier: Apache-2.0
// A UDP receiver for tests: what arrives, with the TTL and IP options it arrived with.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace nimbo::test {

struct Datagram {
  std::vector<std::uint8_t> data;
  int ttl = -1;                       // from IP_RECVTTL
  std::vector<std::uint8_t> options;  // from IP_RECVOPTS; empty when the datagram had none
};

class Receiver {
 public:
  // Bound to an ephemeral port of 127.0.0.1; or, given a group, of INADDR_ANY and joined to the
  // group on loopback. Fails the test (and stays unusable) when the kernel refuses.
  explicit Receiver(const char* group = nullptr);
  ~Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  int port() const { return port_; }

  // A receive buffer of bytes (the kernel doubles them) whatever the system's limit, room for
  // datagrams that pile up before they are read. Fails the test unless it gets that size.
  void make_room(int bytes);

  // The next datagram, waiting at most timeout_ms for it.
  std::optional<Datagram> receive(int timeout_ms = 2000);

  // True when no datagram is waiting: a marker sent now from another socket to 127.0.0.1 is
  // the first to arrive (loopback delivers in order, so this needs no timeout).
  bool quiet();

 private:
  int fd_ = -1;
  int port_ = 0;
};

// While set, called with the socket that code in this process is about to bind (or join to its
// group): the test executable's bind() and setsockopt() come before libc's (receive_test.cpp).
extern void (*on_setup)(int fd);

// The TTL the kernel gives unicast datagrams here (net.ipv4.ip_default_ttl).
int default_unicast_ttl();

}  // namespace nimbo::test
