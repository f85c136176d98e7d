// SPDX-License-Identifier: Apache-2.0
// nimbo-bench-send: the router benchmark's sender. Sends --count UDP datagrams of --length payload
// bytes to --to:--port as fast as sendmmsg takes them, with Router Alert (94 04 00 00) when asked,
// and prints what it sent and how long that took:
//
//   sent 200000 in 512345678 ns
#include <arpa/inet.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "arguments.h"
#include "net.h"

namespace {

constexpr unsigned kBatch = 64;        // datagrams per sendmmsg
constexpr long kLengthMax = 65507;     // the longest UDP payload over IPv4 without options

struct Options {
  const char* to = nullptr;
  long port = 0;
  long length = 64;
  long count = 1;
  bool router_alert = false;
};

[[noreturn]] void usage() {
  std::fprintf(stderr, "usage: nimbo-bench-send --to ADDRESS --port P [--length L] [--count N] [--router-alert]\n");
  std::exit(64);
}

using nimbo_tools::die;

long number(const char* text, long min, long max) { return nimbo_tools::number_or_usage(text, min, max, usage); }

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--router-alert") {
      o.router_alert = true;
      continue;
    }
    if (i + 1 >= argc) usage();
    const char* value = argv[++i];
    if (arg == "--to") o.to = value;
    else if (arg == "--port") o.port = number(value, 1, 65535);
    else if (arg == "--length") o.length = number(value, 0, kLengthMax);
    else if (arg == "--count") o.count = number(value, 1, LONG_MAX);
    else usage();
  }
  if (o.to == nullptr || o.port == 0) usage();
  return o;
}

long long now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// A UDP socket connected to the receiver, carrying Router Alert when asked.
int open_connected(const Options& o) {
  in_addr address{};
  if (inet_pton(AF_INET, o.to, &address) != 1) usage();
  const int fd = nimbo::open_udp_socket();
  if (o.router_alert) {
    std::uint8_t options[nimbo::kOptionBufferSize];
    nimbo::add_router_alert(fd, options);
  }
  const sockaddr_in to = nimbo::ipv4_address(address, static_cast<std::int32_t>(o.port));
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) die("connect");
  return fd;
}

// Sends count datagrams, kBatch at a time, every one of them the same bytes.
void send_all(int fd, std::uint8_t* payload, std::size_t length, long count) {
  iovec data{payload, length};
  mmsghdr batch[kBatch] = {};
  for (mmsghdr& m : batch) {
    m.msg_hdr.msg_iov = &data;
    m.msg_hdr.msg_iovlen = 1;
  }
  for (long left = count; left > 0;) {
    const unsigned n = left < static_cast<long>(kBatch) ? static_cast<unsigned>(left) : kBatch;
    const int sent = sendmmsg(fd, batch, n, 0);
    if (sent < 0 && errno != EINTR && errno != ENOBUFS) die("sendmmsg");
    if (sent > 0) left -= sent;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const int fd = open_connected(o);
  static std::uint8_t payload[kLengthMax];
  for (std::size_t i = 0; i < sizeof payload; ++i) payload[i] = static_cast<std::uint8_t>(i * 31 + 7);
  const long long start = now_ns();
  send_all(fd, payload, static_cast<std::size_t>(o.length), o.count);
  std::printf("sent %ld in %lld ns\n", o.count, now_ns() - start);
  return 0;
}
