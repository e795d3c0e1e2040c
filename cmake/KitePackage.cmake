# SPDX-License-Identifier: MIT
# Installation, the CMake package, pkg-config files and the Debian package.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KITE_LIBRARIES kite_bolt kite_log kite_switches kite_trace_log kite_buffers kite_framer
                   kite_output kite_trace_output nibbler)
set(KITE_PROGRAMS framerdemo gaugeselfcheck gaugequery rosterquery sliceload)
set(KITE_HEADER_DIRS BOLT KITE KITE_READ2 errorhandling utility nibbler)
set(KITE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kite)

# The short name of a library target: kite_trace_log -> trace_log, nibbler -> nibbler.
function(kite_short_name target out)
  string(REGEX REPLACE "^kite_" "" short ${target})
  set(${out} ${short} PARENT_SCOPE)
endfunction()

foreach(lib IN LISTS KITE_LIBRARIES)
  kite_short_name(${lib} short)
  set_target_properties(${lib} PROPERTIES EXPORT_NAME ${short})
  # Consumers compile the headers as the kit does.
  target_compile_features(${lib} INTERFACE cxx_std_17)
endforeach()
# An installed libnibbler.a would be too generic a name in a system library folder.
set_target_properties(nibbler PROPERTIES OUTPUT_NAME kite_nibbler)

install(TARGETS ${KITE_LIBRARIES} EXPORT kiteTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kite)
install(TARGETS ${KITE_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${KITE_HEADER_DIRS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kite
        FILES_MATCHING PATTERN "*.h")
# One page per program: a program without its page makes the install fail.
list(TRANSFORM KITE_PROGRAMS PREPEND man/ OUTPUT_VARIABLE KITE_MAN_PAGES)
list(TRANSFORM KITE_MAN_PAGES APPEND .1)
install(FILES ${KITE_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(EXPORT kiteTargets NAMESPACE kite:: DESTINATION ${KITE_CMAKE_DIR})
configure_package_config_file(cmake/kiteConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/kiteConfig.cmake
                              INSTALL_DESTINATION ${KITE_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kiteConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kiteConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/kiteConfigVersion.cmake
        DESTINATION ${KITE_CMAKE_DIR})

# One pkg-config file per library, its Requires taken from the target's own link interface,
# so the files cannot drift from the CMake targets. They locate the prefix from their own
# place, which keeps an installed tree relocatable.
file(RELATIVE_PATH KITE_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" KITE_PC_TO_PREFIX "${KITE_PC_TO_PREFIX}")
foreach(lib IN LISTS KITE_LIBRARIES)
  kite_short_name(${lib} short)
  string(REPLACE "_" "-" KITE_PC_ALIAS ${short})
  set(KITE_PC_NAME kite-${KITE_PC_ALIAS})
  set(requires "")
  set(libs "")
  get_target_property(type ${lib} TYPE)
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    set(libs "-L\${libdir} -l$<TARGET_FILE_BASE_NAME:${lib}>")
  endif()
  get_target_property(deps ${lib} INTERFACE_LINK_LIBRARIES)
  foreach(dep IN LISTS deps)
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" dep "${dep}")
    if(dep STREQUAL "PkgConfig::ACE")
      list(APPEND requires ACE)
    elseif(dep STREQUAL "PkgConfig::libsystemd")
      list(APPEND requires libsystemd)
    elseif(dep STREQUAL "Threads::Threads")
      string(APPEND libs " -pthread")
    elseif(dep IN_LIST KITE_LIBRARIES)
      kite_short_name(${dep} dep_short)
      string(REPLACE "_" "-" dep_short ${dep_short})
      list(APPEND requires kite-${dep_short})
    elseif(dep)
      message(FATAL_ERROR "${lib}: no pkg-config mapping for dependency ${dep}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES requires)
  list(JOIN requires ", " KITE_PC_REQUIRES)
  set(KITE_PC_LIBS "${libs}")
  configure_file(cmake/kite.pc.in ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${KITE_PC_NAME}.pc.in @ONLY)
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${KITE_PC_NAME}.pc
       INPUT ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${KITE_PC_NAME}.pc.in)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${KITE_PC_NAME}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

# make package: a Debian package of everything above, installed under /usr.
# Only for the kit built on its own: a project that adds it packages itself.
if(KITE_TOP_LEVEL)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME kite)
  set(CPACK_PACKAGE_VENDOR "kite developers")
  set(CPACK_PACKAGE_CONTACT "kite developers <kite@localhost>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
  # CPack indents every line after the first, as the control file wants it.
  string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
         "A C++17 infrastructure kit for Linux programs that receive, hold and inspect"
         "byte-oriented messages: message buffers, a line framer, a per-thread log stream,"
         "environment switches and debug channels, and console and syslog output."
         "This package holds its static libraries, headers, CMake package and pkg-config"
         "files, and the programs framerdemo, gaugeselfcheck, gaugequery, rosterquery"
         "and sliceload.")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
  # The runtime dependencies (the ACE library among them) come from the programs themselves.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Building against the static libraries needs ACE's headers and pkg-config.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libace-dev, pkgconf")
  include(CPack)
endif()
