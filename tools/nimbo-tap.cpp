// SPDX-License-Identifier: Apache-2.0
// nimbo-tap: the router's view. On a forwarding host it takes every UDP datagram that carries
// the IP Router Alert option and is about to be forwarded, prints one line for it, and sends it
// on as the router itself would have (TTL one lower, in fragments where the next link needs them):
//
//   tap from 198.18.1.2 to 198.18.2.2 ttl 64 options 94 04 00 00 length 5
//
// The interception and the forwarding are common/'s (tap_socket.h, forwarder.h); this is a thin
// program around them. A datagram it cannot send on is reported on standard error, and it goes on.
// Prints "ready" once it listens, and runs until SIGINT or SIGTERM, --count datagrams, or
// --timeout-ms without one (when given). Then it stops taking datagrams (the kernel forwards new
// ones itself from then on), forwards those already queued, prints its tally and exits: 0, or 2
// after the time-out.
//
//   tap received 1000 forwarded 1000 kernel drops 0
//
// --receive-buffer BYTES asks for that receive buffer (SO_RCVBUFFORCE where allowed). --mark M
// puts SO_MARK M (decimal, or hexadecimal after 0x) on what it sends, for firewall and routing
// rules (needs CAP_NET_ADMIN). --quiet prints no line per datagram (the benchmark's way to run it).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "arguments.h"
#include "forwarder.h"
#include "intercepted.h"
#include "tap_socket.h"

namespace {

constexpr int kBatch = 16;  // datagrams per receive

struct Options {
  long count = LONG_MAX;
  int timeout_ms = -1;  // none
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

// The last line: the datagrams taken and sent on, and those the kernel dropped because the tap's
// queue was full.
void print_tally(const nimbo::TapSockets& tap, const Tally& tally) {
  std::uint32_t drops = 0;
  nimbo::SystemError error{};
  if (!nimbo::tap_drops(tap, &drops, &error)) nimbo_tools::die(error.call, error.error);
  std::printf("tap received %ld forwarded %ld kernel drops %u\n", tally.received, tally.forwarded, drops);
}

// SIGINT and SIGTERM: the handler only makes the eventfd readable, which ends a wait, and sets
// the flag, which the loop checks between datagrams.
volatile sig_atomic_t stopping = 0;
int stop_event = -1;

void request_stop(int) {
  const int saved = errno;
  stopping = 1;
  const std::uint64_t one = 1;
  (void)!write(stop_event, &one, sizeof one);
  errno = saved;
}

void stop_on_signals() {
  stop_event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stop_event < 0) nimbo_tools::die("eventfd");
  struct sigaction action {};
  action.sa_handler = request_stop;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0)
    nimbo_tools::die("sigaction");
}

// Prints (unless quiet) and forwards one datagram; one that fails to go out must not stop the router.
void forward(const Options& o, const nimbo::TapSockets& tap, nimbo::Slot& slot, Tally* tally) {
  if (!o.quiet) print(slot.buffer, slot.in);
  ++tally->received;
  int copies = 0;
  nimbo::SystemError error{};
  nimbo::Dropped why{};
  if (nimbo::forward_intercepted(tap, -1, slot.buffer, slot.in, slot.ifindex, &copies, &error, &why) ==
      nimbo::Sent::kFailed)
    std::fprintf(stderr, "nimbo-tap: %s: %s\n", error.call, std::strerror(error.error));
  else if (copies == 0)
    report(why, slot.in.length);
  tally->forwarded += copies;
}

// Receives a batch of datagrams and forwards them; what the wait gave.
nimbo::Wait take_batch(const Options& o, const nimbo::TapSockets& tap, int wake, int timeout_ms, Tally* tally) {
  static std::uint8_t memory[kBatch][nimbo::kInterceptedMax];  // room for the longest datagram in each slot
  static nimbo::Slot batch[kBatch];
  for (int i = 0; i < kBatch; ++i) batch[i].buffer = memory[i];
  int filled = 0;
  nimbo::SystemError error{};
  const nimbo::Wait got =
      nimbo::receive_intercepted(tap, wake, timeout_ms, batch, kBatch, sizeof memory[0], &filled, &error);
  if (got == nimbo::Wait::kFailed) nimbo_tools::die(error.call, error.error);
  for (int i = 0; i < filled; ++i) forward(o, tap, batch[i], tally);
  return got;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  stop_on_signals();
  nimbo::TapSockets tap{};
  nimbo::SystemError error{};
  if (!nimbo::open_ipv4_tap(IPPROTO_UDP, &tap, &error)) nimbo_tools::die(error.call, error.error);
  if (o.receive_buffer != 0 && !nimbo::set_tap_receive_buffer(tap, o.receive_buffer, &error))
    nimbo_tools::die(error.call, error.error);
  if (o.mark != 0 && !nimbo::set_tap_mark(tap, o.mark, &error)) nimbo_tools::die(error.call, error.error);
  std::printf("ready\n");
  std::fflush(stdout);

  Tally tally;
  nimbo::Wait got = nimbo::Wait::kDatagram;
  while (!stopping && tally.received < o.count && got == nimbo::Wait::kDatagram)
    got = take_batch(o, tap, stop_event, o.timeout_ms, &tally);
  // Stops taking datagrams, and forwards those already queued.
  if (!nimbo::shutdown_tap_input(tap, &error)) nimbo_tools::die(error.call, error.error);
  while (take_batch(o, tap, -1, -1, &tally) != nimbo::Wait::kEnd) {
  }
  const bool timed_out = got == nimbo::Wait::kTimeout;
  if (timed_out) std::printf("tap timeout after %ld datagrams\n", tally.received);
  print_tally(tap, tally);
  std::fflush(stdout);
  return timed_out ? 2 : 0;
}
