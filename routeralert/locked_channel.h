// SPDX-License-Identifier: Apache-2.0
// The descriptor of a JDK datagram channel, held still while we use it.
#pragma once

#include <jni.h>

namespace nimbo {

// Finds the JDK's own channel behind a DatagramChannel or DatagramSocket and holds its state
// lock. The JDK closes a channel's descriptor only while holding that lock, after marking the
// channel closed; so a channel seen open under the lock keeps its descriptor, and the number
// cannot be reused, until the guard lets go. Holding it also makes our read-modify-write of
// the options atomic against any other caller here.
class LockedChannel {
 public:
  LockedChannel(JNIEnv* env, jobject target);
  ~LockedChannel();
  LockedChannel(const LockedChannel&) = delete;
  LockedChannel& operator=(const LockedChannel&) = delete;

  // The open descriptor, or -1 with a Java exception pending: IllegalArgumentException for an
  // object this JDK did not make, ClosedChannelException once closed.
  int fd() const { return fd_; }

 private:
  JNIEnv* env_;
  jobject lock_ = nullptr;
  int fd_ = -1;
};

}  // namespace nimbo
