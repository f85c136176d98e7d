// SPDX-License-Identifier: Apache-2.0
// The JNI test double answers as the VM does where the libraries' tests depend on it.
#include "fake_jni.h"

#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <climits>
#include <thread>

#include "child.h"

namespace {

using nimbo::test::FakeJni;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using Bytes = std::vector<std::uint8_t>;

struct Region {
  jsize start, len;
  bool fits;
};

class ByteArrayRegion : public testing::TestWithParam<Region> {};

// An array of 4: a region that leaves it copies nothing either way and leaves AIOOBE pending.
TEST_P(ByteArrayRegion, BoundsCheckedBothWays) {
  const Region r = GetParam();
  FakeJni jvm;
  JNIEnv* env = jvm.env();
  const jbyteArray array = jvm.byte_array({1, 2, 3, 4});
  jbyte out[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  env->GetByteArrayRegion(array, r.start, r.len, out);
  if (r.fits) {
    EXPECT_FALSE(jvm.exception());
    for (jsize i = 0; i < r.len; ++i) EXPECT_EQ(out[i], r.start + i + 1);
    const jbyte in[4] = {7, 7, 7, 7};
    env->SetByteArrayRegion(array, r.start, r.len, in);
    Bytes expected = {1, 2, 3, 4};
    std::fill_n(expected.begin() + r.start, r.len, 7);
    EXPECT_EQ(jvm.contents(array), expected);
    EXPECT_FALSE(jvm.exception());
    return;
  }
  ASSERT_TRUE(jvm.exception());
  EXPECT_EQ(jvm.exception()->class_name, "java/lang/ArrayIndexOutOfBoundsException");
  EXPECT_THAT(out, testing::Each(9));
  jvm.clear_exception();
  const jbyte in[8] = {7, 7, 7, 7, 7, 7, 7, 7};
  env->SetByteArrayRegion(array, r.start, r.len, in);
  EXPECT_EQ(jvm.exception()->class_name, "java/lang/ArrayIndexOutOfBoundsException");
  EXPECT_EQ(jvm.contents(array), (Bytes{1, 2, 3, 4}));
  jvm.clear_exception();
}

INSTANTIATE_TEST_SUITE_P(Cases, ByteArrayRegion,
                         testing::Values(Region{0, 4, true}, Region{0, 0, true}, Region{4, 0, true},
                                         Region{1, 2, true}, Region{0, 5, false},
                                         Region{3, 2, false}, Region{-1, 1, false},
                                         Region{0, -1, false}, Region{5, 0, false},
                                         Region{1, INT_MAX, false}));

TEST(FakeJni, FailsTheNextAllocationOnlyAndTracksReleases) {
  FakeJni jvm;
  JNIEnv* env = jvm.env();
  const jstring s = jvm.string("239.1.2.3");
  jvm.fail_next_get_string_utf_chars();
  EXPECT_EQ(env->GetStringUTFChars(s, nullptr), nullptr);
  EXPECT_EQ(jvm.exception()->class_name, "java/lang/OutOfMemoryError");
  jvm.clear_exception();
  const char* chars = env->GetStringUTFChars(s, nullptr);
  ASSERT_NE(chars, nullptr);
  EXPECT_STREQ(chars, "239.1.2.3");
  EXPECT_THAT(jvm.unreleased(), ElementsAre("GetStringUTFChars(\"239.1.2.3\")"));
  EXPECT_TRUE(jvm.unreleased(chars));
  env->ReleaseStringUTFChars(s, chars);
  EXPECT_FALSE(jvm.unreleased(chars));

  jvm.fail_next_new_byte_array();
  EXPECT_EQ(env->NewByteArray(3), nullptr);
  EXPECT_EQ(jvm.exception()->class_name, "java/lang/OutOfMemoryError");
  jvm.clear_exception();
  const jbyteArray a = env->NewByteArray(3);
  EXPECT_EQ(jvm.contents(a), (Bytes{0, 0, 0}));
  EXPECT_THAT(jvm.unreleased(), ElementsAre("NewByteArray(3)"));
  env->DeleteLocalRef(a);
  EXPECT_NONFATAL_FAILURE(jvm.contents(a), "a deleted local ref (NewByteArray(3))");

  EXPECT_EQ(env->NewByteArray(-1), nullptr);
  EXPECT_EQ(jvm.exception()->class_name, "java/lang/NegativeArraySizeException");
  jvm.clear_exception();
  EXPECT_THAT(jvm.unreleased(), IsEmpty());
  EXPECT_THAT(jvm.take_misuse(), IsEmpty());
}

TEST(FakeJni, ThrowNewNamesTheClassAndMessage) {
  FakeJni jvm;
  JNIEnv* env = jvm.env();
  const jclass type = env->FindClass("java/lang/IllegalStateException");
  EXPECT_THAT(jvm.unreleased(), ElementsAre("FindClass(java/lang/IllegalStateException)"));
  env->ThrowNew(type, "why");
  env->DeleteLocalRef(type);
  EXPECT_TRUE(env->ExceptionCheck());
  EXPECT_EQ(jvm.exception()->class_name, "java/lang/IllegalStateException");
  EXPECT_EQ(jvm.exception()->message, "why");
  env->ExceptionClear();
  EXPECT_FALSE(jvm.exception());
  EXPECT_EQ(env->FindClass("java.lang.String"), nullptr);
  EXPECT_EQ(jvm.exception()->class_name, "java/lang/NoClassDefFoundError");
  jvm.clear_exception();
  EXPECT_THAT(jvm.unreleased(), IsEmpty());
  EXPECT_THAT(jvm.calls(), ElementsAre("FindClass", "ThrowNew", "DeleteLocalRef", "ExceptionCheck",
                                       "ExceptionClear", "FindClass"));
}

TEST(FakeJni, RecordsWhatCheckedJniWouldFlag) {
  FakeJni jvm;
  JNIEnv* env = jvm.env();
  const jstring s = jvm.string("x");
  const jbyteArray a = jvm.byte_array({1});
  env->ThrowNew(env->FindClass("java/lang/RuntimeException"), nullptr);
  EXPECT_EQ(env->GetArrayLength(a), 1);  // with an exception pending
  jvm.clear_exception();
  const char* chars = env->GetStringUTFChars(s, nullptr);
  env->ReleaseStringUTFChars(s, chars);
  env->ReleaseStringUTFChars(s, chars);              // twice
  env->GetArrayLength(reinterpret_cast<jarray>(s));  // wrong type
  jbyteArray made = env->NewByteArray(1);
  env->DeleteLocalRef(made);
  env->DeleteLocalRef(made);                             // twice
  std::thread([env] { env->ExceptionCheck(); }).join();  // another thread's env
  const auto misuse = jvm.take_misuse();
  ASSERT_EQ(misuse.size(), 5u);
  EXPECT_THAT(misuse[0],
              HasSubstr("GetArrayLength: called with java/lang/RuntimeException pending"));
  EXPECT_THAT(misuse[1], HasSubstr("ReleaseStringUTFChars: chars released twice"));
  EXPECT_THAT(misuse[2], HasSubstr("GetArrayLength: a String where a byte[] belongs"));
  EXPECT_THAT(misuse[3], HasSubstr("DeleteLocalRef: deleted twice"));
  EXPECT_THAT(misuse[4], HasSubstr("ExceptionCheck: JNIEnv of another thread"));
}

TEST(FakeJni, UnimplementedEntryAbortsNamingIt) {
  FakeJni jvm;
  JNIEnv* env = jvm.env();
  const auto r = nimbo::test::run_in_child([env] { env->GetVersion(); });
  EXPECT_EQ(r.err, "fake JNI: unexpected call to GetVersion\n");
  EXPECT_EQ(r.status, -1);
}

TEST(FakeJni, EachThreadHasItsOwnEnvAndException) {
  FakeJni jvm;
  JNIEnv* main_env = jvm.env();
  main_env->ThrowNew(main_env->FindClass("java/lang/Error"), "main");
  JNIEnv* other_env = nullptr;
  bool other_sees_exception = true;
  std::thread([&] {
    other_env = jvm.env();
    other_sees_exception = other_env->ExceptionCheck();
  }).join();
  EXPECT_NE(other_env, main_env);
  EXPECT_FALSE(other_sees_exception);
  EXPECT_EQ(jvm.exception()->message, "main");
  jvm.clear_exception();
  EXPECT_THAT(jvm.unreleased(), ElementsAre("FindClass(java/lang/Error)"));
  main_env->DeleteLocalRef(nullptr);
  EXPECT_THAT(jvm.take_misuse(), IsEmpty());
}

}  // namespace
