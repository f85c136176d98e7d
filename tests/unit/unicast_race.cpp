// NimboSendUnicast.write from several threads at once, built with ThreadSanitizer: each writer's
// datagrams all reach its own receiver whole, and no use of the library's process-wide socket,
// buffer or destination races. The natives run against a hand-written JNIEnv. Exits 0 when all is
// well; a race makes ThreadSanitizer report and the exit status nonzero.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "NimboSendUnicast.h"

namespace {

constexpr int kWriters = 4;
constexpr int kCount = 200;

// A jbyteArray here points at a vector of bytes; a jstring at its characters.
using Bytes = std::vector<jbyte>;

JNINativeInterface_ functions() {
  JNINativeInterface_ f{};
  f.GetArrayLength = [](JNIEnv*, jarray a) {
    return static_cast<jsize>(reinterpret_cast<const Bytes*>(a)->size());
  };
  f.GetByteArrayRegion = [](JNIEnv*, jbyteArray a, jsize start, jsize n, jbyte* to) {
    std::memcpy(to, reinterpret_cast<const Bytes*>(a)->data() + start, static_cast<std::size_t>(n));
  };
  f.GetStringUTFChars = [](JNIEnv*, jstring s, jboolean*) { return reinterpret_cast<const char*>(s); };
  f.ReleaseStringUTFChars = [](JNIEnv*, jstring, const char*) {};
  return f;
}
const JNINativeInterface_ kFunctions = functions();

// Datagram i of writer w: its length and every byte depend on both, so any mix-up shows.
Bytes datagram(int w, int i) {
  Bytes data(static_cast<std::size_t>(1 + (i * 37 + w * 211) % 6500));
  for (std::size_t k = 0; k < data.size(); ++k)
    data[k] = static_cast<jbyte>(k * 7 + static_cast<std::size_t>(w * 31 + i));
  return data;
}

// A loopback socket with room for every datagram a writer sends; its port through *port.
int receiver(std::uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof local;
  const int size = 4 << 20;
  const timeval timeout{5, 0};
  bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  *port = ntohs(local.sin_port);
  return fd;
}

// Receives writer w's datagrams, which arrive in the order they were sent (one pair of loopback
// sockets); false at the first one missing or not as sent.
bool receive_all(int fd, int w) {
  static thread_local jbyte got[65536];
  for (int i = 0; i < kCount; ++i) {
    const ssize_t length = recv(fd, got, sizeof got, 0);
    const Bytes want = datagram(w, i);
    if (length != static_cast<ssize_t>(want.size()) ||
        std::memcmp(got, want.data(), want.size()) != 0) {
      std::fprintf(stderr, "writer %d: datagram %d missing or not as sent (%zd bytes)\n", w, i, length);
      return false;
    }
  }
  return true;
}

}  // namespace

int main() {
  JNIEnv env{&kFunctions};
  Java_NimboSendUnicast_init_1socket(&env, nullptr);

  bool whole[kWriters] = {};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    std::uint16_t port;
    const int fd = receiver(&port);
    threads.emplace_back([&whole, w, fd] {
      whole[w] = receive_all(fd, w);
      close(fd);
    });
    threads.emplace_back([w, port] {
      JNIEnv own{&kFunctions};
      char host[] = "127.0.0.1";
      for (int i = 0; i < kCount; ++i) {
        Bytes data = datagram(w, i);
        Java_NimboSendUnicast_write(&own, nullptr, reinterpret_cast<jstring>(host), port,
                                    reinterpret_cast<jbyteArray>(&data));
      }
    });
  }
  for (std::thread& t : threads) t.join();

  for (const bool ok : whole) {
    if (!ok) return 1;
  }
  std::printf("%d writers, %d datagrams each, all delivered whole\n", kWriters, kCount);
  return 0;
}
