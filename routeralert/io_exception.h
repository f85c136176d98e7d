// SPDX-License-Identifier: Apache-2.0
// IOException with the system's text, as the nimbo module reports every failed call.
#pragma once

#include <jni.h>

namespace nimbo {

// Throws IOException("<call>: <the system's text for error><note>"); returns false for the caller to pass on.
bool throw_io_exception(JNIEnv* env, const char* call, int error, const char* note = "");

}  // namespace nimbo
