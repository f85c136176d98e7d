# SPDX-License-Identifier: Apache-2.0
# nimbo.RouterAlert and nimbo.RouterAlertTap in real JVMs, with the module jar on the class path and
# on the module path.
add_executable(nimbo-with-ip-options with_ip_options.cpp)

set(CMAKE_JAVA_COMPILE_FLAGS -Xlint:all,-serial -Werror --release 17)
add_jar(nimbo_router_alert_tests
  SOURCES Harness.java RouterAlertTest.java RouterAlertChild.java RouterAlertTapTest.java
  INCLUDE_JARS nimbo_module ${JUNIT_CONSOLE})
get_target_property(NIMBO_MODULE_JAR nimbo_module_jar JAR_FILE)
get_target_property(NIMBO_ROUTER_ALERT_TESTS_JAR nimbo_router_alert_tests JAR_FILE)

# nimbo_router_alert_jvm_tests(<name> <java> [OPTIONS ...]): RouterAlertTest in that JVM twice, the
# module jar on the class path and on the module path, in a loopback-only namespace; and
# RouterAlertTapTest the same two ways on the router of tests/router-net. OPTIONS go to the test JVM
# and its children.
function(nimbo_router_alert_jvm_tests name java)
  cmake_parse_arguments(ARG "" "" "OPTIONS" ${ARGN})
  execute_process(COMMAND ${java} -version ERROR_VARIABLE version OUTPUT_QUIET)
  string(REGEX MATCH "\"([0-9]+)" feature "${version}")
  set(unnamed_access)
  set(module_access)
  if(CMAKE_MATCH_1 GREATER_EQUAL 24)  # loading a library without leave prints a warning from 24 on
    set(unnamed_access --enable-native-access=ALL-UNNAMED)
    set(module_access --enable-native-access=nimbo)
  endif()
  set(classpath ${NIMBO_MODULE_JAR}:${NIMBO_ROUTER_ALERT_TESTS_JAR})
  set(common -Xcheck:jni ${ARG_OPTIONS}
    -Djava.library.path=${NIMBO_LIB_DIR}
    -Dnimbo.classpath=${classpath}
    -Dnimbo.watch=$<TARGET_FILE:nimbo-watch>
    -Dnimbo.with.ip.options=$<TARGET_FILE:nimbo-with-ip-options>
    -Dnimbo.send=${PROJECT_SOURCE_DIR}/tests/wire/send-udp
    -Dnimbo.flood=$<TARGET_FILE:nimbo-bench-send>
    -Dnimbo.count=$<TARGET_FILE:nimbo-bench-count>
    "-Dnimbo.child.options=${ARG_OPTIONS} ${unnamed_access}")
  set(labels jvm routeralert)
  if(name STREQUAL newest_jdk_label)
    list(APPEND labels ${name})  # as the other suites' runs on the newest JDK
  endif()
  set(junit -jar ${JUNIT_CONSOLE} --disable-banner --details=tree --fail-if-no-tests)
  foreach(class RouterAlertTest RouterAlertTapTest)
    set(where ${NETNS_RUN})
    if(class STREQUAL RouterAlertTapTest)
      set(where ${PROJECT_SOURCE_DIR}/tests/router-net ip netns exec rtr)
    endif()
    add_test(NAME jvm.${class}.classpath.${name}
      COMMAND ${where} ${java} ${common} ${unnamed_access} -Dnimbo.expect.named=false
        ${junit} --select-class ${class} --class-path ${classpath})
    add_test(NAME jvm.${class}.modulepath.${name}
      COMMAND ${where} ${java} ${common} ${module_access} -Dnimbo.expect.named=true
        --module-path ${NIMBO_MODULE_JAR} --add-modules nimbo
        ${junit} --select-class ${class} --class-path ${NIMBO_ROUTER_ALERT_TESTS_JAR})
    set_tests_properties(jvm.${class}.classpath.${name} jvm.${class}.modulepath.${name}
      PROPERTIES LABELS "${labels}" TIMEOUT 300
      FAIL_REGULAR_EXPRESSION "in native method;WARNING")
  endforeach()
endfunction()

nimbo_router_alert_jvm_tests(jdk${Java_VERSION_MAJOR} ${Java_JAVA_EXECUTABLE})
if(NIMBO_NEWEST_JDK)
  nimbo_router_alert_jvm_tests(${newest_jdk_label} ${NIMBO_NEWEST_JDK}/bin/java)
endif()

# tshark and nimbo-watch --ipv6 see both Router Alerts on a JDK channel's datagrams, IPv6
# multicast across a link between two hosts.
add_test(NAME wire.router_alert_channel
  COMMAND ${PROJECT_SOURCE_DIR}/tests/router-net --one-link ${PROJECT_SOURCE_DIR}/tests/wire/channel-check
    ${Java_JAVA_EXECUTABLE} ${NIMBO_MODULE_JAR}:${NIMBO_ROUTER_ALERT_TESTS_JAR} ${NIMBO_LIB_DIR}
    $<TARGET_FILE:nimbo-watch> -Xcheck:jni)
set_tests_properties(wire.router_alert_channel PROPERTIES
  LABELS "jvm;wire;routeralert" TIMEOUT 120 FAIL_REGULAR_EXPRESSION "in native method;WARNING")

# The programs of the README and docs/ that send with Router Alert, as written: the five classes' and
# the channel's quick starts, and a class in a package that reaches NimboSend through reflection.
get_filename_component(NIMBO_JDK_BIN ${Java_JAVA_EXECUTABLE} DIRECTORY)
add_test(NAME jvm.readme_router_alert_example
  COMMAND ${NETNS_RUN} ${PROJECT_SOURCE_DIR}/tests/readme-example ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}
    ${NIMBO_JDK_BIN} $<TARGET_FILE:nimbo-watch> ${PROJECT_VERSION})
set_tests_properties(jvm.readme_router_alert_example PROPERTIES
  LABELS "jvm;routeralert" TIMEOUT 120 FAIL_REGULAR_EXPRESSION "in native method;WARNING")

# The router's quick start, as written, on the router of tests/router-net.
add_test(NAME jvm.readme_router_example
  COMMAND ${PROJECT_SOURCE_DIR}/tests/router-net ${PROJECT_SOURCE_DIR}/tests/readme-router-example
    ${PROJECT_SOURCE_DIR} ${NIMBO_JDK_BIN} ${CMAKE_BINARY_DIR} $<TARGET_FILE:nimbo-watch>
    ${PROJECT_SOURCE_DIR}/tests/wire/send-udp)
set_tests_properties(jvm.readme_router_example PROPERTIES
  LABELS "jvm;routeralert" TIMEOUT 120 FAIL_REGULAR_EXPRESSION "in native method;WARNING")
