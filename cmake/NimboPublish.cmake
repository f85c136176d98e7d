# SPDX-License-Identifier: Apache-2.0
#
# nimbo_publish_jar(<jar target> ARTIFACT <id> TITLE <text> DESCRIPTION <text>
#                   SOURCES <java file>... [SOURCE_ROOT <dir>] [CLASSPATH <jar target>...]
#                   [REQUIRES <artifact id>...] [COMPONENT <install component>])
#
# Makes any jar target (add_jar's, or a custom command's with the JAR_FILE property) ready for
# users, one call per jar, in the directory that made the jar:
#   - the jar's manifest gets Implementation-Title <text> and Implementation-Version, and the jar
#     gets META-INF/LICENSE, appended to the jar's own command so it is stamped once per rebuild;
#   - beside it a POM (group nimbo), a -sources jar (SOURCES, relative to SOURCE_ROOT, default this
#     directory) and a -javadoc jar, built from the same SOURCES with -Xdoclint:all -Werror;
#   - cmake --install lays the four out as a Maven repository:
#     share/maven-repo/nimbo/<id>/<version>/<id>-<version>{.jar,.pom,-sources.jar,-javadoc.jar}.
# CLASSPATH names jars the sources compile against; REQUIRES names artifacts of this project the
# POM depends on. No maven-metadata.xml: fixed versions resolve without one, and a file shared by
# every version could not belong to one version's package.
set(NIMBO_MAVEN_GROUP nimbo)
set(NIMBO_MAVEN_REPO_DIR ${CMAKE_INSTALL_DATADIR}/maven-repo CACHE STRING
  "Install folder of the Maven repository layout, below the prefix")

# Every jar carries the licence as META-INF/LICENSE.
set(NIMBO_LEGAL_DIR ${CMAKE_BINARY_DIR}/legal)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${NIMBO_LEGAL_DIR}/META-INF/LICENSE COPYONLY)

