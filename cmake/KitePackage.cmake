# SPDX-License-Identifier: MIT
# Installation: libraries, public headers, programs and man pages, the CMake package with one
# component per library, and one pkg-config file per library. Install components:
#   Runtime      the shared libraries (libkite2)
#   Development  headers, .so links, static archives, CMake and pkg-config files (libkite-dev)
#   Programs     the five programs and their man pages (kite-tools)
#   Documentation  the API reference, once kite_docs has made it (libkite-doc)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

get_property(KITE_LIBRARIES GLOBAL PROPERTY KITE_LIBRARIES)
get_property(KITE_PROGRAMS GLOBAL PROPERTY KITE_PROGRAMS)
set(KITE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kite)

# Installed programs and libraries find the kit's libraries from where they are
# ($ORIGIN/../lib, $ORIGIN: a run path is not inherited), unless the library folder is one
# the system searches anyway (/usr/lib/<triplet> for the Debian packages).
list(FIND CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES ${CMAKE_INSTALL_FULL_LIBDIR} system_libdir)
set(KITE_INSTALL_RUNPATH OFF)
if(system_libdir EQUAL -1)
  set(KITE_INSTALL_RUNPATH ON)
  file(RELATIVE_PATH bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(${KITE_PROGRAMS} PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  set_target_properties(${KITE_LIBRARIES} PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()

# Version numbers that live outside CMake must follow the project version.
function(kite_check_version what text)
  if(NOT text STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "${what} says version ${text}, the project is ${PROJECT_VERSION}")
  endif()
endfunction()
file(STRINGS ${PROJECT_SOURCE_DIR}/debian/changelog changelog_top LIMIT_COUNT 1)
string(REGEX REPLACE "^kite \\(([^)-]*).*" "\\1" changelog_version "${changelog_top}")
kite_check_version("debian/changelog" "${changelog_version}")

# One export set, and so one component of the CMake package, per library:
# <libdir>/cmake/kite/kite-<name>-targets.cmake holds kite::<name> and kite::<name>_static.
set(KITE_COMPONENTS "")
foreach(lib IN LISTS KITE_LIBRARIES)
  get_target_property(short ${lib} EXPORT_NAME)
  list(APPEND KITE_COMPONENTS ${short})
  get_target_property(type ${lib} TYPE)
  set(variants ${lib})
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    list(APPEND variants ${lib}_static)
  endif()
  if(lib STREQUAL "kite_framer")
    list(APPEND variants kite kite_static)  # the umbrella targets come with the framer
  endif()
  install(TARGETS ${variants} EXPORT kite-${short}
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
                  NAMELINK_COMPONENT Development
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kite)
  install(EXPORT kite-${short} NAMESPACE kite:: DESTINATION ${KITE_CMAKE_DIR}
          FILE kite-${short}-targets.cmake COMPONENT Development)
  get_target_property(headers ${lib} KITE_HEADERS)
  get_target_property(folder ${lib} KITE_HEADER_FOLDER)
  install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kite/${folder}
          COMPONENT Development)
endforeach()

# The API reference, when kite_docs has made it (libkite-doc).
install(DIRECTORY ${PROJECT_BINARY_DIR}/docs/html DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT Documentation OPTIONAL)

list(JOIN KITE_COMPONENTS ", " KITE_COMPONENTS_TEXT)
configure_package_config_file(cmake/kiteConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/kiteConfig.cmake
                              INSTALL_DESTINATION ${KITE_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kiteConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kiteConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/kiteConfigVersion.cmake
        DESTINATION ${KITE_CMAKE_DIR} COMPONENT Development)

if(KITE_BUILD_PROGRAMS)
  install(TARGETS ${KITE_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Programs)
  # One page per program: a program without its page makes the install fail.
  foreach(program IN LISTS KITE_PROGRAMS)
    set(page ${PROJECT_SOURCE_DIR}/man/${program}.1)
    file(STRINGS ${page} title REGEX "^\\.TH ")
    string(REGEX REPLACE "^\\.TH [^\"]*\"kite ([^\"]*)\".*" "\\1" page_version "${title}")
    kite_check_version(man/${program}.1 "${page_version}")
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Programs)
  endforeach()
endif()

# One pkg-config file per library, its Requires taken from the target's own link interface,
# so the files cannot drift from the CMake targets, and kite.pc for kite::kite. They name
# their prefix as an absolute path (-I/usr/include/kite, not a path through pkgconfig/..),
# and that prefix is the one installed to, which cmake --install --prefix may change: the
# files are made here with a placeholder, completed at install time (kite_install_pc_files).
set(KITE_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
# kite_pc_name(target out): kite_trace_log -> kite-trace-log, kite_nibbler -> kite-nibbler.
function(kite_pc_name target out)
  get_target_property(short ${target} EXPORT_NAME)
  string(REPLACE "_" "-" short ${short})
  set(${out} kite-${short} PARENT_SCOPE)
endfunction()
# kite_pc_file(name description libs requires requires-private)
function(kite_pc_file KITE_PC_NAME KITE_PC_DESCRIPTION KITE_PC_LIBS requires requires_private)
  list(JOIN requires ", " KITE_PC_REQUIRES)
  list(JOIN requires_private ", " KITE_PC_REQUIRES_PRIVATE)
  set(pc ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${KITE_PC_NAME}.pc)
  configure_file(cmake/kite.pc.in ${pc}.in @ONLY)
  file(GENERATE OUTPUT ${pc} INPUT ${pc}.in)
  set_property(GLOBAL APPEND PROPERTY KITE_PC_FILES ${pc})
endfunction()
# kite_install_pc_files(): installs every file kite_pc_file made, with the install prefix.
function(kite_install_pc_files)
  get_property(files GLOBAL PROPERTY KITE_PC_FILES)
  set(staged ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig-install)
  install(CODE "
    set(installed \"\")
    foreach(pc IN ITEMS ${files})
      get_filename_component(name \"\${pc}\" NAME)
      configure_file(\"\${pc}\" \"${staged}/\${name}\" @ONLY)
      list(APPEND installed \"${staged}/\${name}\")
    endforeach()
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\"
         TYPE FILE FILES \${installed})" COMPONENT Development)
endfunction()
# kite_pc_requires(lib deps requires-out libs-out): pkg-config modules and flags for the
# CMake dependencies deps of lib.
function(kite_pc_requires lib deps requires_out libs_out)
  set(requires "")
  set(libs "")
  foreach(dep IN LISTS deps)
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" dep "${dep}")
    if(dep MATCHES "^PkgConfig::(.*)")
      list(APPEND requires ${CMAKE_MATCH_1})
    elseif(dep STREQUAL "Threads::Threads")
      string(APPEND libs " -pthread")
    elseif(dep IN_LIST KITE_LIBRARIES)
      kite_pc_name(${dep} dep_name)
      list(APPEND requires ${dep_name})
    elseif(dep)
      message(FATAL_ERROR "${lib}: no pkg-config mapping for dependency ${dep}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES requires)
  set(${requires_out} "${requires}" PARENT_SCOPE)
  set(${libs_out} "${libs}" PARENT_SCOPE)
endfunction()
foreach(lib IN LISTS KITE_LIBRARIES)
  kite_pc_name(${lib} name)
  set(libs "")
  set(private_deps "")
  get_target_property(type ${lib} TYPE)
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    set(libs "-L\${libdir} -l$<TARGET_FILE_BASE_NAME:${lib}>")
    # What the static archive needs besides: the link-only entries of its interface.
    get_target_property(static_deps ${lib}_static INTERFACE_LINK_LIBRARIES)
    list(FILTER static_deps INCLUDE REGEX "^\\$<LINK_ONLY:")
    set(private_deps ${static_deps})
  endif()
  get_target_property(deps ${lib} INTERFACE_LINK_LIBRARIES)
  kite_pc_requires(${lib} "${deps}" requires public_libs)
  kite_pc_requires(${lib} "${private_deps}" requires_private private_libs)
  get_target_property(short ${lib} EXPORT_NAME)
  kite_pc_file(${name} "kite ${short} library" "${libs}${public_libs}" "${requires}"
               "${requires_private}")
endforeach()
kite_pc_file(kite "kite message kit: framer, buffers, log stream, debug channel, switches" ""
             kite-framer "")
kite_install_pc_files()
