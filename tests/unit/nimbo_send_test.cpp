// SPDX-License-Identifier: Apache-2.0
// NimboSend's native methods, called as the VM calls them, through the JNI test double.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/net_tstamp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "NimboSend.h"
#include "child.h"
#include "fake_jni.h"
#include "receiver.h"

namespace {

using nimbo::test::Datagram;
using nimbo::test::FakeJni;
using nimbo::test::Receiver;
using nimbo::test::run_in_child;
using testing::IsEmpty;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kGroup = "239.1.2.3";
const Bytes kRouterAlert = {0x94, 0x04, 0x00, 0x00};

// Bytes that differ from one index to the next and include zeros.
Bytes pattern(std::size_t length, std::uint8_t seed = 0) {
  Bytes b(length);
  for (std::size_t i = 0; i < length; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + seed);
  return b;
}

// Names each parameterised case after its name field.
struct CaseName {
  template <class Case>
  std::string operator()(const testing::TestParamInfo<Case>& c) const {
    return c.param.name;
  }
};

std::size_t open_descriptors() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return static_cast<std::size_t>(std::distance(begin(fds), end(fds)));
}

// From now on the kernel stamps each datagram that fd sends as it hands it to the device (on
// loopback, within the sending call) and queues the stamp on fd's error queue.
bool stamp_sends(int fd) {
  const int flags =
      SOF_TIMESTAMPING_TX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_OPT_TSONLY;
  return setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPING, &flags, sizeof flags) == 0;
}

// The stamp of the next datagram fd sent, from its error queue; nullopt if none comes.
std::optional<std::chrono::system_clock::time_point> sent_at(int fd) {
  pollfd ready{fd, 0, 0};  // the error queue shows as POLLERR, which needs no asking
  if (poll(&ready, 1, 2000) != 1) return std::nullopt;
  alignas(cmsghdr) char control[256];
  msghdr message{};
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  if (recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return std::nullopt;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPING) continue;
    timespec at;  // the first of three: the software stamp
    std::memcpy(&at, CMSG_DATA(c), sizeof at);
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(at.tv_sec) + std::chrono::nanoseconds(at.tv_nsec)));
  }
  return std::nullopt;
}

class NimboSendTest : public testing::Test {
 protected:
  void TearDown() override { EXPECT_THAT(jvm.unreleased(), IsEmpty()); }

  jint init_socket(const char* group) {
    return Java_NimboSend_init_1socket(env, nullptr, 0, group ? jvm.string(group) : nullptr, 0);
  }
  void write(jint fd, jbyteArray data, jint length, const char* host, jint port) {
    Java_NimboSend_write(env, nullptr, fd, data, length, host ? jvm.string(host) : nullptr, port);
  }

  FakeJni jvm;
  JNIEnv* env = jvm.env();
};

TEST_F(NimboSendTest, InitSocketGivesABoundSenderWithTtl128AndRouterAlert) {
  for (const char* group : {kGroup, "224.0.0.0", "239.255.255.255"}) {
    SCOPED_TRACE(group);
    const jint fd = init_socket(group);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(jvm.exception());
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length), 0);
    EXPECT_EQ(local.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_NE(local.sin_port, 0) << "not bound";
    unsigned char ttl = 0;
    length = sizeof ttl;
    ASSERT_EQ(getsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &length), 0);
    EXPECT_EQ(ttl, 128);
    std::uint8_t options[40];
    length = sizeof options;
    ASSERT_EQ(getsockopt(fd, IPPROTO_IP, IP_OPTIONS, options, &length), 0);
    EXPECT_EQ(Bytes(options, options + length), kRouterAlert);
    EXPECT_EQ(Java_NimboSend_close_1socket(env, nullptr, fd), 0);
    EXPECT_EQ(Java_NimboSend_close_1socket(env, nullptr, fd), -1);
  }
}

// Calls the VM would answer with an exception: nothing is sent, nothing opened, nothing held.
struct Refused {
  const char* name;
  bool init;         // init_socket, else write
  bool null_data;    // write only
  const char* text;  // group or host; nullptr passes null
  bool fail_utf;     // the VM cannot supply the string's characters
  jsize array_length;
  jint length;
  const char* exception;
};

