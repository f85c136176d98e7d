// libNimboReceive's receive path, called through its exports with a JNI table of our own, against
// datagrams that a plain socket sends to the group inside the private namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "NimboReceive.h"
#include "net.h"

namespace {

using Bytes = std::vector<jbyte>;
constexpr std::size_t kBufSize = 6044;
constexpr char kGroup[] = "239.1.2.3";
constexpr int kPort = 47300;

// The JNI calls the receiver makes, and no others: a Java string is its C characters, a byte[]
// is a Bytes that the caller of read_array owns.
std::atomic<bool> failNextArray{false};

JNIEnv* fake_env() {
  static const JNINativeInterface_ table = [] {
    JNINativeInterface_ t{};
    t.GetStringUTFChars = [](JNIEnv*, jstring s, jboolean*) { return reinterpret_cast<const char*>(s); };
    t.NewByteArray = [](JNIEnv*, jsize n) {
      return failNextArray.exchange(false) ? nullptr
                                           : reinterpret_cast<jbyteArray>(new Bytes(static_cast<std::size_t>(n)));
    };
    t.SetByteArrayRegion = [](JNIEnv*, jbyteArray a, jsize start, jsize n, const jbyte* from) {
      std::copy(from, from + n, reinterpret_cast<Bytes*>(a)->begin() + start);
    };
    return t;
  }();
  static JNIEnv env{&table};
  return &env;
}

std::unique_ptr<Bytes> read_array() {
  return std::unique_ptr<Bytes>(reinterpret_cast<Bytes*>(Java_NimboReceive_read(fake_env(), nullptr)));
}

// Differs at every byte from the pattern of any seed less than 256 away.
Bytes pattern(std::size_t length, std::uint32_t seed) {
  Bytes b(length);
  for (std::size_t i = 0; i < length; ++i) b[i] = static_cast<jbyte>(seed * 37 + i * 7);
  return b;
}

// The index of the first byte where the two differ; the size when they agree.
std::size_t first_difference(const Bytes& got, const Bytes& want) {
  if (got.size() != want.size()) return 0;
  return static_cast<std::size_t>(std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin());
}

class ReceiveTest : public testing::Test {
 protected:
  void SetUp() override {
    static const bool joined = [] {  // once per process: the library holds one socket
      Java_NimboReceive_init_1socket(fake_env(), nullptr, reinterpret_cast<jstring>(const_cast<char*>(kGroup)),
                                     kPort);
      return true;
    }();
    (void)joined;
    alarm(20);  // a datagram that never arrives ends the run instead of hanging it
    ASSERT_EQ(inet_pton(AF_INET, kGroup, &group_), 1);
  }
  void TearDown() override {
    close(sender_);
    alarm(0);
  }

  bool send(const Bytes& datagram) {
    return nimbo::send_datagram(sender_, datagram.data(), datagram.size(), nimbo::ipv4_address(group_, kPort));
  }

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
  ASSERT_EQ(first_difference(*read_array(), model), kBufSize);

  std::uint32_t seed = 2;
  for (const std::size_t length : GetParam().lengths) {
    const Bytes datagram = pattern(length, seed++);
    ASSERT_TRUE(send(datagram)) << length;
    std::copy_n(datagram.begin(), std::min(length, kBufSize), model.begin());
    EXPECT_EQ(first_difference(*read_array(), model), kBufSize) << "after a datagram of " << length;
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
  failNextArray = true;
  EXPECT_EQ(read_array(), nullptr);
  const auto array = read_array();
  EXPECT_EQ(Bytes(array->begin(), array->begin() + 20), pattern(20, 9));
}

TEST_F(ReceiveTest, TwoReadersGetEveryDatagramOnceAndWhole) {
  constexpr std::uint32_t kCount = 20000, kStop = 0xFFFFFFFF;
  constexpr std::uint32_t kInFlight = 256;  // a queue for both readers, well inside 8 MiB
  ASSERT_EQ(Java_NimboReceive_set_1rcv_1buf(fake_env(), nullptr, 4 << 20), 0);
  const auto numbered = [](std::uint32_t k) {
    Bytes d = pattern(8 + k * 997 % (kBufSize - 7), k);  // 8 to 6044 bytes, the number first
    std::memcpy(d.data(), &k, sizeof k);
    return d;
  };
  std::atomic<std::uint32_t> taken{0};
  std::atomic<int> torn{0};
  std::vector<std::uint32_t> seen[2];
  const auto reader = [&](std::vector<std::uint32_t>* mine) {
    for (std::uint32_t k; const auto array = read_array(); mine->push_back(k), ++taken) {
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

}  // namespace