function(nimbo_publish_jar target)
  cmake_parse_arguments(ARG "" "ARTIFACT;TITLE;DESCRIPTION;SOURCE_ROOT;COMPONENT"
    "SOURCES;CLASSPATH;REQUIRES" ${ARGN})
  foreach(required ARTIFACT TITLE DESCRIPTION SOURCES)
    if(NOT ARG_${required})
      message(FATAL_ERROR "nimbo_publish_jar(${target}): ${required} missing")
    endif()
  endforeach()
  if(NOT ARG_SOURCE_ROOT)
    set(ARG_SOURCE_ROOT ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  if(NOT ARG_COMPONENT)
    set(ARG_COMPONENT maven)
  endif()
  get_target_property(jar ${target} JAR_FILE)
  if(NOT jar)
    message(FATAL_ERROR "nimbo_publish_jar(${target}): the target has no JAR_FILE")
  endif()

  set(id ${ARG_ARTIFACT})
  set(version ${PROJECT_VERSION})
  set(out ${CMAKE_BINARY_DIR}/maven/${id})
  set(license ${NIMBO_LEGAL_DIR}/META-INF/LICENSE)

  set(manifest ${out}/MANIFEST.MF)
  file(CONFIGURE OUTPUT ${manifest} CONTENT
    "Implementation-Title: ${ARG_TITLE}\nImplementation-Version: ${version}\nImplementation-Vendor: Nimbo\n")
  add_custom_command(OUTPUT ${jar} APPEND
    COMMAND ${Java_JAR_EXECUTABLE} --update --file ${jar} --manifest ${manifest}
      -C ${NIMBO_LEGAL_DIR} META-INF/LICENSE
    DEPENDS ${manifest} ${license})

  set(sources)
  set(source_args)
  foreach(source IN LISTS ARG_SOURCES)
    get_filename_component(source ${source} ABSOLUTE BASE_DIR ${ARG_SOURCE_ROOT})
    file(RELATIVE_PATH relative ${ARG_SOURCE_ROOT} ${source})
    list(APPEND sources ${source})
    list(APPEND source_args -C ${ARG_SOURCE_ROOT} ${relative})
  endforeach()

  set(classpath)
  set(classpath_jars)
  foreach(dependency IN LISTS ARG_CLASSPATH)
    get_target_property(dependency_jar ${dependency} JAR_FILE)
    list(APPEND classpath_jars ${dependency_jar})
  endforeach()
  if(classpath_jars)
    list(JOIN classpath_jars : joined)
    set(classpath -classpath ${joined})
  endif()

  set(sources_jar ${out}/${id}-${version}-sources.jar)
  add_custom_command(OUTPUT ${sources_jar}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${sources_jar}
    COMMAND ${Java_JAR_EXECUTABLE} --create --file ${sources_jar} --manifest ${manifest}
      ${source_args} -C ${NIMBO_LEGAL_DIR} META-INF/LICENSE
    DEPENDS ${sources} ${manifest} ${license}
    COMMENT "Creating Java archive ${id}-${version}-sources.jar"
    VERBATIM)

  set(javadoc_jar ${out}/${id}-${version}-javadoc.jar)
  add_custom_command(OUTPUT ${javadoc_jar}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${out}/javadoc ${javadoc_jar}
    COMMAND ${Java_JAVADOC_EXECUTABLE} -quiet -Xdoclint:all -Werror -notimestamp --release 17
      -doctitle "${ARG_TITLE} ${version}" -windowtitle "${ARG_TITLE} ${version}"
      -d ${out}/javadoc ${classpath} ${sources}
    COMMAND ${Java_JAR_EXECUTABLE} --create --file ${javadoc_jar} --manifest ${manifest}
      -C ${out}/javadoc . -C ${NIMBO_LEGAL_DIR} META-INF/LICENSE
    DEPENDS ${sources} ${manifest} ${license} ${classpath_jars} ${ARG_CLASSPATH}
    COMMENT "Creating Java archive ${id}-${version}-javadoc.jar"
    VERBATIM)

  set(NIMBO_POM_GROUP ${NIMBO_MAVEN_GROUP})
  set(NIMBO_POM_ARTIFACT ${id})
  set(NIMBO_POM_VERSION ${version})
  set(NIMBO_POM_NAME ${ARG_TITLE})
  set(NIMBO_POM_DESCRIPTION ${ARG_DESCRIPTION})
  set(NIMBO_POM_DEPENDENCIES "")
  foreach(required IN LISTS ARG_REQUIRES)
    string(APPEND NIMBO_POM_DEPENDENCIES
      "    <dependency>\n"
      "      <groupId>${NIMBO_MAVEN_GROUP}</groupId>\n"
      "      <artifactId>${required}</artifactId>\n"
      "      <version>${version}</version>\n"
      "    </dependency>\n")
  endforeach()
  if(NIMBO_POM_DEPENDENCIES)
    set(NIMBO_POM_DEPENDENCIES "  <dependencies>\n${NIMBO_POM_DEPENDENCIES}  </dependencies>\n")
  endif()
  set(pom ${out}/${id}-${version}.pom)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/pom.xml.in ${pom} @ONLY)

  add_custom_target(${target}_publish ALL DEPENDS ${sources_jar} ${javadoc_jar})
  add_dependencies(${target}_publish ${target})
  set_target_properties(${target}_publish PROPERTIES
    MAVEN_ARTIFACT ${id} POM_FILE ${pom} SOURCES_JAR ${sources_jar} JAVADOC_JAR ${javadoc_jar})

  set(destination ${NIMBO_MAVEN_REPO_DIR}/${NIMBO_MAVEN_GROUP}/${id}/${version})
  install(FILES ${jar} DESTINATION ${destination} RENAME ${id}-${version}.jar
    COMPONENT ${ARG_COMPONENT})
  install(FILES ${pom} ${sources_jar} ${javadoc_jar} DESTINATION ${destination}
    COMPONENT ${ARG_COMPONENT})
endfunction()
