# SPDX-License-Identifier: Apache-2.0
# linux-aarch64 beside x86: the libraries, the tools and an arm64 libnimbo-jni package, built from
# the same sources in <build>/linux-aarch64/ with cmake/aarch64.cmake (clang 14, lld 14 and the
# sysroot that scripts/fetch-arm64 unpacks) and NIMBO_FOREIGN. Without that toolchain the jars
# carry x86 alone, as configuring says.
#
# When it is built: linux-aarch64 joins NIMBO_JAR_PLATFORMS, NIMBO_AARCH64_BUILD names the folder,
# and the target nimbo_aarch64 builds it.
set(NIMBO_AARCH64 AUTO CACHE STRING "Also build for linux-aarch64 (clang 14, lld 14, scripts/fetch-arm64): AUTO, ON or OFF")
set_property(CACHE NIMBO_AARCH64 PROPERTY STRINGS AUTO ON OFF)
if(DEFINED ENV{XDG_CACHE_HOME})
  set(sysroot $ENV{XDG_CACHE_HOME}/nimbo/arm64/sysroot)
else()
  set(sysroot $ENV{HOME}/.cache/nimbo/arm64/sysroot)
endif()
set(NIMBO_AARCH64_SYSROOT ${sysroot} CACHE PATH "Sysroot of the linux-aarch64 build (scripts/fetch-arm64)")

set(NIMBO_AARCH64_BUILD "")
set(why_not "")
find_program(NIMBO_CLANG14 clang++-14)
find_program(NIMBO_LLVM_STRIP14 llvm-strip-14)
if(NIMBO_SANITIZE)
  set(why_not "a sanitized build needs no jar for other platforms")
elseif(NOT NIMBO_AARCH64)
  set(why_not "NIMBO_AARCH64 is ${NIMBO_AARCH64}")
elseif(NOT NIMBO_CLANG14 OR NOT NIMBO_LLVM_STRIP14)
  set(why_not "no clang++-14 or llvm-strip-14 (apt-get install clang-14 lld-14)")
else()
  # A program that links proves the compiler, lld and the sysroot's libc and C++ runtime.
  set(probe ${CMAKE_BINARY_DIR}/CMakeFiles/aarch64-probe)
  file(WRITE ${probe}.cpp "#include <cstdio>\nint main() { std::puts(\"\"); }\n")
  execute_process(COMMAND ${NIMBO_CLANG14} --target=aarch64-linux-gnu --sysroot=${NIMBO_AARCH64_SYSROOT}
      -fuse-ld=lld ${probe}.cpp -o ${probe}
    RESULT_VARIABLE probe_status OUTPUT_QUIET ERROR_QUIET)
  if(NOT probe_status EQUAL 0)
    set(why_not "clang++-14 cannot link an aarch64 program against ${NIMBO_AARCH64_SYSROOT} (scripts/fetch-arm64 makes it; apt-get install lld-14)")
  endif()
endif()
if(why_not)
  if(NIMBO_AARCH64 STREQUAL "ON")
    message(FATAL_ERROR "NIMBO_AARCH64 is ON, but ${why_not}")
  endif()
  message(STATUS "The jars carry no linux-aarch64: ${why_not}")
  return()
endif()

set(NIMBO_AARCH64_BUILD ${CMAKE_BINARY_DIR}/linux-aarch64)
set(NIMBO_LIB_DIR_linux-aarch64 ${NIMBO_AARCH64_BUILD}/lib)
set(NIMBO_TARGET_linux-aarch64 nimbo_aarch64)
set(NIMBO_STRIP_linux-aarch64 ${NIMBO_LLVM_STRIP14})
list(APPEND NIMBO_JAR_PLATFORMS linux-aarch64)
set(products ${NIMBO_AARCH64_BUILD}/tools/nimbo-watch ${NIMBO_AARCH64_BUILD}/tools/nimbo-tap
  ${NIMBO_AARCH64_BUILD}/tests/packet_double/libnimbo_packet_double.so)
foreach(name IN LISTS NIMBO_LIBRARIES)
  list(APPEND products ${NIMBO_LIB_DIR_linux-aarch64}/lib${name}.so)
endforeach()

nimbo_platform_build(nimbo_aarch64 ${NIMBO_AARCH64_BUILD} aarch64
  SETTINGS -DNIMBO_AARCH64_SYSROOT=${NIMBO_AARCH64_SYSROOT} -DNIMBO_FOREIGN=ON
  PRODUCTS ${products})
list(JOIN NIMBO_JAR_PLATFORMS ", " platforms)
message(STATUS "nimbo-all.jar and nimbo-module.jar carry ${platforms} (linux-aarch64 built in "
  "${NIMBO_AARCH64_BUILD} with cmake/aarch64.cmake and ${NIMBO_AARCH64_SYSROOT})")
