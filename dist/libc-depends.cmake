# SPDX-License-Identifier: Apache-2.0
# Read by cpack in a foreign build (see CMakeLists.txt): libnimbo-jni depends on libc6 no older
# than the newest GLIBC_ symbol version that the libraries import, which is what Debian's libc6
# symbols file gives dpkg-shlibdeps for them.
set(newest 0)
foreach(library IN LISTS CPACK_NIMBO_LIBRARY_FILES)
  execute_process(COMMAND readelf --dyn-syms --wide ${library} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "@GLIBC_[0-9.]+" versions "${symbols}")
  foreach(version IN LISTS versions)
    string(REPLACE "@GLIBC_" "" version ${version})
    if(version VERSION_GREATER newest)
      set(newest ${version})
    endif()
  endforeach()
endforeach()
set(CPACK_DEBIAN_JNI_PACKAGE_DEPENDS "libc6 (>= ${newest})")
