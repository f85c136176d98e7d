# SPDX-License-Identifier: Apache-2.0
# Toolchain for x86-64, the counterpart of i386.cmake: what a 32-bit build uses to add the
# x86-64 libraries to its nimbo-all.jar.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m64)
set(CMAKE_CXX_FLAGS_INIT -m64)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m64)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m64)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m64)
set(CMAKE_LIBRARY_ARCHITECTURE x86_64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
