// SPDX-License-Identifier: Apache-2.0
// nimbo-tap: the router's view. On a forwarding host it takes every UDP datagram that carries
// the IP Router Alert option and is about to be forwarded, prints one line for it, and sends it
// on as the router itself would have (TTL one lower, in fragments where the next link needs them):
//
//   tap from 198.18.1.2 to 198.18.2.2 ttl 64 options 94 04 00 00 length 5
//
// The interception and the forwarding are common/'s (tap_socket.h, forwarder.h); this is a thin
// program around them. A datagram it cannot send on is reported on standard error, and it goes on.
// Prints "ready" once it listens; exits 0 after --count datagrams, 2 after --timeout-ms without one.
// --receive-buffer BYTES asks for that receive buffer (SO_RCVBUFFORCE where allowed). --mark M
// puts SO_MARK M (decimal, or hexadecimal after 0x) on what it sends, for firewall and routing
// rules (needs CAP_NET_ADMIN). --quiet
// prints no line per datagram, only a last one before it exits (the benchmark's way to run it):
//
//   tap received 1000 forwarded 1000 kernel drops 0
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "arguments.h"
#include "forwarder.h"
#include "intercepted.h"
#include "tap_socket.h"

namespace {

struct Options {
  long count = 1;
  int timeout_ms = 10000;
  int receive_buffer = 0;  // 0: the kernel's default
  std::uint32_t mark = 0;  // 0: none
  bool quiet = false;
};

// What went through the tap, for --quiet's last line.
struct Tally {
  long received = 0;
  long forwarded = 0;  // copies sent
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: nimbo-tap [--count N] [--timeout-ms T] [--receive-buffer BYTES] [--mark M] [--quiet]\n");
  std::exit(64);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    long number = 0;
    if (arg == "--quiet") {
      o.quiet = true;
      continue;
    }
    if (i + 1 >= argc) usage();
    if (arg == "--count" && nimbo_tools::parse_number(argv[++i], 1, LONG_MAX, &number)) o.count = number;
    else if (arg == "--timeout-ms" && nimbo_tools::parse_number(argv[++i], 0, INT_MAX, &number))
      o.timeout_ms = static_cast<int>(number);
    else if (arg == "--receive-buffer" && nimbo_tools::parse_number(argv[++i], 1, INT_MAX, &number))
      o.receive_buffer = static_cast<int>(number);
    else if (arg == "--mark") {
      if (!nimbo_tools::parse_u32(argv[++i], &o.mark)) usage();
    }
    else usage();
  }
  return o;
}

void print(const std::uint8_t* packet, const nimbo::Intercepted& in) {
  char from[INET_ADDRSTRLEN], to[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, packet + 12, from, sizeof from);
  inet_ntop(AF_INET, packet + 16, to, sizeof to);
  std::printf("tap from %s to %s ttl %d options", from, to, in.ttl);
  for (std::size_t i = 0; i < in.options_length; ++i) std::printf(" %02x", packet[in.options + i]);
  std::printf(" length %zu\n", in.payload_length);
  std::fflush(stdout);
}

// Why a datagram went nowhere, on standard error.
void report(const nimbo::Dropped& why, std::size_t length) {
  using nimbo::Drop;
  switch (why.reason) {
    case Drop::kNone:
      return;
    case Drop::kTtlExpired:
      std::fprintf(stderr, "nimbo-tap: TTL of a datagram of %zu bytes runs out here: dropped\n", length);
      return;
    case Drop::kNoRoute:
      std::fprintf(stderr, "nimbo-tap: no route for a datagram of %zu bytes: dropped\n", length);
      return;
    case Drop::kTooLong:
      std::fprintf(stderr, "nimbo-tap: datagram of %zu bytes exceeds MTU %d and may not be fragmented: dropped\n",
                   length, why.mtu);
      return;
    case Drop::kMtuTooSmall:
      std::fprintf(stderr, "nimbo-tap: MTU %d leaves no room to fragment a datagram of %zu bytes: dropped\n",
                   why.mtu, length);
      return;
    case Drop::kLinkDown:
      std::fprintf(stderr, "nimbo-tap: link down for a datagram of %zu bytes: dropped\n", length);
      return;
    case Drop::kRefused:
      std::fprintf(stderr, "nimbo-tap: the kernel refused a datagram of %zu bytes: dropped\n", length);
      return;
    case Drop::kQueueFull:
      std::fprintf(stderr, "nimbo-tap: no room in the queue for a datagram of %zu bytes: dropped\n", length);
      return;
    case Drop::kBadSource:
      std::fprintf(stderr, "nimbo-tap: datagram of %zu bytes from a source no router forwards: dropped\n", length);
      return;
  }
}

// --quiet's last line: the datagrams taken and sent on, and those the kernel dropped because the
// tap's queue was full.
void print_tally(const nimbo::TapSockets& tap, const Tally& tally) {
  std::uint32_t drops = 0;
  nimbo::SystemError error{};
  if (!nimbo::tap_drops(tap, &drops, &error)) nimbo_tools::die(error.call, error.error);
  std::printf("tap received %ld forwarded %ld kernel drops %u\n", tally.received, tally.forwarded, drops);
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  nimbo::TapSockets tap{};
  nimbo::SystemError error{};
  if (!nimbo::open_ipv4_tap(IPPROTO_UDP, &tap, &error)) nimbo_tools::die(error.call, error.error);
  if (o.receive_buffer != 0 && !nimbo::set_tap_receive_buffer(tap, o.receive_buffer, &error))
    nimbo_tools::die(error.call, error.error);
  if (o.mark != 0 && !nimbo::set_tap_mark(tap, o.mark, &error)) nimbo_tools::die(error.call, error.error);
  std::printf("ready\n");
  std::fflush(stdout);

  std::vector<std::uint8_t> packet(nimbo::kInterceptedMax);
  Tally tally;
  while (tally.received < o.count) {
    nimbo::Intercepted in{};
    int ifindex = 0;
    const nimbo::Wait got = nimbo::receive_intercepted(tap, -1, o.timeout_ms, packet.data(), packet.size(),
                                                       &in, &ifindex, &error);
    if (got == nimbo::Wait::kTimeout) {
      if (o.quiet) print_tally(tap, tally);
      std::printf("tap timeout after %ld datagrams\n", tally.received);
      return 2;
    }
    if (got != nimbo::Wait::kDatagram) nimbo_tools::die(error.call, error.error);
    if (!o.quiet) print(packet.data(), in);
    ++tally.received;
    int copies = 0;
    nimbo::Dropped why{};
    // One datagram that fails to go out must not stop the router.
    if (nimbo::forward_intercepted(tap, -1, packet.data(), in, ifindex, &copies, &error, &why) ==
        nimbo::Sent::kFailed)
      std::fprintf(stderr, "nimbo-tap: %s: %s\n", error.call, std::strerror(error.error));
    else if (copies == 0)
      report(why, in.length);
    tally.forwarded += copies;
  }
  if (o.quiet) print_tally(tap, tally);
  std::fflush(stdout);
  return 0;
}
