// SPDX-License-Identifier: Apache-2.0
#include "fake_jni.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace nimbo::test {
namespace {

// Every entry of the JDK 17 function table, in table order.
// clang-format off
#define NIMBO_JNI_ENTRIES \
  X(GetVersion) X(DefineClass) X(FindClass) X(FromReflectedMethod) X(FromReflectedField) \
  X(ToReflectedMethod) X(GetSuperclass) X(IsAssignableFrom) X(ToReflectedField) X(Throw) \
  X(ThrowNew) X(ExceptionOccurred) X(ExceptionDescribe) X(ExceptionClear) X(FatalError) \
  X(PushLocalFrame) X(PopLocalFrame) X(NewGlobalRef) X(DeleteGlobalRef) X(DeleteLocalRef) \
  X(IsSameObject) X(NewLocalRef) X(EnsureLocalCapacity) X(AllocObject) X(NewObject) X(NewObjectV) \
  X(NewObjectA) X(GetObjectClass) X(IsInstanceOf) X(GetMethodID) X(CallObjectMethod) \
  X(CallObjectMethodV) X(CallObjectMethodA) X(CallBooleanMethod) X(CallBooleanMethodV) \
  X(CallBooleanMethodA) X(CallByteMethod) X(CallByteMethodV) X(CallByteMethodA) X(CallCharMethod) \
  X(CallCharMethodV) X(CallCharMethodA) X(CallShortMethod) X(CallShortMethodV) X(CallShortMethodA) \
  X(CallIntMethod) X(CallIntMethodV) X(CallIntMethodA) X(CallLongMethod) X(CallLongMethodV) \
  X(CallLongMethodA) X(CallFloatMethod) X(CallFloatMethodV) X(CallFloatMethodA) \
  X(CallDoubleMethod) X(CallDoubleMethodV) X(CallDoubleMethodA) X(CallVoidMethod) \
  X(CallVoidMethodV) X(CallVoidMethodA) X(CallNonvirtualObjectMethod) \
  X(CallNonvirtualObjectMethodV) X(CallNonvirtualObjectMethodA) X(CallNonvirtualBooleanMethod) \
  X(CallNonvirtualBooleanMethodV) X(CallNonvirtualBooleanMethodA) X(CallNonvirtualByteMethod) \
  X(CallNonvirtualByteMethodV) X(CallNonvirtualByteMethodA) X(CallNonvirtualCharMethod) \
  X(CallNonvirtualCharMethodV) X(CallNonvirtualCharMethodA) X(CallNonvirtualShortMethod) \
  X(CallNonvirtualShortMethodV) X(CallNonvirtualShortMethodA) X(CallNonvirtualIntMethod) \
  X(CallNonvirtualIntMethodV) X(CallNonvirtualIntMethodA) X(CallNonvirtualLongMethod) \
  X(CallNonvirtualLongMethodV) X(CallNonvirtualLongMethodA) X(CallNonvirtualFloatMethod) \
  X(CallNonvirtualFloatMethodV) X(CallNonvirtualFloatMethodA) X(CallNonvirtualDoubleMethod) \
  X(CallNonvirtualDoubleMethodV) X(CallNonvirtualDoubleMethodA) X(CallNonvirtualVoidMethod) \
  X(CallNonvirtualVoidMethodV) X(CallNonvirtualVoidMethodA) X(GetFieldID) X(GetObjectField) \
  X(GetBooleanField) X(GetByteField) X(GetCharField) X(GetShortField) X(GetIntField) \
  X(GetLongField) X(GetFloatField) X(GetDoubleField) X(SetObjectField) X(SetBooleanField) \
  X(SetByteField) X(SetCharField) X(SetShortField) X(SetIntField) X(SetLongField) X(SetFloatField) \
  X(SetDoubleField) X(GetStaticMethodID) X(CallStaticObjectMethod) X(CallStaticObjectMethodV) \
  X(CallStaticObjectMethodA) X(CallStaticBooleanMethod) X(CallStaticBooleanMethodV) \
  X(CallStaticBooleanMethodA) X(CallStaticByteMethod) X(CallStaticByteMethodV) \
  X(CallStaticByteMethodA) X(CallStaticCharMethod) X(CallStaticCharMethodV) \
  X(CallStaticCharMethodA) X(CallStaticShortMethod) X(CallStaticShortMethodV) \
  X(CallStaticShortMethodA) X(CallStaticIntMethod) X(CallStaticIntMethodV) X(CallStaticIntMethodA) \
  X(CallStaticLongMethod) X(CallStaticLongMethodV) X(CallStaticLongMethodA) \
  X(CallStaticFloatMethod) X(CallStaticFloatMethodV) X(CallStaticFloatMethodA) \
  X(CallStaticDoubleMethod) X(CallStaticDoubleMethodV) X(CallStaticDoubleMethodA) \
  X(CallStaticVoidMethod) X(CallStaticVoidMethodV) X(CallStaticVoidMethodA) X(GetStaticFieldID) \
  X(GetStaticObjectField) X(GetStaticBooleanField) X(GetStaticByteField) X(GetStaticCharField) \
  X(GetStaticShortField) X(GetStaticIntField) X(GetStaticLongField) X(GetStaticFloatField) \
  X(GetStaticDoubleField) X(SetStaticObjectField) X(SetStaticBooleanField) X(SetStaticByteField) \
  X(SetStaticCharField) X(SetStaticShortField) X(SetStaticIntField) X(SetStaticLongField) \
  X(SetStaticFloatField) X(SetStaticDoubleField) X(NewString) X(GetStringLength) X(GetStringChars) \
  X(ReleaseStringChars) X(NewStringUTF) X(GetStringUTFLength) X(GetStringUTFChars) \
  X(ReleaseStringUTFChars) X(GetArrayLength) X(NewObjectArray) X(GetObjectArrayElement) \
  X(SetObjectArrayElement) X(NewBooleanArray) X(NewByteArray) X(NewCharArray) X(NewShortArray) \
  X(NewIntArray) X(NewLongArray) X(NewFloatArray) X(NewDoubleArray) X(GetBooleanArrayElements) \
  X(GetByteArrayElements) X(GetCharArrayElements) X(GetShortArrayElements) X(GetIntArrayElements) \
  X(GetLongArrayElements) X(GetFloatArrayElements) X(GetDoubleArrayElements) \
  X(ReleaseBooleanArrayElements) X(ReleaseByteArrayElements) X(ReleaseCharArrayElements) \
  X(ReleaseShortArrayElements) X(ReleaseIntArrayElements) X(ReleaseLongArrayElements) \
  X(ReleaseFloatArrayElements) X(ReleaseDoubleArrayElements) X(GetBooleanArrayRegion) \
  X(GetByteArrayRegion) X(GetCharArrayRegion) X(GetShortArrayRegion) X(GetIntArrayRegion) \
  X(GetLongArrayRegion) X(GetFloatArrayRegion) X(GetDoubleArrayRegion) X(SetBooleanArrayRegion) \
  X(SetByteArrayRegion) X(SetCharArrayRegion) X(SetShortArrayRegion) X(SetIntArrayRegion) \
  X(SetLongArrayRegion) X(SetFloatArrayRegion) X(SetDoubleArrayRegion) X(RegisterNatives) \
  X(UnregisterNatives) X(MonitorEnter) X(MonitorExit) X(GetJavaVM) X(GetStringRegion) \
  X(GetStringUTFRegion) X(GetPrimitiveArrayCritical) X(ReleasePrimitiveArrayCritical) \
  X(GetStringCritical) X(ReleaseStringCritical) X(NewWeakGlobalRef) X(DeleteWeakGlobalRef) \
  X(ExceptionCheck) X(NewDirectByteBuffer) X(GetDirectBufferAddress) X(GetDirectBufferCapacity) \
  X(GetObjectRefType) X(GetModule)
// clang-format on

[[noreturn]] void unexpected_entry(const char* entry) {
  std::fprintf(stderr, "fake JNI: unexpected call to %s\n", entry);
  std::fflush(stderr);
  std::abort();
}

enum class Kind { String, ByteArray, Class, Throwable };

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::String:
      return "a String";
    case Kind::ByteArray:
      return "a byte[]";
    case Kind::Class:
      return "a Class";
    case Kind::Throwable:
      return "a Throwable";
  }
  return "?";
}

