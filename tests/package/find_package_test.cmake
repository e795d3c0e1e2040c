# SPDX-License-Identifier: MIT
# cmake -DKITE_BUILD=<build> -DWORK=<scratch> -DCONSUMER=<consumer> -DGENERATOR=<g>
#       -DRUNPATH=<ON|OFF> -DLIBDIR=<lib folder> -DPKG_CONFIG=<pkg-config> -P this
set(prefix ${WORK}/prefix)
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${KITE_BUILD} --prefix ${prefix}
                OUTPUT_QUIET RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cmake --install ${KITE_BUILD} failed")
endif()
# The pkg-config files name the prefix installed to, whatever the build was configured for.
execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig
                        ${PKG_CONFIG} --cflags --libs kite-nibbler
                OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
set(expected "-I${prefix}/include/kite -L${prefix}/${LIBDIR} -lkite_nibbler")
if(failed OR NOT flags STREQUAL expected)
  message(FATAL_ERROR "pkg-config kite-nibbler: status ${failed}, flags\n  ${flags}\n"
                      "instead of\n  ${expected}")
endif()

# Installed programs run. With RUNPATH on they find the libraries of their prefix
# themselves; a system library folder (as the Debian build has) gets no run path.
set(library_path "")
if(NOT RUNPATH)
  set(library_path LD_LIBRARY_PATH=${prefix}/${LIBDIR})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env ${library_path} ${prefix}/bin/framerdemo
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE failed)
if(failed OR NOT out STREQUAL "Dies ist zu interpretieren\n")
  message(FATAL_ERROR "${prefix}/bin/framerdemo: status ${failed}, output:\n${out}${err}")
endif()

# configure(name outcome expected-text args...): configures the consumer with args and
# checks that it succeeds or fails as outcome says, with expected-text in its output.
function(configure name outcome expected)
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER} -B ${WORK}/consumer -G ${GENERATOR}
                          -DCMAKE_PREFIX_PATH=${prefix} ${ARGN}
                  OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE failed)
  if(failed)
    set(got fails)
  else()
    set(got succeeds)
  endif()
  if(NOT got STREQUAL outcome)
    message(FATAL_ERROR "${name}: expected the consumer to ${outcome}, output:\n${out}")
  endif()
  string(FIND "${out}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${name}: no \"${expected}\" in the output:\n${out}")
  endif()
  message(STATUS "${name}: ${outcome} as expected")
endfunction()

configure("two components" succeeds "Generating done" "-DKITE_COMPONENTS=framer\\;log"
          "-DKITE_WANTED_VERSION=2.0"
          "-DKITE_EXPECTED_TARGETS=kite::framer\\;kite::log_static\\;kite::kite\\;kite::kite_static")
configure("every component" succeeds "Generating done"
          "-DKITE_COMPONENTS=bolt\\;switches\\;log\\;trace_log\\;buffers\\;framer\\;output\\;trace_output\\;nibbler"
          "-DKITE_EXPECTED_TARGETS=kite::nibbler\\;kite::trace_output_static\\;kite::bolt")
configure("an unknown component" fails "kite has no component \"framers\""
          "-DKITE_COMPONENTS=log\\;framers" -DKITE_EXPECTED_TARGETS=)
configure("an earlier major version" fails "version \"1.0\""
          -DKITE_COMPONENTS=log -DKITE_WANTED_VERSION=1.0)
configure("a later major version" fails "version \"3\""
          -DKITE_COMPONENTS=log -DKITE_WANTED_VERSION=3)

file(GLOB_RECURSE output_targets ${prefix}/kite-output-targets.cmake)
if(NOT output_targets)
  message(FATAL_ERROR "no kite-output-targets.cmake under ${prefix}")
endif()
file(REMOVE ${output_targets})
configure("a missing component" fails "kite component \"output\" is not installed"
          "-DKITE_COMPONENTS=log\\;output" -DKITE_WANTED_VERSION=2.0)
