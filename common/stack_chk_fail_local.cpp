// SPDX-License-Identifier: Apache-2.0
// i386 only. Position-independent code there reports a smashed stack through the hidden
// __stack_chk_fail_local, which the linker otherwise takes from Debian 12's libc_nonshared.a:
// built without CET notes, that copy would take the IBT and shadow-stack notes off the whole
// library. This one is the same forwarding call, compiled like the rest of the library.
extern "C" [[noreturn]] void __stack_chk_fail();

extern "C" [[noreturn]] __attribute__((visibility("hidden"))) void __stack_chk_fail_local() {
  __stack_chk_fail();
}
