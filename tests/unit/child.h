// SPDX-License-Identifier: Apache-2.0
// Runs code that may end the process in a forked child and reports what it left behind.
#pragma once

#include <functional>
#include <string>

namespace nimbo::test {

struct ChildResult {
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
  int status = -1;  // exit status, or -1 when the child did not exit normally
};

// Runs body in a child process. A body that returns exits with status 0 (stdio flushed).
ChildResult run_in_child(const std::function<void()>& body);

// The program name that err(3) puts in front of its messages.
std::string program_name();

}  // namespace nimbo::test
