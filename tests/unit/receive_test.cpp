// SPDX-License-Identifier: Apache-2.0
// libNimboReceive's receive path, called through its exports with the JNI test double, against
// datagrams that a plain socket sends to the group inside the private namespace.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "NimboReceive.h"
#include "child.h"
#include "fake_jni.h"
#include "net.h"
#include "receiver.h"

void (*nimbo::test::on_setup)(int fd) = nullptr;

namespace {

using nimbo::test::on_setup;
// While set on a thread, called there once the library has taken a datagram off its socket.
thread_local void (*on_received)() = nullptr;

template <class Function>
Function libc(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// The executable's definitions come first, so the library's calls land here before libc's.
int bind(int fd, const sockaddr* address, socklen_t length) noexcept {
  static const auto next = libc<int (*)(int, const sockaddr*, socklen_t)>("bind");
  if (on_setup != nullptr) on_setup(fd);
  return next(fd, address, length);
}

int setsockopt(int fd, int level, int name, const void* value, socklen_t length) noexcept {
  static const auto next = libc<int (*)(int, int, int, const void*, socklen_t)>("setsockopt");
  if (on_setup != nullptr && level == IPPROTO_IP && name == IP_ADD_MEMBERSHIP) on_setup(fd);
  return next(fd, level, name, value, length);
}

ssize_t recvfrom(int fd, void* data, size_t size, int flags, sockaddr* from, socklen_t* length) {
  static const auto next =
      libc<ssize_t (*)(int, void*, size_t, int, sockaddr*, socklen_t*)>("recvfrom");
  const ssize_t received = next(fd, data, size, flags, from, length);
  if (received >= 0 && on_received != nullptr) on_received();
  return received;
}

namespace {

using nimbo::test::FakeJni;
using testing::ElementsAre;
using testing::IsEmpty;
using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kBufSize = 6044;
constexpr char kGroup[] = "239.1.2.3";
constexpr int kPort = 47300;

// Differs at every byte from the pattern of any seed less than 256 away.
Bytes pattern(std::size_t length, std::uint32_t seed) {
  Bytes b(length);
  for (std::size_t i = 0; i < length; ++i) b[i] = static_cast<std::uint8_t>(seed * 37 + i * 7);
  return b;
}

// The index of the first byte where the two differ; the size when they agree.
std::size_t first_difference(const Bytes& got, const Bytes& want) {
  if (got.size() != want.size()) return 0;
  return static_cast<std::size_t>(std::mismatch(got.begin(), got.end(), want.begin()).first -
                                  got.begin());
}

class ReceiveTest : public testing::Test {
 protected:
  void SetUp() override {
    // Once per process, whichever test runs first: the library holds one socket, and the group's
    // characters for good, so their double lives as long as the process.
    static FakeJni owner;
    static const bool joined = [] {
      Java_NimboReceive_init_1socket(owner.env(), nullptr, owner.string(kGroup), kPort);
      EXPECT_FALSE(owner.exception());
      EXPECT_THAT(owner.unreleased(), ElementsAre("GetStringUTFChars(\"239.1.2.3\")"));
      EXPECT_THAT(owner.take_misuse(), IsEmpty());
      return true;
    }();
    (void)joined;
    alarm(20);  // a datagram that never arrives ends the run instead of hanging it
    ASSERT_EQ(inet_pton(AF_INET, kGroup, &group_), 1);
  }
  void TearDown() override {
    close(sender_);
    alarm(0);
    EXPECT_THAT(jvm.unreleased(), IsEmpty());
  }

  // One read on the calling thread as Java makes it: the array's contents, nullopt for null. The
  // array's local ref goes when the native returns.
  std::optional<Bytes> read() {
    JNIEnv* const env = jvm.env();
    const jbyteArray array = Java_NimboReceive_read(env, nullptr);
    if (array == nullptr) return std::nullopt;
    EXPECT_FALSE(jvm.exception());
    Bytes contents = jvm.contents(array);
    env->DeleteLocalRef(array);
    return contents;
  }

  bool send(const Bytes& datagram, int port = kPort) {
    return nimbo::send_datagram(sender_, datagram.data(), datagram.size(),
                                nimbo::ipv4_address(group_, port));
  }

  FakeJni jvm;

 private:
  int sender_ = socket(AF_INET, SOCK_DGRAM, 0);
  in_addr group_{};
};

struct SequenceCase {
  const char* name;
  std::vector<std::size_t> lengths;  // datagrams sent and read one after another
};

class ReceiveSequence : public ReceiveTest, public testing::WithParamInterface<SequenceCase> {};

// Every array is the whole buffer: the datagram (at most 6044 bytes of it) at the front and,
// behind it, what earlier datagrams left.
TEST_P(ReceiveSequence, ArrayIsTheWholeBuffer) {
  Bytes model = pattern(kBufSize, 1);  // a full datagram first makes every byte of the buffer known
  ASSERT_TRUE(send(model));
  ASSERT_EQ(first_difference(read().value_or(Bytes()), model), kBufSize);

  std::uint32_t seed = 2;
  for (const std::size_t length : GetParam().lengths) {
    const Bytes datagram = pattern(length, seed++);
    ASSERT_TRUE(send(datagram)) << length;
    std::copy_n(datagram.begin(), std::min(length, kBufSize), model.begin());
    EXPECT_EQ(first_difference(read().value_or(Bytes()), model), kBufSize)
        << "after a datagram of " << length;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, ReceiveSequence,
    testing::Values(SequenceCase{"TenAfterHundred", {100, 10}},  // 10..99 are the older datagram's
                    SequenceCase{"LongerThanBufferIsCut", {6045, 65507}},
                    SequenceCase{"ZeroLengthLeavesBufferAsItWas", {50, 0}},
                    SequenceCase{"ExactlyFullThenOneByte", {6044, 1}}),
    [](const testing::TestParamInfo<SequenceCase>& c) { return c.param.name; });

TEST_F(ReceiveTest, WithoutAnArrayTheDatagramWaitsForTheNextRead) {
  ASSERT_TRUE(send(pattern(20, 9)));
  jvm.fail_next_new_byte_array();
  EXPECT_FALSE(read().has_value());
  ASSERT_TRUE(jvm.exception());
  EXPECT_EQ(jvm.exception()->class_name, "java/lang/OutOfMemoryError");
  jvm.clear_exception();
  const auto array = read();
  ASSERT_TRUE(array);
  EXPECT_EQ(Bytes(array->begin(), array->begin() + 20), pattern(20, 9));
}

TEST_F(ReceiveTest, TwoReadersGetEveryDatagramOnceAndWhole) {
  constexpr std::uint32_t kCount = 20000, kStop = 0xFFFFFFFF;
  // The kernel caps the buffer at twice net.core.rmem_max (212992 on a stock Debian) and charges
  // under 9 KiB for the longest datagram: half the queue it can hold, whatever the limit.
  ASSERT_EQ(Java_NimboReceive_set_1rcv_1buf(jvm.env(), nullptr, 1 << 20), 0);
  const std::uint32_t kInFlight =
      static_cast<std::uint32_t>(Java_NimboReceive_get_1rcv_1buf(jvm.env(), nullptr)) / 16384;
  ASSERT_GE(kInFlight, 8u);
  const auto numbered = [](std::uint32_t k) {
    Bytes d = pattern(8 + k * 997 % (kBufSize - 7), k);  // 8 to 6044 bytes, the number first
    std::memcpy(d.data(), &k, sizeof k);
    return d;
  };
  std::atomic<std::uint32_t> taken{0};
  std::atomic<int> torn{0};
  std::vector<std::uint32_t> seen[2];
  const auto reader = [&](std::vector<std::uint32_t>* mine) {
    for (std::uint32_t k; const auto array = read(); mine->push_back(k), ++taken) {
      std::memcpy(&k, array->data(), sizeof k);
      if (k == kStop) return;
      const Bytes want = numbered(k);
      if (!std::equal(want.begin(), want.end(), array->begin())) ++torn;
    }
    ++torn;  // read failed
  };
  std::thread first(reader, &seen[0]), second(reader, &seen[1]);
  for (std::uint32_t k = 0; k < kCount; ++k) {
    while (k - taken >= kInFlight) std::this_thread::yield();
    ASSERT_TRUE(send(numbered(k)));
  }
  ASSERT_TRUE(send(numbered(kStop)) && send(numbered(kStop)));  // one for each reader
  first.join();
  second.join();

  EXPECT_EQ(torn, 0);
  std::vector<std::uint32_t> all = seen[0], each(kCount);
  all.insert(all.end(), seen[1].begin(), seen[1].end());
  std::sort(all.begin(), all.end());
  std::iota(each.begin(), each.end(), 0u);
  EXPECT_EQ(all, each) << "the readers took " << seen[0].size() << " and " << seen[1].size();
}

// Holds up the thread that calls it (through on_received) until released, or for half a second
// at most: a reader taken off the processor right after it took its datagram off the socket.
struct Hold {
  std::mutex lock;
  std::condition_variable changed;
  bool holding = false;
  bool released = false;
} hold;

void hold_up() {
  on_received = nullptr;  // once
  std::unique_lock<std::mutex> lock(hold.lock);
  hold.holding = true;
  hold.changed.notify_all();
  hold.changed.wait_for(lock, std::chrono::milliseconds(500), [] { return hold.released; });
}

// The first reader takes a short datagram off the socket and is held up there; a second reader
// takes a longer one that came after it and may finish first. Neither array shows anything of a
// datagram that came after its own.
TEST_F(ReceiveTest, NoArrayShowsALaterDatagram) {
  const Bytes full = pattern(kBufSize, 1), shorter = pattern(10, 2), longer = pattern(100, 3);
  ASSERT_TRUE(send(full));  // every byte of the buffer known
  ASSERT_EQ(first_difference(read().value_or(Bytes()), full), kBufSize);

  hold.holding = hold.released = false;  // no reader yet
  std::optional<Bytes> first;
  std::thread first_reader([&] {
    on_received = hold_up;
    first = read();
  });
  EXPECT_TRUE(send(shorter));
  {
    std::unique_lock<std::mutex> lock(hold.lock);
    hold.changed.wait(lock, [] { return hold.holding; });
  }
  EXPECT_TRUE(send(longer));
  const auto second = read();
  {
    const std::lock_guard<std::mutex> lock(hold.lock);
    hold.released = true;
  }
  hold.changed.notify_all();
  first_reader.join();

  Bytes want = full;
  std::copy(shorter.begin(), shorter.end(), want.begin());
  EXPECT_EQ(first_difference(first.value_or(Bytes()), want), kBufSize) << "first reader";
  std::copy(longer.begin(), longer.end(), want.begin());
  EXPECT_EQ(first_difference(second.value_or(Bytes()), want), kBufSize) << "second reader";
}

// A read on a socket that is no longer one: the error on standard error and null, at once.
struct FailedRead {
  const char* name;
  void (*spoil)(int fd);  // what becomes of the library's socket
  const char* err;
};

class ReceiveFails : public ReceiveTest, public testing::WithParamInterface<FailedRead> {};

TEST_P(ReceiveFails, ReportsAndReturnsNull) {
  const auto r = nimbo::test::run_in_child([&] {
    alarm(5);  // a read that waits instead ends the child
    static int library_socket = -1;
    on_setup = [](int fd) { library_socket = fd; };
    Java_NimboReceive_init_1socket(jvm.env(), nullptr, jvm.string(kGroup), kPort + 2);
    on_setup = nullptr;
    GetParam().spoil(library_socket);
    std::printf("%s\n", read() ? "array" : "null");
  });
  EXPECT_EQ(r.out, "null\n");
  EXPECT_EQ(r.err, GetParam().err);
  EXPECT_EQ(r.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sockets, ReceiveFails,
    testing::Values(FailedRead{"Closed", [](int fd) { close(fd); },
                               "recvfrom: Bad file descriptor\n"},
                    // Its number taken by an empty pipe, which never becomes ready to read.
                    FailedRead{"NotASocket",
                               [](int fd) {
                                 int ends[2];
                                 if (pipe(ends) == 0) dup2(ends[0], fd);
                               },
                               "recvfrom: Socket operation on non-socket\n"}),
    [](const testing::TestParamInfo<FailedRead>& c) { return c.param.name; });

// The system call a thread is waiting in ("7" for poll), from /proc.
std::string waiting_in(pid_t thread) {
  std::string call;
  std::ifstream("/proc/self/task/" + std::to_string(thread) + "/syscall") >> call;
  return call;
}

bool in_poll(const std::string& call) {
  return call == std::to_string(SYS_poll) || call == std::to_string(SYS_ppoll);
}

// A reader still waiting on the socket that a second init_socket replaces holds up no read on
// the new one; and reads move to the new socket only once it is bound and joined.
TEST_F(ReceiveTest, SecondInitSocketMovesReadsOnceItsSocketIsReady) {
  const auto r = nimbo::test::run_in_child([&] {
    alarm(10);  // a read stuck behind the old socket's reader ends the child
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // and what was printed before it still shows
    std::atomic<pid_t> old_reader_id{0};
    std::optional<Bytes> old_read;
    std::thread old_reader([&] {
      old_reader_id = static_cast<pid_t>(syscall(SYS_gettid));
      old_read = read();
    });
    while (old_reader_id == 0 || !in_poll(waiting_in(old_reader_id)))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));

    static bool published_early = false;
    on_setup = [](int fd) {
      const int mark = 4099;  // the new socket shows by its buffer size
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &mark, sizeof mark);
      FakeJni vm;
      published_early |= Java_NimboReceive_get_1rcv_1buf(vm.env(), nullptr) == 2 * mark;
    };
    Java_NimboReceive_init_1socket(jvm.env(), nullptr, jvm.string(kGroup), kPort + 1);
    on_setup = nullptr;
    std::printf("reads saw the new socket at bind or join: %s\n", published_early ? "yes" : "no");

    const auto first_bytes = [](const std::optional<Bytes>& array, const Bytes& want) {
      return array && std::equal(want.begin(), want.end(), array->begin()) ? "datagram" : "none";
    };
    send(pattern(30, 5), kPort + 1);
    std::printf("new port: %s\n", first_bytes(read(), pattern(30, 5)));
    send(pattern(40, 6));  // wakes the old reader
    old_reader.join();
    std::printf("old port: %s\n", first_bytes(old_read, pattern(40, 6)));
  });
  EXPECT_EQ(r.out,
            "reads saw the new socket at bind or join: no\n"
            "new port: datagram\n"
            "old port: datagram\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

}  // namespace
