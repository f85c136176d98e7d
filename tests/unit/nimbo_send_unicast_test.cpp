// SPDX-License-Identifier: Apache-2.0
// NimboSendUnicast's native methods, called as the VM calls them, through the JNI test double.
// A real JVM checks delivery, Router Alert, the TTL and the fatal reports
// (tests/jvm/NimboSendUnicastTest.java); here is what only the double sees: references left
// held, misuse, a VM that cannot supply a string, and many writers at once, which the tsan build
// watches for races on the library's process-wide socket, buffer and destination.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "NimboSendUnicast.h"
#include "fake_jni.h"
#include "receiver.h"

namespace {

using nimbo::test::FakeJni;
using nimbo::test::Receiver;
using testing::IsEmpty;
using Bytes = std::vector<std::uint8_t>;

class NimboSendUnicastTest : public testing::Test {
 protected:
  void SetUp() override {
    // Once per process, whichever test runs first: the library keeps one socket for good.
    static const bool opened = [] {
      FakeJni vm;
      Java_NimboSendUnicast_init_1socket(vm.env(), nullptr);
      return true;
    }();
    (void)opened;
  }
  void TearDown() override { EXPECT_THAT(jvm.unreleased(), IsEmpty()); }

  FakeJni jvm;
  JNIEnv* env = jvm.env();
};

// Calls the VM answers with an exception: nothing is read from the array, nothing sent.
struct Refused {
  const char* name;
  const char* host;  // nullptr passes null
  bool null_data;
  bool fail_utf;  // the VM cannot supply the host's characters
  const char* exception;
  const char* message;
};

class UnicastRefusedWrite : public NimboSendUnicastTest,
                            public testing::WithParamInterface<Refused> {};

TEST_P(UnicastRefusedWrite, ThrowsAndSendsNothing) {
  const Refused c = GetParam();
  Receiver receiver;
  if (c.fail_utf) jvm.fail_next_get_string_utf_chars();
  Java_NimboSendUnicast_write(env, nullptr, c.host ? jvm.string(c.host) : nullptr, receiver.port(),
                              c.null_data ? nullptr : jvm.byte_array(Bytes(8, 0x5a)));
  const auto thrown = jvm.exception();
  ASSERT_TRUE(thrown);
  EXPECT_EQ(thrown->class_name, c.exception);
  EXPECT_EQ(thrown->message, c.message);
  EXPECT_EQ(jvm.count("GetByteArrayRegion"), 0u);
  EXPECT_TRUE(receiver.quiet());
  jvm.clear_exception();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnicastRefusedWrite,
    testing::Values(
        Refused{"NullHost", nullptr, false, false, "java/lang/NullPointerException", "host"},
        Refused{"NullData", "127.0.0.1", true, false, "java/lang/NullPointerException", "data"},
        // One exception, for the first parameter.
        Refused{"NullBoth", nullptr, true, false, "java/lang/NullPointerException", "host"},
        Refused{"NoHostChars", "127.0.0.1", false, true, "java/lang/OutOfMemoryError",
                "GetStringUTFChars"}),
    [](const testing::TestParamInfo<Refused>& c) { return c.param.name; });

// Writer w's datagram i: its length (1 to 6500) and every byte depend on both, so a datagram
// sent with another writer's bytes or to another writer's port shows.
Bytes datagram(int w, int i) {
  Bytes data(static_cast<std::size_t>(1 + (i * 37 + w * 211) % 6500));
  for (std::size_t k = 0; k < data.size(); ++k)
    data[k] = static_cast<std::uint8_t>(k * 7 + static_cast<std::size_t>(w * 31 + i));
  return data;
}

// Several threads, each with its own JNIEnv and its own receiver, writing at once: every
// datagram arrives once, whole and in order (one pair of loopback sockets), at its own port, and
// every host string is released (TearDown).
TEST_F(NimboSendUnicastTest, ConcurrentWritersDeliverEveryDatagramWholeToItsOwnPort) {
  constexpr int kWriters = 4, kCount = 200;
  std::vector<std::unique_ptr<Receiver>> receivers;
  for (int w = 0; w < kWriters; ++w) {
    receivers.push_back(std::make_unique<Receiver>());
    receivers.back()->make_room(4 << 20);  // all of a writer's datagrams, read after the writing
  }
  std::vector<int> thrown(kWriters, 0);
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      JNIEnv* const own = jvm.env();
      const jstring host = jvm.string("127.0.0.1");
      const int port = receivers[static_cast<std::size_t>(w)]->port();
      for (int i = 0; i < kCount; ++i) {
        Java_NimboSendUnicast_write(own, nullptr, host, port, jvm.byte_array(datagram(w, i)));
        thrown[static_cast<std::size_t>(w)] += jvm.exception().has_value();
      }
    });
  }
  for (std::thread& t : writers) t.join();

  for (int w = 0; w < kWriters; ++w) {
    SCOPED_TRACE("writer " + std::to_string(w));
    Receiver& receiver = *receivers[static_cast<std::size_t>(w)];
    EXPECT_EQ(thrown[static_cast<std::size_t>(w)], 0);
    for (int i = 0; i < kCount; ++i) {
      const auto got = receiver.receive();
      if (!got || got->data != datagram(w, i)) {
        ADD_FAILURE() << "datagram " << i << " missing or not as sent ("
                      << (got ? std::to_string(got->data.size()) + " bytes" : "none") << ")";
        break;
      }
    }
    EXPECT_TRUE(receiver.quiet()) << "more datagrams than written";
  }
}

}  // namespace