struct Object {
  Kind kind;
  bool vm_made;         // a local ref the VM handed out
  bool live;            // false once DeleteLocalRef deleted it
  std::string text;     // a string's characters, a class's name, a throwable's class
  std::string message;  // a throwable's message
  std::vector<std::uint8_t> bytes;
  std::string origin;  // how unreleased() names it
};

struct Thread {
  JNIEnv env;
  std::thread::id id;
  std::optional<JavaException> pending;
};

struct Chars {
  const Object* string;
  std::string origin;
};

jobject handle(Object* object) { return reinterpret_cast<jobject>(object); }

}  // namespace

struct FakeJni::State {
  JNINativeInterface_ table;
  mutable std::mutex mutex;
  std::deque<Object> objects;  // never shrinks, so handles stay checkable after deletion
  std::map<const void*, Object*> handles;
  std::map<const char*, Chars> chars;  // outstanding GetStringUTFChars copies
  std::map<std::thread::id, std::unique_ptr<Thread>> threads;
  std::map<const JNIEnv*, Thread*> envs;
  std::vector<std::string> calls;
  std::vector<std::string> misuse;
  bool fail_utf_chars = false;
  bool fail_new_byte_array = false;

  Object* make(Kind kind, bool vm_made, std::string text, std::string origin) {
    objects.push_back(Object{kind, vm_made, true, std::move(text), {}, {}, std::move(origin)});
    Object* object = &objects.back();
    handles[object] = object;
    return object;
  }
};

