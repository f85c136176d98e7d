// SPDX-License-Identifier: Apache-2.0
// Small helpers for what the VM hands a native method.
#pragma once

#include <jni.h>

namespace nimbo {

// Throws a new exception of the named class; the caller returns at once.
void throw_new(JNIEnv* env, const char* class_name, const char* message);

// False, with a NullPointerException naming the parameter pending, when the reference is null.
bool require_non_null(JNIEnv* env, jobject reference, const char* parameter);

// The modified UTF-8 characters of a Java string, released when the guard goes out of scope.
// get() is null when the VM could not supply them; an exception is then pending.
class UtfChars {
 public:
  UtfChars(JNIEnv* env, jstring string)
      : env_(env), string_(string), chars_(env->GetStringUTFChars(string, nullptr)) {}
  ~UtfChars() {
    if (chars_ != nullptr) env_->ReleaseStringUTFChars(string_, chars_);
  }
  UtfChars(const UtfChars&) = delete;
  UtfChars& operator=(const UtfChars&) = delete;

  const char* get() const { return chars_; }

 private:
  JNIEnv* env_;
  jstring string_;
  const char* chars_;
};

// Room for a native method's local references, all released when the guard goes out of scope.
// ok() is false when the VM had no room; an OutOfMemoryError is then pending.
class LocalFrame {
 public:
  LocalFrame(JNIEnv* env, jint capacity) : env_(env), ok_(env->PushLocalFrame(capacity) == 0) {}
  ~LocalFrame() {
    if (ok_) env_->PopLocalFrame(nullptr);
  }
  LocalFrame(const LocalFrame&) = delete;
  LocalFrame& operator=(const LocalFrame&) = delete;

  bool ok() const { return ok_; }

 private:
  JNIEnv* env_;
  bool ok_;
};

}  // namespace nimbo
