# SPDX-License-Identifier: Apache-2.0
# Toolchain for 64-bit Arm (aarch64) on an x86-64 Debian host: clang 14 and lld 14 against a
# sysroot unpacked from Debian's arm64 packages (scripts/fetch-arm64 makes it). Debian's own
# g++-aarch64-linux-gnu cannot be installed beside g++-multilib, which the i386 build needs.
#   cmake -S . -B build-aarch64 --toolchain cmake/aarch64.cmake -DNIMBO_FOREIGN=ON [-DNIMBO_AARCH64_SYSROOT=DIR]
# (NIMBO_FOREIGN: what runs on x86 cannot test it; an x86 build makes this one in <build>/linux-aarch64.)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
if(NOT NIMBO_AARCH64_SYSROOT)
  if(DEFINED ENV{XDG_CACHE_HOME})
    set(NIMBO_AARCH64_SYSROOT $ENV{XDG_CACHE_HOME}/nimbo/arm64/sysroot)
  else()
    set(NIMBO_AARCH64_SYSROOT $ENV{HOME}/.cache/nimbo/arm64/sysroot)
  endif()
endif()
set(NIMBO_AARCH64_SYSROOT ${NIMBO_AARCH64_SYSROOT} CACHE PATH "Sysroot of the aarch64 build (scripts/fetch-arm64)")
set(CMAKE_SYSROOT ${NIMBO_AARCH64_SYSROOT})
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT -fuse-ld=lld)
endforeach()
# Binutils on an x86 host neither strip nor disassemble Arm code; LLVM's tools do.
set(CMAKE_STRIP llvm-strip-14)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# The host's programs (java, javac, jar) run as they are; the JDK's JNI headers serve every
# architecture.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