namespace {

using State = FakeJni::State;

// One entry's visit: holds the lock, logs the call and checks what -Xcheck:jni checks.
class Call {
 public:
  Call(JNIEnv* env, const char* entry, bool allowed_when_pending = false)
      : state_(*static_cast<State*>(env->functions->reserved0)),
        lock_(state_.mutex),
        entry_(entry) {
    state_.calls.emplace_back(entry);
    const auto found = state_.envs.find(env);
    if (found == state_.envs.end()) unexpected_entry("(a JNIEnv the double did not make)");
    thread_ = found->second;
    if (thread_->id != std::this_thread::get_id()) misuse("JNIEnv of another thread");
    if (thread_->pending && !allowed_when_pending)
      misuse("called with " + thread_->pending->class_name + " pending");
  }

  State& state() { return state_; }
  std::optional<JavaException>& pending() { return thread_->pending; }

  void misuse(const std::string& what) { state_.misuse.push_back(entry_ + ": " + what); }

  void raise(const char* class_name, std::string message) {
    thread_->pending = JavaException{class_name, std::move(message)};
  }

  // The object behind a reference, or null after recording why the reference is no good.
  Object* object(jobject reference, Kind kind) {
    if (reference == nullptr)
      return misuse(std::string("null where ") + kind_name(kind) + " belongs"), nullptr;
    const auto found = state_.handles.find(reference);
    if (found == state_.handles.end()) return misuse("not a reference the double made"), nullptr;
    Object* o = found->second;
    if (!o->live) return misuse("a deleted local ref (" + o->origin + ")"), nullptr;
    if (o->kind != kind)
      return misuse(std::string(kind_name(o->kind)) + " where " + kind_name(kind) + " belongs"),
             nullptr;
    return o;
  }

  // False, with ArrayIndexOutOfBoundsException pending, when the region leaves the array.
  bool region_fits(const Object& array, jsize start, jsize len) {
    const auto length = static_cast<std::int64_t>(array.bytes.size());
    if (start >= 0 && len >= 0 && std::int64_t{start} + len <= length) return true;
    raise("java/lang/ArrayIndexOutOfBoundsException",
          "Array region " + std::to_string(start) + ".." +
              std::to_string(std::int64_t{start} + len) + " out of bounds for length " +
              std::to_string(length));
    return false;
  }

