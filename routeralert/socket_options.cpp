// SPDX-License-Identifier: Apache-2.0
#include "socket_options.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ip_options.h"
#include "jni_util.h"

namespace nimbo {

namespace {

constexpr char kIOException[] = "java/io/IOException";

// "<call>: <the system's text><note>"
bool system_error(JNIEnv* env, const char* call, int error, const char* note = "") {
  char text[128];
  char message[320];
  std::snprintf(message, sizeof message, "%s: %s%s", call, strerror_r(error, text, sizeof text), note);
  throw_new(env, kIOException, message);
  return false;
}

bool edit_failed(JNIEnv* env, OptionEdit edit) {
  throw_new(env, kIOException,
            edit == OptionEdit::kNoRoom ? "no room for Router Alert among the socket's options"
                                        : "the socket's options do not parse");
  return false;
}

// The option's bytes as the kernel holds them; the call's name goes into the IOException.
template <std::size_t N>
bool read_option(JNIEnv* env, int fd, int level, int option, const char* call,
                 std::uint8_t (&bytes)[N], std::size_t* length) {
  socklen_t size = N;
  if (getsockopt(fd, level, option, bytes, &size) != 0) return system_error(env, call, errno);
  *length = size;
  return true;
}

bool read_ipv4(JNIEnv* env, int fd, std::uint8_t (&options)[kIpv4OptionsMax], std::size_t* length) {
  return read_option(env, fd, IPPROTO_IP, IP_OPTIONS, "getsockopt(IP_OPTIONS)", options, length);
}

bool write_ipv4(JNIEnv* env, int fd, const std::uint8_t* options, std::size_t length) {
  if (setsockopt(fd, IPPROTO_IP, IP_OPTIONS, options, static_cast<socklen_t>(length)) != 0)
    return system_error(env, "setsockopt(IP_OPTIONS)", errno);
  return true;
}

bool read_ipv6(JNIEnv* env, int fd, std::uint8_t (&header)[kHopByHopMax], std::size_t* length) {
  return read_option(env, fd, IPPROTO_IPV6, IPV6_HOPOPTS, "getsockopt(IPV6_HOPOPTS)", header, length);
}

// Length 0 takes the header off the socket.
bool write_ipv6(JNIEnv* env, int fd, const std::uint8_t* header, std::size_t length) {
  if (setsockopt(fd, IPPROTO_IPV6, IPV6_HOPOPTS, length == 0 ? nullptr : header,
                 static_cast<socklen_t>(length)) == 0)
    return true;
  const int error = errno;
  return system_error(env, "setsockopt(IPV6_HOPOPTS)", error,
                      error == EPERM ? " (an IPv6 hop-by-hop header needs CAP_NET_RAW)" : "");
}

// False, with the exception, for an edit that failed.
bool edit_ok(JNIEnv* env, OptionEdit edit) {
  if (edit == OptionEdit::kChanged || edit == OptionEdit::kUnchanged) return true;
  return edit_failed(env, edit);
}

// After an edit: nothing to write, the exception for an edit that failed, or the write.
template <typename Write>
bool store(JNIEnv* env, OptionEdit edit, Write write) {
  if (!edit_ok(env, edit)) return false;
  if (edit == OptionEdit::kUnchanged) return true;
  return write();
}

// One read-modify-write of the socket's IPv4 options, or of its hop-by-hop header.
template <typename Edit>
bool edit_ipv4(JNIEnv* env, int fd, Edit edit) {
  std::uint8_t options[kIpv4OptionsMax] = {};
  std::size_t length = 0;
  if (!read_ipv4(env, fd, options, &length)) return false;
  return store(env, edit(options, &length), [&] { return write_ipv4(env, fd, options, length); });
}

template <typename Edit>
bool edit_ipv6(JNIEnv* env, int fd, Edit edit) {
  std::uint8_t header[kHopByHopMax] = {};
  std::size_t length = 0;
  if (!read_ipv6(env, fd, header, &length)) return false;
  return store(env, edit(header, &length), [&] { return write_ipv6(env, fd, header, length); });
}

}  // namespace

bool socket_family(JNIEnv* env, int fd, int* family) {
  socklen_t size = sizeof *family;
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, family, &size) != 0)
    return system_error(env, "getsockopt(SO_DOMAIN)", errno);
  return true;
}

bool add_ipv4_router_alert(JNIEnv* env, int fd) {
  return edit_ipv4(env, fd, ipv4_add_router_alert);
}

bool has_ipv4_router_alert(JNIEnv* env, int fd, bool* present) {
  std::uint8_t options[kIpv4OptionsMax] = {};
  std::size_t length = 0;
  if (!read_ipv4(env, fd, options, &length)) return false;
  *present = ipv4_has_router_alert(options, length);
  return true;
}

bool set_ipv6_router_alert(JNIEnv* env, int fd, std::uint16_t value) {
  return edit_ipv6(env, fd, [value](std::uint8_t(&header)[kHopByHopMax], std::size_t* length) {
    return ipv6_set_router_alert(header, length, value);
  });
}

bool has_ipv6_router_alert(JNIEnv* env, int fd, bool* present) {
  std::uint8_t header[kHopByHopMax] = {};
  std::size_t length = 0;
  if (!read_ipv6(env, fd, header, &length)) return false;
  std::uint16_t value = 0;
  *present = ipv6_router_alert(header, length, &value);
  return true;
}

// Both lists are read and edited before either is written. The header goes first, as only its
// write needs a right the caller may lack; should the IPv4 write then fail, the header is put back
// with the right that has just worked.
bool remove_router_alerts(JNIEnv* env, int fd, bool ipv6) {
  std::uint8_t options[kIpv4OptionsMax] = {};
  std::size_t options_length = 0;
  if (!read_ipv4(env, fd, options, &options_length)) return false;
  const OptionEdit ipv4_edit = ipv4_remove_router_alert(options, &options_length);
  if (!edit_ok(env, ipv4_edit)) return false;

  std::uint8_t before[kHopByHopMax] = {};
  std::size_t before_length = 0;
  if (ipv6 && !read_ipv6(env, fd, before, &before_length)) return false;
  std::uint8_t header[kHopByHopMax];
  std::memcpy(header, before, sizeof header);
  std::size_t header_length = before_length;
  const OptionEdit ipv6_edit = ipv6 ? ipv6_remove_router_alert(header, &header_length) : OptionEdit::kUnchanged;
  if (!edit_ok(env, ipv6_edit)) return false;

  if (ipv6_edit == OptionEdit::kChanged && !write_ipv6(env, fd, header, header_length)) return false;
  if (ipv4_edit == OptionEdit::kChanged && !write_ipv4(env, fd, options, options_length)) {
    if (ipv6_edit == OptionEdit::kChanged) {
      setsockopt(fd, IPPROTO_IPV6, IPV6_HOPOPTS, before, static_cast<socklen_t>(before_length));
    }
    return false;
  }
  return true;
}

}  // namespace nimbo
