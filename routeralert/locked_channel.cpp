// SPDX-License-Identifier: Apache-2.0
#include "locked_channel.h"

#include "jni_util.h"

namespace nimbo {

namespace {

constexpr char kChannelImpl[] = "sun/nio/ch/DatagramChannelImpl";
constexpr char kSocketAdaptor[] = "sun/nio/ch/DatagramSocketAdaptor";
constexpr char kDatagramSocket[] = "java/net/DatagramSocket";
constexpr char kIllegal[] = "java/lang/IllegalArgumentException";

void not_ours(JNIEnv* env) {
  throw_new(env, kIllegal, "not a datagram channel or socket this JDK made");
}

// What JDK 17's old implementation gives, or a socket on an implementation of its own.
void socket_without_channel(JNIEnv* env) {
  throw_new(env, kIllegal,
            "not a DatagramSocket on a channel this JDK made: -Djdk.net.usePlainDatagramSocketImpl=true, "
            "or a DatagramSocketImpl of its own, puts it on none");
}

// Whether the object's class is exactly the named class of java.base. Our loader finds the boot
// loader's class under that name: no other loader may define a class in java.base's packages.
bool is_exactly(JNIEnv* env, jobject object, const char* name) {
  const jclass wanted = env->FindClass(name);
  if (wanted == nullptr) {
    env->ExceptionClear();  // this JDK has no such class
    return false;
  }
  return env->IsSameObject(env->GetObjectClass(object), wanted);
}

// A DatagramChannelImpl, or a subclass of it such as System.inheritedChannel()'s, whose class the
// boot loader defined. The class is package-private, so no other loader can subclass it anyway.
bool is_jdk_channel(JNIEnv* env, jobject object) {
  const jclass impl = env->FindClass(kChannelImpl);
  if (impl == nullptr) {
    env->ExceptionClear();
    return false;
  }
  if (!env->IsInstanceOf(object, impl)) return false;
  const jclass type = env->GetObjectClass(object);
  const jclass class_type = env->GetObjectClass(type);
  const jmethodID loader_of = env->GetMethodID(class_type, "getClassLoader", "()Ljava/lang/ClassLoader;");
  if (loader_of == nullptr) return false;
  const jobject loader = env->CallObjectMethod(type, loader_of);
  return !env->ExceptionCheck() && loader == nullptr;
}

// A field of the declaring class (never one a subclass declares under the same name). Without
// such a field this JDK is laid out differently, so IllegalArgumentException, never a guess.
jfieldID field(JNIEnv* env, const char* declaring, const char* name, const char* signature) {
  const jclass type = env->FindClass(declaring);
  const jfieldID id = type == nullptr ? nullptr : env->GetFieldID(type, name, signature);
  if (id == nullptr) {
    env->ExceptionClear();
    not_ours(env);
  }
  return id;
}

jobject object_field(JNIEnv* env, jobject object, const char* declaring, const char* name,
                     const char* signature) {
  const jfieldID id = field(env, declaring, name, signature);
  return id == nullptr ? nullptr : env->GetObjectField(object, id);
}

// The DatagramChannelImpl behind the target, or null with an exception pending. A socket is
// either the adaptor of a channel, or a DatagramSocket delegating to one (JDK 17 and later by
// default; with the old implementation it delegates to something else).
jobject channel_of(JNIEnv* env, jobject target) {
  if (is_jdk_channel(env, target)) return target;
  if (env->ExceptionCheck()) return nullptr;
  jobject socket = target;
  const jclass datagram_socket = env->FindClass(kDatagramSocket);
  if (datagram_socket == nullptr) return nullptr;
  const bool is_socket = env->IsInstanceOf(target, datagram_socket);
  if (is_socket && !is_exactly(env, target, kSocketAdaptor)) {
    socket = object_field(env, target, kDatagramSocket, "delegate", "Ljava/net/DatagramSocket;");
    if (env->ExceptionCheck()) return nullptr;
  }
  if (socket != nullptr && is_exactly(env, socket, kSocketAdaptor)) {
    const jobject channel = object_field(env, socket, kSocketAdaptor, "dc", "Lsun/nio/ch/DatagramChannelImpl;");
    if (channel != nullptr && is_jdk_channel(env, channel)) return channel;
    if (env->ExceptionCheck()) return nullptr;
  }
  if (is_socket) {
    socket_without_channel(env);
  } else {
    not_ours(env);
  }
  return nullptr;
}

bool is_open(JNIEnv* env, jobject channel) {
  const jclass type = env->GetObjectClass(channel);
  const jmethodID id = env->GetMethodID(type, "isOpen", "()Z");
  if (id == nullptr) return false;
  const jboolean open = env->CallBooleanMethod(channel, id);
  return !env->ExceptionCheck() && open == JNI_TRUE;
}

void closed(JNIEnv* env) {
  if (!env->ExceptionCheck()) throw_new(env, "java/nio/channels/ClosedChannelException", nullptr);
}

}  // namespace

LockedChannel::LockedChannel(JNIEnv* env, jobject target) : env_(env) {
  const jobject channel = channel_of(env, target);
  if (channel == nullptr) return;
  const jobject lock = object_field(env, channel, kChannelImpl, "stateLock", "Ljava/lang/Object;");
  if (lock == nullptr) {
    if (!env->ExceptionCheck()) not_ours(env);
    return;
  }
  if (env->MonitorEnter(lock) != JNI_OK) return;  // the VM left its error pending
  lock_ = lock;
  // close() marks the channel closed before it takes the lock to close the descriptor.
  if (!is_open(env, channel)) {
    closed(env);
    return;
  }
  const jobject descriptor = object_field(env, channel, kChannelImpl, "fd", "Ljava/io/FileDescriptor;");
  if (descriptor == nullptr) {
    if (!env->ExceptionCheck()) not_ours(env);
    return;
  }
  const jfieldID number = field(env, "java/io/FileDescriptor", "fd", "I");
  if (number == nullptr) return;
  const jint fd = env->GetIntField(descriptor, number);
  if (fd < 0) {
    closed(env);
    return;
  }
  fd_ = fd;
}

LockedChannel::~LockedChannel() {
  if (lock_ != nullptr) env_->MonitorExit(lock_);
}

}  // namespace nimbo