class RefusedCall : public NimboSendTest, public testing::WithParamInterface<Refused> {};

TEST_P(RefusedCall, ThrowsAndSendsNothing) {
  const Refused c = GetParam();
  const jint sender = init_socket(kGroup);
  ASSERT_GE(sender, 0);
  Receiver receiver;
  const std::size_t fds_before = open_descriptors();
  if (c.fail_utf) jvm.fail_next_get_string_utf_chars();

  if (c.init) {
    EXPECT_EQ(init_socket(c.text), -1);
  } else {
    const jbyteArray data =
        c.null_data ? nullptr : jvm.byte_array(pattern(static_cast<std::size_t>(c.array_length)));
    write(sender, data, c.length, c.text, receiver.port());
    EXPECT_EQ(jvm.count("GetByteArrayRegion"), 0u);
  }
  const auto thrown = jvm.exception();
  ASSERT_TRUE(thrown);
  EXPECT_EQ(thrown->class_name, c.exception);
  EXPECT_EQ(open_descriptors(), fds_before);
  EXPECT_TRUE(receiver.quiet());
  jvm.clear_exception();
  close(sender);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedCall,
    testing::Values(
        Refused{"InitNullGroup", true, false, nullptr, false, 0, 0,
                "java/lang/NullPointerException"},
        Refused{"InitNoChars", true, false, kGroup, true, 0, 0, "java/lang/OutOfMemoryError"},
        Refused{"NullData", false, true, "127.0.0.1", false, 0, 4,
                "java/lang/NullPointerException"},
        Refused{"NullHost", false, false, nullptr, false, 8, 4, "java/lang/NullPointerException"},
        Refused{"NullBoth", false, true, nullptr, false, 0, 4, "java/lang/NullPointerException"},
        Refused{"NoHostChars", false, false, "127.0.0.1", true, 8, 4, "java/lang/OutOfMemoryError"},
        Refused{"PastArray", false, false, "127.0.0.1", false, 10, 11,
                "java/lang/ArrayIndexOutOfBoundsException"},
        // Past the array wins over past the staging buffer.
        Refused{"PastArrayAndStaging", false, false, "127.0.0.1", false, 100, 7000,
                "java/lang/ArrayIndexOutOfBoundsException"},
        Refused{"PastArrayIntMax", false, false, "127.0.0.1", false, 0, INT_MAX,
                "java/lang/ArrayIndexOutOfBoundsException"}),
    CaseName());

// Calls that end the process: the stream, the exact text and status 1.
struct Fatal {
  const char* name;
  bool init;
  const char* text;  // group or host
  jsize array_length;
  jint length;
  bool bad_fd;
  const char* out;  // expected on standard output
  const char* err;  // expected on standard error after "<program>: "
  bool no_descriptors = false;  // the child may open no more files
};

class FatalCall : public NimboSendTest, public testing::WithParamInterface<Fatal> {};

