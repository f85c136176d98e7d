// SPDX-License-Identifier: Apache-2.0
// nimbo-bench-count: the router benchmark's receiver. Listens on --port with a receive buffer of
// --buffer bytes and kernel arrival stamps (SO_TIMESTAMPNS), prints "ready", and reads nothing
// while the datagrams come in, so that it takes no CPU from the sender and the router. When a
// line (or the end) arrives on standard input, it waits until its queue has stopped growing,
// drains it and prints how many datagrams arrived, the time from the first arrival to the last
// and the datagrams the kernel dropped for want of room:
//
//   received 200000 span 512345678 ns drops 0
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "arguments.h"
#include "net.h"

namespace {

constexpr unsigned kBatch = 256;       // datagrams per recvmmsg
constexpr std::size_t kDatagramMax = 65536;

struct Options {
  long port = 0;
  long buffer = 1L << 28;
};

struct Count {
  long received = 0;
  long long first_ns = 0;  // arrival stamps, CLOCK_REALTIME
  long long last_ns = 0;
};

[[noreturn]] void usage() {
  std::fprintf(stderr, "usage: nimbo-bench-count --port P [--buffer BYTES]\n");
  std::exit(64);
}

using nimbo_tools::die;

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    long* field = arg == "--port" ? &o.port : arg == "--buffer" ? &o.buffer : nullptr;
    const long max = arg == "--port" ? 65535 : 1L << 30;
    if (field == nullptr || !nimbo_tools::parse_number(argv[i + 1], 1, max, field)) usage();
  }
  if (argc % 2 == 0 || o.port == 0) usage();
  return o;
}

// The socket's memory counters: SK_MEMINFO_RMEM_ALLOC (bytes queued), SK_MEMINFO_DROPS.
void meminfo(int fd, std::uint32_t (&memory)[SK_MEMINFO_VARS]) {
  socklen_t length = sizeof memory;
  if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0) die("getsockopt(SO_MEMINFO)");
}

int open_receiver(const Options& o) {
  const int fd = nimbo::open_udp_socket();
  const int buffer = static_cast<int>(o.buffer);
  // Past net.core.rmem_max where we may (CAP_NET_ADMIN), else up to it.
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0 &&
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer) != 0)
    die("setsockopt(SO_RCVBUF)");
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) die("setsockopt(SO_TIMESTAMPNS)");
  nimbo::bind_or_exit(fd, nimbo::ipv4_address(in_addr{htonl(INADDR_ANY)}, static_cast<std::int32_t>(o.port)));
  return fd;
}

// Until a line or the end arrives on standard input.
void await_go() {
  char c = 0;
  while (read(0, &c, 1) == 1 && c != '\n') {
  }
}

// Until the queue has held the same bytes for 50 ms: nothing is on its way any more.
void await_settled(int fd) {
  std::uint32_t before[SK_MEMINFO_VARS] = {}, after[SK_MEMINFO_VARS] = {};
  meminfo(fd, after);
  do {
    before[SK_MEMINFO_RMEM_ALLOC] = after[SK_MEMINFO_RMEM_ALLOC];
    const timespec pause{0, 50000000};
    nanosleep(&pause, nullptr);
    meminfo(fd, after);
  } while (after[SK_MEMINFO_RMEM_ALLOC] != before[SK_MEMINFO_RMEM_ALLOC]);
}

long long stamp_ns(msghdr* message) {
  for (cmsghdr* c = CMSG_FIRSTHDR(message); c != nullptr; c = CMSG_NXTHDR(message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec t{};
    std::memcpy(&t, CMSG_DATA(c), sizeof t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
  }
  std::fprintf(stderr, "nimbo-bench-count: a datagram without its arrival stamp\n");
  std::exit(1);
}

// Reads every queued datagram, noting the earliest and latest arrival.
Count drain(int fd) {
  static std::uint8_t data[kBatch][kDatagramMax];
  static iovec parts[kBatch];
  alignas(cmsghdr) static char control[kBatch][CMSG_SPACE(sizeof(timespec))];
  mmsghdr batch[kBatch];
  Count count;
  for (;;) {
    for (unsigned i = 0; i < kBatch; ++i) {
      parts[i] = {data[i], sizeof data[i]};
      batch[i] = {};
      batch[i].msg_hdr.msg_iov = &parts[i];
      batch[i].msg_hdr.msg_iovlen = 1;
      batch[i].msg_hdr.msg_control = control[i];
      batch[i].msg_hdr.msg_controllen = sizeof control[i];
    }
    const int n = recvmmsg(fd, batch, kBatch, MSG_DONTWAIT, nullptr);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return count;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) die("recvmmsg");
    for (int i = 0; i < n; ++i) {
      const long long at = stamp_ns(&batch[i].msg_hdr);
      if (count.received == 0 || at < count.first_ns) count.first_ns = at;
      if (count.received == 0 || at > count.last_ns) count.last_ns = at;
      ++count.received;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int fd = open_receiver(parse(argc, argv));
  std::printf("ready\n");
  std::fflush(stdout);
  await_go();
  await_settled(fd);
  const Count count = drain(fd);
  std::uint32_t memory[SK_MEMINFO_VARS] = {};
  meminfo(fd, memory);
  std::printf("received %ld span %lld ns drops %u\n", count.received, count.last_ns - count.first_ns,
              memory[SK_MEMINFO_DROPS]);
  return 0;
}
