# SPDX-License-Identifier: MIT
# How the kit's libraries and programs are made. Every library exists twice from one set of
# position-independent objects: kite_<name> (shared, SONAME libkite_<name>.so.<major>, alias
# kite::<name>) and kite_<name>_static (alias kite::<name>_static), both with the same file
# name. A header-only library is one INTERFACE target. Every target a parent project can
# meet under add_subdirectory carries the prefix kite_, so that none clashes with its own.

# Every symbol a shared library needs comes from its own link line (--no-undefined), in the
# kit's own build. A sanitizer's runtime is resolved from the executable (clang links it
# into executables only), so any -fsanitize, the kit's options or flags of one's own, turns
# the check off; under a parent project it is off anyway, the parent's flags being its own.
get_directory_property(kite_directory_options COMPILE_OPTIONS)
string(TOUPPER "${CMAKE_BUILD_TYPE}" kite_build_type)
if(NOT KITE_TOP_LEVEL OR KITE_SANITIZE OR KITE_TSAN OR KITE_FUZZ
   OR "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${kite_build_type}} ${CMAKE_SHARED_LINKER_FLAGS} ${kite_directory_options}"
      MATCHES "-fsanitize=")
  set(KITE_NO_UNDEFINED "")
else()
  set(KITE_NO_UNDEFINED LINKER:--no-undefined)
endif()

# Symbol visibility. KITE_EXPORT (BOLT/export.h) marks the public API. With
# KITE_HIDDEN_SYMBOLS on (the default), everything else is hidden: inline functions too, and
# the version script cmake/kite.map keeps the std:: and ACE template instances the kit's code
# makes out of the dynamic symbol tables, so that no program comes to depend on them.
option(KITE_HIDDEN_SYMBOLS "Export only what KITE_EXPORT marks from the shared libraries" ON)

# Warnings are errors in the kit's own code unless KITE_WERROR is off. -Wformat-security is
# an error in Debian's hardened build, so every build warns about it.
function(kite_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wformat -Wformat-security
                                           $<$<BOOL:${KITE_WERROR}>:-Werror>)
endfunction()

# kite_library(target alias [SOURCES a.cpp ...] HEADERS a.h ... [LINKS dep ...]
#              [PRIVATE_LINKS dep ...])
#   SOURCES        the library's sources; none makes it header-only.
#   HEADERS        its public headers, in the current folder; only these are installed.
#   LINKS          public dependencies. A kit library among them must be defined already,
#                  so that the static variant links the other static variants.
#   PRIVATE_LINKS  dependencies of the implementation only (not kit libraries); users of
#                  the static variant link them too.
function(kite_library target alias)
  cmake_parse_arguments(L "" "" "SOURCES;HEADERS;LINKS;PRIVATE_LINKS" ${ARGN})
  if(NOT target MATCHES "^kite_")
    message(FATAL_ERROR "library ${target}: the kit's targets are named kite_<name>")
  endif()
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  list(TRANSFORM L_HEADERS PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  set_property(GLOBAL APPEND PROPERTY KITE_LIBRARIES ${target})
  set(include_root $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)

  if(NOT L_SOURCES)
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${include_root})
    target_link_libraries(${target} INTERFACE ${L_LINKS})
    set(variants ${target})
  else()
    set(static_links "")
    foreach(dep IN LISTS L_LINKS)
      if(TARGET ${dep}_static)
        list(APPEND static_links ${dep}_static)
      elseif(dep MATCHES "^kite_" AND NOT TARGET ${dep})
        message(FATAL_ERROR "${target} links ${dep}, which is not defined yet")
      else()
        list(APPEND static_links ${dep})
      endif()
    endforeach()

    add_library(${target}_objects OBJECT ${L_SOURCES})
    set_target_properties(${target}_objects PROPERTIES POSITION_INDEPENDENT_CODE ON)
    if(KITE_HIDDEN_SYMBOLS)
      set_target_properties(${target}_objects PROPERTIES CXX_VISIBILITY_PRESET hidden
                                                         VISIBILITY_INLINES_HIDDEN ON)
    endif()
    target_include_directories(${target}_objects PUBLIC ${include_root})
    target_link_libraries(${target}_objects PUBLIC ${L_LINKS} PRIVATE ${L_PRIVATE_LINKS})
    kite_strict(${target}_objects)

    add_library(${target} SHARED $<TARGET_OBJECTS:${target}_objects>)
    add_library(${target}_static STATIC $<TARGET_OBJECTS:${target}_objects>)
    target_link_libraries(${target} PUBLIC ${L_LINKS} PRIVATE ${L_PRIVATE_LINKS})
    target_link_libraries(${target}_static PUBLIC ${static_links} PRIVATE ${L_PRIVATE_LINKS})
    set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION}
                                               SOVERSION ${PROJECT_VERSION_MAJOR})
    target_link_options(${target} PRIVATE ${KITE_NO_UNDEFINED})
    if(KITE_HIDDEN_SYMBOLS)
      target_link_options(${target} PRIVATE LINKER:--version-script=${PROJECT_SOURCE_DIR}/cmake/kite.map)
      set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/kite.map)
    endif()
    add_library(kite::${alias}_static ALIAS ${target}_static)
    set(variants ${target} ${target}_static)
    foreach(variant IN LISTS variants)
      target_include_directories(${variant} INTERFACE ${include_root})
    endforeach()
    set_target_properties(${target}_static PROPERTIES OUTPUT_NAME ${target})
    set_target_properties(${target}_static PROPERTIES EXPORT_NAME ${alias}_static)
    # Under add_subdirectory only what the parent links is built.
    if(NOT KITE_TOP_LEVEL)
      set_target_properties(${target}_objects ${variants} PROPERTIES EXCLUDE_FROM_ALL ON)
    endif()
  endif()
  add_library(kite::${alias} ALIAS ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${alias} KITE_HEADERS "${L_HEADERS}"
                                             KITE_HEADER_FOLDER ${folder})
  foreach(variant IN LISTS variants)
    # Consumers compile the headers as the kit does.
    target_compile_features(${variant} INTERFACE cxx_std_17)
  endforeach()
endfunction()

# kite_program(name SOURCES a.cpp ... LINKS lib ...): one of the kit's programs, in bin/ of
# the build tree; nothing when KITE_BUILD_PROGRAMS is off. Programs link the shared
# libraries, as the installed ones do.
function(kite_program name)
  if(NOT KITE_BUILD_PROGRAMS)
    return()
  endif()
  cmake_parse_arguments(P "" "" "SOURCES;LINKS" ${ARGN})
  add_executable(${name} ${P_SOURCES})
  target_link_libraries(${name} PRIVATE ${P_LINKS} kite_program_info)
  kite_strict(${name})
  set_property(GLOBAL APPEND PROPERTY KITE_PROGRAMS ${name})
endfunction()

# kite_static_variants(out lib ...): the libraries with each kit library replaced by its
# static variant; other names stay as they are.
function(kite_static_variants out)
  set(libs "")
  foreach(lib IN LISTS ARGN)
    if(TARGET ${lib})
      get_target_property(real ${lib} ALIASED_TARGET)
      if(real AND TARGET ${real}_static)
        set(lib ${real}_static)
      elseif(TARGET ${lib}_static)
        set(lib ${lib}_static)
      endif()
    endif()
    list(APPEND libs ${lib})
  endforeach()
  set(${out} ${libs} PARENT_SCOPE)
endfunction()
