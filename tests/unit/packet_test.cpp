// NimboPacket loaded the way a process with the external socket library loads it: the
// mnimboSocket double first, with global visibility, then the library. init_socket runs against a
// hand-written JNIEnv holding the two functions it may call, in a child process so that each case
// loads both afresh and its output is flushed by the child's exit.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <jni.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "child.h"
#include "mnimbo_double.h"

namespace {

using InitSocket = void(JNICALL*)(JNIEnv*, jclass, jstring, jint);

int releases = 0;

// A jstring here is the address of the characters it stands for.
JNINativeInterface_ string_functions() {
  JNINativeInterface_ f{};
  f.GetStringUTFChars = [](JNIEnv*, jstring s, jboolean*) -> const char* {
    return reinterpret_cast<const char*>(s);
  };
  f.ReleaseStringUTFChars = [](JNIEnv*, jstring, const char*) { ++releases; };
  return f;
}

struct PacketCase {
  const char* handle;  // what the double returns
  const char* group;
  jint port;
  const char* out;
};

class PacketInitSocket : public testing::TestWithParam<PacketCase> {};

TEST_P(PacketInitSocket, HandsItsArgumentsToMnimboSocketAndReportsSuccess) {
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

    const JNINativeInterface_ functions = string_functions();
    JNIEnv env{&functions};
    char chars[64];
    std::snprintf(chars, sizeof chars, "%s", c.group);
    init(&env, nullptr, reinterpret_cast<jstring>(chars), c.port);
    std::fprintf(stderr, "%d call, group %s, released %d times\n", seen->calls,
                 seen->group == chars ? "handed over" : "copied", releases);
  });
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, "mnimboSocket(0, 0, \"MulticastS\", \"" + std::string(c.group) + "\", " +
                       std::to_string(c.port) + ")\n1 call, group handed over, released 0 times\n");
  EXPECT_EQ(r.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Handles, PacketInitSocket,
    testing::Values(PacketCase{"1", "239.1.2.3", 65536 + 80, "c'est ok"},  // port not cut to 16 bits
                    PacketCase{"-1", "239.1.2.3", 80, "c'est ok"},         // any nonzero is success
                    PacketCase{"0", "239.1.2.3", 80, ""},                  // failure: silent
                    PacketCase{"5", "not even a group", -1, "c'est ok"}));  // both passed on as given

}  // namespace
