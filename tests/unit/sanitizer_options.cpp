// SPDX-License-Identifier: Apache-2.0
// Defaults for the sanitizer runtimes, built in only when NIMBO_SANITIZE is set: the first report
// ends the run with a failing status. Options given in the environment still override these.
extern "C" {

__attribute__((used)) const char* __asan_default_options() {
  return "halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1";
}

__attribute__((used)) const char* __ubsan_default_options() {
  return "halt_on_error=1:print_stacktrace=1";
}

__attribute__((used)) const char* __tsan_default_options() {
  return "halt_on_error=1:exitcode=66:second_deadlock_stack=1";
}

}  // extern "C"
