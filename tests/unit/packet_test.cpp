// SPDX-License-Identifier: Apache-2.0
// NimboPacket loaded the way a process with the external socket library loads it: the
// mnimboSocket double first, with global visibility, then the library. init_socket runs against
// the JNI test double in a child process, so that each case loads both afresh and its output is
// flushed by the child's exit. A child's failures never reach the test, so the child reports on
// standard error what mnimboSocket and the double saw.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <jni.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "child.h"
#include "fake_jni.h"
#include "mnimbo_double.h"

namespace {

using InitSocket = void(JNICALL*)(JNIEnv*, jclass, jstring, jint);

std::string listed(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return "[" + text + "]";
}

struct PacketCase {
  const char* name;
  const char* handle;  // what the double returns
  const char* group;   // nullptr passes null
  bool fail_utf;       // the VM cannot supply the group's characters
  jint port;
  const char* out;
  const char* thrown;  // "<class> <message>" pending afterwards; nullptr when none
};

class PacketInitSocket : public testing::TestWithParam<PacketCase> {};

TEST_P(PacketInitSocket, HandsTheGroupToMnimboSocketForGood) {
  const PacketCase c = GetParam();
  const auto r = nimbo::test::run_in_child([&] {
    setenv("NIMBO_DOUBLE_HANDLE", c.handle, 1);
    void* provider = dlopen(NIMBO_PACKET_DOUBLE, RTLD_NOW | RTLD_GLOBAL);
    void* library = provider ? dlopen(NIMBO_PACKET_LIBRARY, RTLD_NOW) : nullptr;
    if (library == nullptr) {
      std::fprintf(stderr, "%s\n", dlerror());
      return;
    }
    const auto init = reinterpret_cast<InitSocket>(dlsym(library, "Java_NimboPacket_init_1socket"));
    const auto* seen = static_cast<const MnimboCall*>(dlsym(provider, "mnimbo_double_last"));

    nimbo::test::FakeJni jvm;
    if (c.fail_utf) jvm.fail_next_get_string_utf_chars();
    init(jvm.env(), nullptr, c.group ? jvm.string(c.group) : nullptr, c.port);
    const auto thrown = jvm.exception();
    // Handed over: mnimboSocket got the VM's own characters, still held.
    std::fprintf(stderr, "%d calls, group %s, thrown %s, unreleased %s, misuse %s\n", seen->calls,
                 seen->calls == 0              ? "-"
                 : jvm.unreleased(seen->group) ? "handed over"
                                               : "not the VM's",
                 thrown ? (thrown->class_name + " " + thrown->message).c_str() : "none",
                 listed(jvm.unreleased()).c_str(), listed(jvm.take_misuse()).c_str());
  });
  const std::string group = c.group ? c.group : "";
  const std::string err =
      c.thrown
          ? "0 calls, group -, thrown " + std::string(c.thrown) + ", unreleased [], misuse []\n"
          : "mnimboSocket(0, 0, \"MulticastS\", \"" + group + "\", " + std::to_string(c.port) +
                ")\n1 calls, group handed over, thrown none, " +
                "unreleased [GetStringUTFChars(\"" + group + "\")], misuse []\n";
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, err);
  EXPECT_EQ(r.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PacketInitSocket,
    testing::Values(
        PacketCase{"PortNotCut", "1", "239.1.2.3", false, 65536 + 80, "c'est ok", nullptr},
        PacketCase{"AnyNonzeroIsSuccess", "-1", "239.1.2.3", false, 80, "c'est ok", nullptr},
        PacketCase{"FailureIsSilent", "0", "239.1.2.3", false, 80, "", nullptr},
        PacketCase{"PassedOnAsGiven", "5", "not even a group", false, -1, "c'est ok", nullptr},
        PacketCase{"NullGroup", "1", nullptr, false, 80, "",
                   "java/lang/NullPointerException group"},
        PacketCase{"NoChars", "1", "239.1.2.3", true, 80, "",
                   "java/lang/OutOfMemoryError GetStringUTFChars"}),
    [](const testing::TestParamInfo<PacketCase>& c) { return c.param.name; });

}  // namespace