TEST_P(FatalCall, ReportsAndExitsOne) {
  const Fatal c = GetParam();
  const Receiver receiver;
  const auto r = run_in_child([&] {
    if (c.no_descriptors) {
      // Only the library's calls meet the limit: the sanitizers' checks of the test's own code and
      // of the destructors that exit runs need descriptors too.
      JNIEnv* const e = env;
      const jstring group = jvm.string(c.text);
      static rlimit usual;
      getrlimit(RLIMIT_NOFILE, &usual);
      std::atexit([] { setrlimit(RLIMIT_NOFILE, &usual); });
      const rlimit none{0, usual.rlim_max};
      setrlimit(RLIMIT_NOFILE, &none);
      Java_NimboSend_init_1socket(e, nullptr, 0, group, 0);
      return;
    }
    if (c.init) {
      init_socket(c.text);
      return;
    }
    const jint fd = c.bad_fd ? -1 : init_socket(kGroup);
    write(fd, jvm.byte_array(pattern(static_cast<std::size_t>(c.array_length))), c.length, c.text,
          receiver.port());
  });
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, *c.err ? nimbo::test::program_name() + ": " + c.err : "");
  EXPECT_EQ(r.status, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FatalCall,
    testing::Values(
        Fatal{"NotMulticast", true, "10.1.2.3", 0, 0, false, "10.1.2.3: is not  multicast\n", ""},
        Fatal{"AboveMulticast", true, "240.0.0.1", 0, 0, false, "240.0.0.1: is not  multicast\n",
              ""},
        Fatal{"UnknownGroup", true, "nowhere.invalid", 0, 0, false,
              "nowhere.invalid: Unknow host\n", ""},
        Fatal{"NoDescriptorLeft", true, kGroup, 0, 0, false, "cannot open socket\n", "", true},
        // The host is looked up before the length is looked at.
        Fatal{"UnknownHost", false, "nowhere.invalid", 8, 0, false,
              "nowhere.invalid: Unknow host\n", ""},
        Fatal{"ZeroLength", false, "127.0.0.1", 8, 0, false, "", "write: Invalid argument\n"},
        Fatal{"NegativeLength", false, "127.0.0.1", 8, -1, false, "", "write: Message too long\n"},
        Fatal{"MostNegativeLength", false, "127.0.0.1", 8, INT_MIN, false, "",
              "write: Message too long\n"},
        Fatal{"PastStaging", false, "127.0.0.1", 7000, 6501, false, "",
              "write: Message too long\n"},
        Fatal{"SendFails", false, "127.0.0.1", 8, 8, true, "", "write: Bad file descriptor\n"}),
    CaseName());

// Delivery: exactly the first length bytes, the TTL for the kind of destination, Router Alert.
struct Delivery {
  const char* name;
  const char* host;  // nullptr: the group
  std::size_t array_length;
  jint length;
  jint port_above;  // added to the receiver's port: only the low 16 bits count
};

class Delivers : public NimboSendTest, public testing::WithParamInterface<Delivery> {};

TEST_P(Delivers, ByteForByteWithTtlAndRouterAlert) {
  const Delivery c = GetParam();
  const bool to_group = c.host == nullptr;
  Receiver receiver(to_group ? kGroup : nullptr);
  const jint fd = init_socket(kGroup);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(stamp_sends(fd)) << std::strerror(errno);
  const Bytes sent = pattern(c.array_length, 3);

  const auto start = std::chrono::steady_clock::now();
  write(fd, jvm.byte_array(sent), c.length, to_group ? kGroup : c.host,
        receiver.port() + c.port_above);
  const auto returned = std::chrono::system_clock::now();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(jvm.exception());
  EXPECT_GE(elapsed, std::chrono::microseconds(300)) << "no busy spin";
  // The spin comes after the send: the kernel stamped the datagram, within the sending call, at
  // least the spin's time before write returned (however late the receiving side runs).
  const auto stamped = sent_at(fd);
  ASSERT_TRUE(stamped) << "no transmit stamp";
  const auto lead = std::chrono::duration_cast<std::chrono::microseconds>(returned - *stamped);
  EXPECT_GE(lead.count(), 300) << "microseconds from stamp to return: no spin after the send";

  const auto got = receiver.receive();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->data, Bytes(sent.begin(), sent.begin() + c.length));
  EXPECT_EQ(got->ttl, to_group ? 128 : nimbo::test::default_unicast_ttl());
  EXPECT_EQ(got->options, kRouterAlert);
  EXPECT_TRUE(receiver.quiet()) << "more than one datagram";
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(Cases, Delivers,
                         testing::Values(Delivery{"OneByte", "127.0.0.1", 1, 1, 0},
                                         Delivery{"PrefixOfArray", "localhost", 300, 100, 0},
                                         Delivery{"WholeStaging", "127.0.0.1", 6500, 6500, 0},
                                         Delivery{"PortLow16Bits", "127.0.0.1", 10, 10, 65536},
                                         Delivery{"GroupOneByte", nullptr, 1, 1, 0},
                                         Delivery{"GroupPrefixOfArray", nullptr, 8000, 6500, 0}),
                         CaseName());