 private:
  State& state_;
  std::lock_guard<std::mutex> lock_;
  std::string entry_;
  Thread* thread_ = nullptr;
};

jclass find_class(JNIEnv* env, const char* name) {
  Call c(env, "FindClass");
  if (name == nullptr) return c.misuse("null name"), nullptr;
  if (*name == '\0' || std::strchr(name, '.') != nullptr) {
    c.raise("java/lang/NoClassDefFoundError", name);
    return nullptr;
  }
  return static_cast<jclass>(
      handle(c.state().make(Kind::Class, true, name, std::string("FindClass(") + name + ")")));
}

jint throw_new(JNIEnv* env, jclass type, const char* message) {
  Call c(env, "ThrowNew");
  const Object* o = c.object(type, Kind::Class);
  if (o == nullptr) return -1;
  c.raise(o->text.c_str(), message == nullptr ? "" : message);
  return 0;
}

jthrowable exception_occurred(JNIEnv* env) {
  Call c(env, "ExceptionOccurred", true);
  if (!c.pending()) return nullptr;
  Object* o = c.state().make(Kind::Throwable, true, c.pending()->class_name,
                             "ExceptionOccurred(" + c.pending()->class_name + ")");
  o->message = c.pending()->message;
  return static_cast<jthrowable>(handle(o));
}

void exception_clear(JNIEnv* env) {
  Call c(env, "ExceptionClear", true);
  c.pending().reset();
}

jboolean exception_check(JNIEnv* env) {
  Call c(env, "ExceptionCheck", true);
  return c.pending() ? JNI_TRUE : JNI_FALSE;
}

void delete_local_ref(JNIEnv* env, jobject reference) {
  Call c(env, "DeleteLocalRef", true);
  if (reference == nullptr) return;
  const auto found = c.state().handles.find(reference);
  if (found == c.state().handles.end()) return c.misuse("not a reference the double made");
  Object* o = found->second;
  if (!o->vm_made)
    return;  // an argument's local ref: deleting it is legal and changes nothing here
  if (!o->live) return c.misuse("deleted twice (" + o->origin + ")");
  o->live = false;
  std::vector<std::uint8_t>().swap(o->bytes);  // collected: many reads do not pile up arrays
}

const char* get_string_utf_chars(JNIEnv* env, jstring string, jboolean* is_copy) {
  Call c(env, "GetStringUTFChars");
  const Object* o = c.object(string, Kind::String);
  if (o == nullptr) return nullptr;
  if (c.state().fail_utf_chars) {
    c.state().fail_utf_chars = false;
    c.raise("java/lang/OutOfMemoryError", "GetStringUTFChars");
    return nullptr;
  }
  char* copy = static_cast<char*>(std::malloc(o->text.size() + 1));
  if (copy == nullptr) unexpected_entry("GetStringUTFChars (out of host memory)");
  std::memcpy(copy, o->text.c_str(), o->text.size() + 1);
  c.state().chars[copy] = Chars{o, "GetStringUTFChars(\"" + o->text + "\")"};
  if (is_copy != nullptr) *is_copy = JNI_TRUE;
  return copy;
}

void release_string_utf_chars(JNIEnv* env, jstring string, const char* chars) {
  Call c(env, "ReleaseStringUTFChars", true);
  const Object* o = c.object(string, Kind::String);
  const auto found = c.state().chars.find(chars);
  if (found == c.state().chars.end()) return c.misuse("chars released twice or never acquired");
  if (o != nullptr && found->second.string != o) c.misuse("chars released against another string");
  c.state().chars.erase(found);
  std::free(const_cast<char*>(chars));
}

jsize get_array_length(JNIEnv* env, jarray array) {
  Call c(env, "GetArrayLength");
  const Object* o = c.object(array, Kind::ByteArray);
  return o == nullptr ? 0 : static_cast<jsize>(o->bytes.size());
}

jbyteArray new_byte_array(JNIEnv* env, jsize length) {
  Call c(env, "NewByteArray");
  if (c.state().fail_new_byte_array) {
    c.state().fail_new_byte_array = false;
    c.raise("java/lang/OutOfMemoryError", "NewByteArray");
    return nullptr;
  }
  if (length < 0) {
    c.raise("java/lang/NegativeArraySizeException", std::to_string(length));
    return nullptr;
  }
  Object* o =
      c.state().make(Kind::ByteArray, true, {}, "NewByteArray(" + std::to_string(length) + ")");
  o->bytes.assign(static_cast<std::size_t>(length), 0);
  return static_cast<jbyteArray>(handle(o));
}

void get_byte_array_region(JNIEnv* env, jbyteArray array, jsize start, jsize len, jbyte* buf) {
  Call c(env, "GetByteArrayRegion");
  const Object* o = c.object(array, Kind::ByteArray);
  if (o == nullptr || !c.region_fits(*o, start, len)) return;
  if (len > 0 && buf == nullptr) return c.misuse("null buffer");
  if (len > 0) std::memcpy(buf, o->bytes.data() + start, static_cast<std::size_t>(len));
}

void set_byte_array_region(JNIEnv* env, jbyteArray array, jsize start, jsize len,
                           const jbyte* buf) {
  Call c(env, "SetByteArrayRegion");
  Object* o = c.object(array, Kind::ByteArray);
  if (o == nullptr || !c.region_fits(*o, start, len)) return;
  if (len > 0 && buf == nullptr) return c.misuse("null buffer");
  if (len > 0) std::memcpy(o->bytes.data() + start, buf, static_cast<std::size_t>(len));
}

}  // namespace

