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
#include <cstdio>
#include <cstring>
#include <fstream>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "NimboReceive.h"
#include "child.h"
#include "fake_jni.h"
#include "net.h"

namespace {

// While set, called with the socket the library is about to bind or join to its group.
void (*on_setup)(int fd) = nullptr;

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

// The system call a thread is waiting in ("45" for recvfrom), from /proc.
std::string waiting_in(pid_t thread) {
  std::string call;
  std::ifstream("/proc/self/task/" + std::to_string(thread) + "/syscall") >> call;
  return call;
}

bool in_recvfrom(const std::string& call) {
#ifdef SYS_socketcall
  if (call == std::to_string(SYS_socketcall)) return true;  // i386's glibc receives through it
#endif
  return call == std::to_string(SYS_recvfrom);
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
    while (old_reader_id == 0 || !in_recvfrom(waiting_in(old_reader_id)))
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
