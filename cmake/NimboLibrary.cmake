set(NIMBO_INSTALL_JNIDIR lib/jni CACHE STRING "Install folder of the JNI libraries, below the prefix")

# nimbo_jni_library(<Class> SOURCES ... [LINK ...] [IMPORTS_AT_LOAD] [OUTPUT_NAME <name>]
#                   [HEADERS <target>] [NO_INSTALL])
#
# One JNI library per Java class: lib<Class>.so (lib<name>.so) in NIMBO_LIB_DIR, compiled against
# the headers javac generates from the class (those of HEADERS, nimbo_jni_headers by default),
# exporting only its Java_ functions and needing only libc. Every symbol must resolve at link
# time, unless IMPORTS_AT_LOAD says the library takes some from whatever the process has already
# loaded. NO_INSTALL keeps it out of the install, and so out of the Debian package.
function(nimbo_jni_library name)
  cmake_parse_arguments(ARG "IMPORTS_AT_LOAD;NO_INSTALL" "OUTPUT_NAME;HEADERS" "SOURCES;LINK" ${ARGN})
  if(NOT ARG_HEADERS)
    set(ARG_HEADERS nimbo_jni_headers)
  endif()
  add_library(${name} SHARED ${ARG_SOURCES})
  if(ARG_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_HEADERS} JNI::JNI ${ARG_LINK})
  nimbo_libc_only(${name})
  if(NOT ARG_IMPORTS_AT_LOAD)
    target_link_options(${name} PRIVATE -Wl,-z,defs)
  endif()
  if(ARG_NO_INSTALL)
    return()
  endif()
  # Where Debian keeps JNI libraries; not executable, as Debian wants shared libraries.
  install(TARGETS ${name}
    LIBRARY DESTINATION ${NIMBO_INSTALL_JNIDIR} COMPONENT jni
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

# No exceptions, no RTTI, hidden symbols, and --as-needed: what is left links against libc alone.
# Loops start on a 32-byte boundary: a short loop that straddles one runs measurably slower on
# these CPUs, and NimboSend's pacing spin must not change speed with unrelated code around it.
function(nimbo_libc_only target)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -falign-loops=32)
  target_link_options(${target} PRIVATE -Wl,--as-needed -Wl,-z,relro,-z,now)
endfunction()
