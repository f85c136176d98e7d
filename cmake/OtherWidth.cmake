# SPDX-License-Identifier: Apache-2.0
# The other x86 width's JNI libraries, for nimbo-all.jar. An x86-64 build also builds them for
# i386 (an i386 build, for x86-64) in <build>/<platform>/, from the same sources, with the other
# toolchain file and NIMBO_JNI_ONLY. Without a compiler for that width the jar carries this
# width alone.
#
# Sets NIMBO_JAR_PLATFORMS (this build's platform first) and, when the other width is built,
# NIMBO_OTHER_PLATFORM, NIMBO_OTHER_LIB_DIR and the target nimbo_other_width. Every platform built
# beside this one (cmake/Aarch64Platform.cmake too) sets NIMBO_LIB_DIR_<platform> and
# NIMBO_TARGET_<platform>, and NIMBO_STRIP_<platform> where CMAKE_STRIP cannot strip its files.
include(CheckCXXSourceCompiles)
include(CMakePushCheckState)

set(NIMBO_OTHER_WIDTH AUTO CACHE STRING
  "Also build the JNI libraries for the other x86 width, for nimbo-all.jar: AUTO, ON or OFF")
set_property(CACHE NIMBO_OTHER_WIDTH PROPERTY STRINGS AUTO ON OFF)

if(NIMBO_PLATFORM STREQUAL "linux-x86")
  set(other_platform linux-x86_64)
  set(other_toolchain x86_64)
  set(other_flag -m64)
else()
  set(other_platform linux-x86)
  set(other_toolchain i386)
  set(other_flag -m32)
endif()

set(NIMBO_JAR_PLATFORMS ${NIMBO_PLATFORM})
set(NIMBO_OTHER_PLATFORM "")
set(why_not "")
if(NIMBO_SANITIZE)
  set(why_not "a sanitized build needs no jar for other platforms")
elseif(NOT NIMBO_OTHER_WIDTH)
  set(why_not "NIMBO_OTHER_WIDTH is ${NIMBO_OTHER_WIDTH}")
else()
  # A program that links in the other width proves the compiler, its libc and its C++ runtime.
  cmake_push_check_state(RESET)
  set(CMAKE_REQUIRED_FLAGS ${other_flag})
  set(CMAKE_REQUIRED_LINK_OPTIONS ${other_flag})
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_source_compiles("#include <cstdio>\nint main() { std::puts(\"\"); }"
    NIMBO_COMPILER_HAS_${other_toolchain})
  cmake_pop_check_state()
  if(NOT NIMBO_COMPILER_HAS_${other_toolchain})
    set(why_not "${CMAKE_CXX_COMPILER} ${other_flag} cannot link a program (apt-get install g++-multilib)")
  endif()
endif()

if(why_not)
  if(NIMBO_OTHER_WIDTH STREQUAL "ON")
    message(FATAL_ERROR "NIMBO_OTHER_WIDTH is ON, but ${why_not}")
  endif()
  message(STATUS "nimbo-all.jar carries ${NIMBO_PLATFORM} only: ${why_not}")
  return()
endif()

set(NIMBO_OTHER_PLATFORM ${other_platform})
set(other_build ${CMAKE_BINARY_DIR}/${other_platform})
set(NIMBO_OTHER_LIB_DIR ${other_build}/lib)
set(NIMBO_LIB_DIR_${other_platform} ${NIMBO_OTHER_LIB_DIR})
set(NIMBO_TARGET_${other_platform} nimbo_other_width)
list(APPEND NIMBO_JAR_PLATFORMS ${other_platform})
set(other_libraries)
foreach(name IN LISTS NIMBO_LIBRARIES)
  list(APPEND other_libraries ${NIMBO_OTHER_LIB_DIR}/lib${name}.so)
endforeach()

nimbo_platform_build(nimbo_other_width ${other_build} ${other_toolchain}
  SETTINGS -DNIMBO_JNI_ONLY=ON
  PRODUCTS ${other_libraries})
message(STATUS "nimbo-all.jar carries ${NIMBO_PLATFORM} and ${other_platform} "
  "(the ${other_platform} libraries are built in ${other_build} with cmake/${other_toolchain}.cmake)")
