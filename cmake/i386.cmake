# SPDX-License-Identifier: Apache-2.0
# Toolchain for 32-bit x86 (i386) on an x86-64 Debian host with g++-multilib:
#   cmake --preset i386      or      cmake -S . -B build-i386 --toolchain cmake/i386.cmake
# Libraries are looked up in the i386 multiarch folders (libgtest-dev:i386 and the like), and
# CMakeLists.txt picks the 32-bit JDK 17 and 64-bit time_t for this width.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# The host's programs (java, javac, jar, strip) run as they are.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
