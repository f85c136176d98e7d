# SPDX-License-Identifier: Apache-2.0
set(NIMBO_INSTALL_JNIDIR lib/jni CACHE STRING "Install folder of the JNI libraries, below the prefix")

# nimbo_jni_library(<name> SOURCES ... [LINK ...] [HEADERS <target>] [IMPORTS_AT_LOAD])
#
# One JNI library per entry of NIMBO_JNI_LIBRARIES: lib<name>.so in NIMBO_LIB_DIR, compiled
# against the headers javac generates from its Java classes (HEADERS, by default those of
# java/), exporting only its Java_ functions and needing only libc. Every symbol must resolve at
# link time, unless IMPORTS_AT_LOAD says the library takes some from whatever the process has
# already loaded.
function(nimbo_jni_library name)
  cmake_parse_arguments(ARG "IMPORTS_AT_LOAD" "HEADERS" "SOURCES;LINK" ${ARGN})
  if(NOT ARG_HEADERS)
    set(ARG_HEADERS nimbo_jni_headers)
  endif()
  add_library(${name} SHARED ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_HEADERS} JNI::JNI ${ARG_LINK})
  nimbo_libc_only(${name})
  if(NOT NIMBO_SANITIZE)
    # CET notes (IBT, shadow stack) and aarch64's BTI and PAC notes survive linking only when
    # every input carries them, and Debian 12's crti.o and crtn.o do not. A library needs no
    # start files: it has no _init, _fini or static destructor (-z defs and check-import-at-load
    # catch a __dso_handle).
    target_link_options(${name} PRIVATE -nostartfiles)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/common/stack_chk_fail_local.cpp)
    endif()
  endif()
  if(NOT ARG_IMPORTS_AT_LOAD)
    target_link_options(${name} PRIVATE -Wl,-z,defs)
  endif()
  # Where Debian keeps JNI libraries; not executable, as Debian wants shared libraries.
  install(TARGETS ${name}
    LIBRARY DESTINATION ${NIMBO_INSTALL_JNIDIR} COMPONENT jni
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

# No exceptions, no RTTI, hidden symbols, and --as-needed: what is left links against libc alone.
# (Full RELRO, immediate binding and the rest of the hardening apply to everything built here.)
# Loops start on a 32-byte boundary: a short loop that straddles one runs measurably slower on
# these CPUs, and NimboSend's pacing spin must not change speed with unrelated code around it.
function(nimbo_libc_only target)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -falign-loops=32)
  target_link_options(${target} PRIVATE -Wl,--as-needed)
endfunction()

# This project built again beside this build, for another platform: the toolchain file
# cmake/<toolchain>.cmake, cache SETTINGS of its own, and the PRODUCTS this build takes from it.
# One job: it runs beside this build's own jobs, which -j already bounds.
function(nimbo_platform_build target dir toolchain)
  cmake_parse_arguments(PARSE_ARGV 3 arg "" "" "SETTINGS;PRODUCTS")
  include(ExternalProject)
  ExternalProject_Add(${target}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${dir}
    CMAKE_GENERATOR ${CMAKE_GENERATOR}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/${toolchain}.cmake
      ${arg_SETTINGS}
      -DJAVA_HOME=$ENV{JAVA_HOME}
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
      -DNIMBO_WERROR=${NIMBO_WERROR}
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${dir} --parallel 1
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${arg_PRODUCTS})
endfunction()
