// SPDX-License-Identifier: Apache-2.0
// A JNIEnv test double: lets a test call a library's Java_* functions directly, without a JVM.
//
//   nimbo::test::FakeJni jvm;
//   const jbyteArray data = jvm.byte_array({1, 2, 3});
//   Java_NimboSend_write(jvm.env(), nullptr, fd, data, 3, jvm.string("127.0.0.1"), port);
//   EXPECT_FALSE(jvm.exception());
//   EXPECT_THAT(jvm.unreleased(), testing::IsEmpty());
//
// The function table is our own. It implements what the libraries use: FindClass, ThrowNew,
// ExceptionOccurred, ExceptionClear, ExceptionCheck, DeleteLocalRef, GetStringUTFChars,
// ReleaseStringUTFChars, GetArrayLength, NewByteArray, GetByteArrayRegion, SetByteArrayRegion.
// Any other entry prints "fake JNI: unexpected call to <Entry>" and aborts; add it here when a
// library starts to need it.
//
// Where it matters the double behaves as HotSpot does:
//  - Get/SetByteArrayRegion with start < 0, len < 0 or start + len past the end leave an
//    ArrayIndexOutOfBoundsException pending and copy nothing; NewByteArray(-1) leaves a
//    NegativeArraySizeException; FindClass of a dotted name a NoClassDefFoundError.
//  - GetStringUTFChars returns a fresh heap copy of exactly the string's size plus its zero, freed
//    on release, so AddressSanitizer catches reads past the end and uses after release.
//  - Each thread has its own JNIEnv and its own pending exception.
// What -Xcheck:jni would flag is recorded as misuse: calling an entry other than ExceptionCheck,
// ExceptionOccurred, ExceptionClear, ReleaseStringUTFChars and DeleteLocalRef while an exception
// is pending; releasing chars twice or against another string; deleting a local ref twice;
// passing null, a stale or a wrongly typed reference; using a JNIEnv on another thread. Misuse
// not collected with take_misuse() fails the running test when the double is destroyed.
//
// Every member function is safe to call from any thread: one mutex guards the bookkeeping.
// Natives that ignore their jclass argument can be handed nullptr for it.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbo::test {

// A pending Java exception as the double saw it thrown.
struct JavaException {
  std::string class_name;  // as given to FindClass, e.g. "java/lang/NullPointerException"
  std::string message;     // as given to ThrowNew; empty for a null message
};

class FakeJni {
 public:
  FakeJni();
  ~FakeJni();
  FakeJni(const FakeJni&) = delete;
  FakeJni& operator=(const FakeJni&) = delete;

  // The calling thread's JNIEnv; valid until the double is destroyed.
  JNIEnv* env();

  // Java objects made by the test, as a caller would pass them. They stay valid until the double
  // is destroyed and never count as unreleased.
  jstring string(std::string_view modified_utf8);
  jbyteArray byte_array(const std::vector<std::uint8_t>& contents);
  // The current contents of any byte array the double knows, including those NewByteArray made
  // until DeleteLocalRef deletes them (the VM may then collect them; so does the double).
  std::vector<std::uint8_t> contents(jbyteArray array) const;

  // The next call of the entry, on any thread, fails as a VM out of memory does: it returns null
  // and leaves an OutOfMemoryError pending.
  void fail_next_get_string_utf_chars();
  void fail_next_new_byte_array();

  // The exception pending on the calling thread, if any; and clearing it.
  std::optional<JavaException> exception() const;
  void clear_exception();

  // Every entry called so far, in order, from every thread: "GetStringUTFChars", ...
  std::vector<std::string> calls() const;
  std::size_t count(std::string_view entry) const;

  // What the code under test acquired and has not released, one line each:
  //   GetStringUTFChars("239.1.2.3")   chars not yet given to ReleaseStringUTFChars
  //   FindClass(java/lang/Foo)         local refs the VM made and DeleteLocalRef has not deleted
  //   NewByteArray(5)                  (also ExceptionOccurred)
  // A local ref a native returns is listed until the test deletes it with
  // env()->DeleteLocalRef(ref), as the VM does when the native returns.
  std::vector<std::string> unreleased() const;
  // True while chars is what GetStringUTFChars returned and ReleaseStringUTFChars has not had.
  bool unreleased(const char* chars) const;

  // The misuse recorded so far (see above), which then no longer fails the test.
  std::vector<std::string> take_misuse();

  struct State;  // the bookkeeping, shared with the function table in fake_jni.cpp

 private:
  std::unique_ptr<State> state_;
};

}  // namespace nimbo::test
