// SPDX-License-Identifier: Apache-2.0
#include "io_exception.h"

#include <cstdio>
#include <cstring>

#include "jni_util.h"

namespace nimbo {

bool throw_io_exception(JNIEnv* env, const char* call, int error, const char* note) {
  char text[128];
  char message[320];
  std::snprintf(message, sizeof message, "%s: %s%s", call, strerror_r(error, text, sizeof text), note);
  throw_new(env, "java/io/IOException", message);
  return false;
}

}  // namespace nimbo
