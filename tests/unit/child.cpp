// SPDX-License-Identifier: Apache-2.0
#include "child.h"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace nimbo::test {
namespace {

std::string slurp(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char chunk[4096];
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<std::size_t>(n));
  close(fd);
  return text;
}

}  // namespace

ChildResult run_in_child(const std::function<void()>& body) {
  const int out = memfd_create("child-stdout", 0);
  const int err = memfd_create("child-stderr", 0);
  if (out < 0 || err < 0) std::abort();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    body();
    std::fflush(nullptr);
    _exit(0);
  }
  int wait_status = 0;
  while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  ChildResult result;
  result.out = slurp(out);
  result.err = slurp(err);
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  return result;
}

std::string program_name() { return program_invocation_short_name; }

}  // namespace nimbo::test