// The recoverable calls: their return value and what they print, run in a child for its stderr.
struct Buffer {
  const char* name;
  jint (*call)(JNIEnv*, int fd);
  bool bad_fd;
  const char* out;  // the return value, printed
  const char* err;
};

class BufferCall : public NimboSendTest, public testing::WithParamInterface<Buffer> {};

TEST_P(BufferCall, ReturnsAndReports) {
  const Buffer c = GetParam();
  const auto r = run_in_child([&] {
    const int fd = c.bad_fd ? -1 : socket(AF_INET, SOCK_DGRAM, 0);
    std::printf("%d", c.call(env, fd));
  });
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BufferCall,
    testing::Values(
        // The kernel doubles what it is asked for.
        Buffer{"SetThenGet",
               [](JNIEnv* e, int fd) {
                 const jint set = Java_NimboSend_set_1snd_1buf(e, nullptr, fd, 100000);
                 return set == 0 ? Java_NimboSend_get_1snd_1buf(e, nullptr, fd) : set;
               },
               false, "200000", ""},
        Buffer{"GetBadFd",
               [](JNIEnv* e, int fd) { return Java_NimboSend_get_1snd_1buf(e, nullptr, fd); }, true,
               "-1", "getsockopt: Bad file descriptor\n"},
        Buffer{"SetBadFd",
               [](JNIEnv* e, int fd) { return Java_NimboSend_set_1snd_1buf(e, nullptr, fd, 1000); },
               true, "-1", "setsockopt: Bad file descriptor\n"},
        Buffer{"CloseBadFd",
               [](JNIEnv* e, int fd) { return Java_NimboSend_close_1socket(e, nullptr, fd); }, true,
               "-1", ""}),
    CaseName());

// Several threads, each with its own socket and receiver, sending at once through one double:
// every receiver gets each of its datagrams exactly once and whole. Run under TSan for races.
TEST_F(NimboSendTest, ThreadsSendingAtOnceDeliverEveryDatagramOnceAndWhole) {
  constexpr int kThreads = 4, kDatagrams = 30;
  std::vector<std::unique_ptr<Receiver>> receivers;
  for (int t = 0; t < kThreads; ++t) receivers.push_back(std::make_unique<Receiver>());
  auto datagram = [](int thread, int seq) {
    Bytes b = pattern(static_cast<std::size_t>(2 + 37 * seq + 11 * thread),
                      static_cast<std::uint8_t>(seq));
    b[0] = static_cast<std::uint8_t>(thread);
    b[1] = static_cast<std::uint8_t>(seq);
    return b;
  };

  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      JNIEnv* e = jvm.env();
      const jint fd = Java_NimboSend_init_1socket(e, nullptr, 0, jvm.string(kGroup), 0);
      for (int seq = 0; seq < kDatagrams && fd >= 0; ++seq) {
        const Bytes b = datagram(t, seq);
        Java_NimboSend_write(e, nullptr, fd, jvm.byte_array(b), static_cast<jint>(b.size()),
                             jvm.string("127.0.0.1"),
                             receivers[static_cast<std::size_t>(t)]->port());
        failures[static_cast<std::size_t>(t)] += jvm.exception().has_value();
      }
      failures[static_cast<std::size_t>(t)] += fd < 0;
      close(fd);
    });
  }
  for (std::thread& th : threads) th.join();

  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE("thread " + std::to_string(t));
    EXPECT_EQ(failures[static_cast<std::size_t>(t)], 0);
    std::vector<int> seen(kDatagrams, 0);
    while (const auto got = receivers[static_cast<std::size_t>(t)]->receive(0)) {
      ASSERT_GE(got->data.size(), 2u);
      ASSERT_EQ(got->data[0], t);
      ASSERT_LT(got->data[1], kDatagrams);
      EXPECT_EQ(got->data, datagram(t, got->data[1]));
      ++seen[got->data[1]];
    }
    EXPECT_THAT(seen, testing::Each(1));
  }
}

}  // namespace