FakeJni::FakeJni() : state_(std::make_unique<State>()) {
  JNINativeInterface_& t = state_->table;
  // Entries a newer JDK may add past the named ones still abort rather than jump to null.
  void (*const unnamed)() = [] { unexpected_entry("an entry past those of JDK 17"); };
  for (std::size_t at = offsetof(JNINativeInterface_, GetVersion); at + sizeof unnamed <= sizeof t;
       at += sizeof unnamed)
    std::memcpy(reinterpret_cast<char*>(&t) + at, &unnamed, sizeof unnamed);
#define X(Name) t.Name = reinterpret_cast<decltype(t.Name)>(+[] { unexpected_entry(#Name); });
  NIMBO_JNI_ENTRIES
#undef X
  t.reserved0 = state_.get();
  t.FindClass = find_class;
  t.ThrowNew = throw_new;
  t.ExceptionOccurred = exception_occurred;
  t.ExceptionClear = exception_clear;
  t.ExceptionCheck = exception_check;
  t.DeleteLocalRef = delete_local_ref;
  t.GetStringUTFChars = get_string_utf_chars;
  t.ReleaseStringUTFChars = release_string_utf_chars;
  t.GetArrayLength = get_array_length;
  t.NewByteArray = new_byte_array;
  t.GetByteArrayRegion = get_byte_array_region;
  t.SetByteArrayRegion = set_byte_array_region;
}

FakeJni::~FakeJni() {
  for (const std::string& m : state_->misuse) ADD_FAILURE() << "JNI misuse: " << m;
  for (const auto& [chars, _] : state_->chars) std::free(const_cast<char*>(chars));
}

JNIEnv* FakeJni::env() {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  std::unique_ptr<Thread>& t = state_->threads[std::this_thread::get_id()];
  if (!t) {
    t = std::make_unique<Thread>();
    t->env.functions = &state_->table;
    t->id = std::this_thread::get_id();
    state_->envs[&t->env] = t.get();
  }
  return &t->env;
}

jstring FakeJni::string(std::string_view modified_utf8) {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return static_cast<jstring>(
      handle(state_->make(Kind::String, false, std::string(modified_utf8), {})));
}

jbyteArray FakeJni::byte_array(const std::vector<std::uint8_t>& contents) {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  Object* o = state_->make(Kind::ByteArray, false, {}, {});
  o->bytes = contents;
  return static_cast<jbyteArray>(handle(o));
}

std::vector<std::uint8_t> FakeJni::contents(jbyteArray array) const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  const auto found = state_->handles.find(array);
  if (found == state_->handles.end() || found->second->kind != Kind::ByteArray) {
    ADD_FAILURE() << "FakeJni::contents: not a byte array the double knows";
    return {};
  }
  if (!found->second->live) {
    ADD_FAILURE() << "FakeJni::contents: a deleted local ref (" << found->second->origin << ")";
    return {};
  }
  return found->second->bytes;
}

void FakeJni::fail_next_get_string_utf_chars() {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  state_->fail_utf_chars = true;
}

void FakeJni::fail_next_new_byte_array() {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  state_->fail_new_byte_array = true;
}

std::optional<JavaException> FakeJni::exception() const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  const auto found = state_->threads.find(std::this_thread::get_id());
  if (found == state_->threads.end()) return std::nullopt;
  return found->second->pending;
}

void FakeJni::clear_exception() {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  const auto found = state_->threads.find(std::this_thread::get_id());
  if (found != state_->threads.end()) found->second->pending.reset();
}

std::vector<std::string> FakeJni::calls() const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->calls;
}

std::size_t FakeJni::count(std::string_view entry) const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  std::size_t n = 0;
  for (const std::string& call : state_->calls) n += call == entry;
  return n;
}

std::vector<std::string> FakeJni::unreleased() const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  std::vector<std::string> held;
  for (const auto& [_, chars] : state_->chars) held.push_back(chars.origin);
  for (const Object& o : state_->objects)
    if (o.vm_made && o.live) held.push_back(o.origin);
  return held;
}

bool FakeJni::unreleased(const char* chars) const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->chars.count(chars) != 0;
}

std::vector<std::string> FakeJni::take_misuse() {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  std::vector<std::string> taken;
  taken.swap(state_->misuse);
  return taken;
}

}  // namespace nimbo::test
