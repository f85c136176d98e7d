// SPDX-License-Identifier: Apache-2.0
#include "jni_util.h"

namespace nimbo {

void throw_new(JNIEnv* env, const char* class_name, const char* message) {
  const jclass type = env->FindClass(class_name);
  if (type == nullptr) return;  // FindClass left its own error pending
  env->ThrowNew(type, message);
  env->DeleteLocalRef(type);
}

bool require_non_null(JNIEnv* env, jobject reference, const char* parameter) {
  if (reference != nullptr) return true;
  throw_new(env, "java/lang/NullPointerException", parameter);
  return false;
}

}  // namespace nimbo
