# Shared settings and helper functions for every target of the project.

add_library(kestrin_options INTERFACE)
target_compile_options(kestrin_options INTERFACE -Wall -Wextra -Werror)
target_include_directories(kestrin_options INTERFACE
  ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)

# Every source folder src/<folder> builds one static library, kestrin_<folder>,
# and its tests, fuzz targets and benchmarks link that library alone, which
# brings the lower floors it builds on.
macro(kestrin_folder_library out)
  get_filename_component(${out} "${CMAKE_CURRENT_SOURCE_DIR}" NAME)
  set(${out} kestrin_${${out}})
endmacro()

# The library of the current source folder.  LINKS names the libraries of
# the lower floors it builds on (script/check-floors lists the floors).
function(kestrin_add_library)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
  kestrin_folder_library(library)
  add_library(${library} STATIC ${ARG_SOURCES})
  target_link_libraries(${library} PUBLIC ${ARG_LINKS} PRIVATE kestrin_options)
  target_include_directories(${library} PUBLIC ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
endfunction()

# Settings of every test program.  Each test file includes GoogleTest's large
# header, which is precompiled once, by the first test program, and reused by
# the others.  Test code is compiled without optimisation: the tests run in
# moments, and the optimiser would double the time to build them.
function(kestrin_test_settings target)
  target_compile_options(${target} PRIVATE -O0)
  get_property(holder GLOBAL PROPERTY KESTRIN_TEST_PCH)
  if(holder)
    target_precompile_headers(${target} REUSE_FROM ${holder})
  else()
    set_property(GLOBAL PROPERTY KESTRIN_TEST_PCH ${target})
    target_precompile_headers(${target} PRIVATE
      <gtest/gtest.h> <cstdint> <cstring> <memory> <string> <vector>)
  endif()
endfunction()

# Under Wine the unit tests share one prefix and one wineserver, started
# before the first of them by the test wine_unit_start and stopped after the
# last by wine_unit_stop (tests/support/wine_unit.sh says why).
function(kestrin_wine_unit_prefix out)
  set(prefix ${PROJECT_BINARY_DIR}/wine/unit)
  get_property(made GLOBAL PROPERTY KESTRIN_WINE_UNIT_PREFIX)
  if(NOT made)
    set_property(GLOBAL PROPERTY KESTRIN_WINE_UNIT_PREFIX TRUE)
    set(script ${PROJECT_SOURCE_DIR}/tests/support/wine_unit.sh)
    add_test(NAME wine_unit_start COMMAND ${script} start ${prefix})
    add_test(NAME wine_unit_stop COMMAND ${script} stop ${prefix})
    set_tests_properties(wine_unit_start wine_unit_stop PROPERTIES LABELS unit TIMEOUT 300
      ENVIRONMENT "KESTRIN_WINE=${CMAKE_CROSSCOMPILING_EMULATOR};WINEDEBUG=-all")
    set_tests_properties(wine_unit_start PROPERTIES FIXTURES_SETUP wine_unit)
    set_tests_properties(wine_unit_stop PROPERTIES FIXTURES_CLEANUP wine_unit)
  endif()
  set(${out} ${prefix} PARENT_SCOPE)
endfunction()

# Test programs whose results are judged by ctest.  Unit tests run on every
# build (under wine for the Windows builds); NATIVE_ONLY tests need a Linux
# peer such as OpenSSL.
function(kestrin_add_test name)
  if(NOT KESTRIN_TESTS OR NOT KESTRIN_UNIT_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "NATIVE_ONLY" "" "SOURCES;LIBS" ${ARGN})
  if(ARG_NATIVE_ONLY AND CMAKE_CROSSCOMPILING)
    return()
  endif()
  kestrin_folder_library(library)
  if(NOT TARGET ${library})  # tools: the test names what it links in LIBS
    set(library "")
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${library} kestrin_options GTest::gtest_main ${ARG_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  kestrin_test_settings(${name})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS unit TIMEOUT 300)
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    kestrin_wine_unit_prefix(prefix)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine_unit)
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT "WINEPREFIX=${prefix}")
  endif()
endfunction()

# libFuzzer targets; only built with KESTRIN_FUZZ (clang).
function(kestrin_add_fuzzer name)
  if(NOT KESTRIN_FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  kestrin_folder_library(library)
  if(NOT TARGET ${library})  # tools: the target names what it links in LIBS
    set(library "")
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${library} kestrin_options ${ARG_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_property(GLOBAL APPEND PROPERTY KESTRIN_FUZZERS ${name})
endfunction()

# Google Benchmark programs; only built with KESTRIN_BENCHMARKS.
function(kestrin_add_benchmark name)
  if(NOT KESTRIN_BENCHMARKS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  kestrin_folder_library(library)
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${library} kestrin_options benchmark::benchmark ${ARG_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  set_property(GLOBAL APPEND PROPERTY KESTRIN_BENCHMARKS ${name})
endfunction()

# End-to-end tests: one program of the real library and host over loopback.
# Every TEST, TEST_F and TEST_P of its sources becomes a ctest test of its
# own, run inside a private network namespace by tests/e2e/in_netns.sh, so
# that they run side by side on the fixed ports (27060, 80).  A test's
# opening line must name its suite and test.
#
# The native build builds the program and registers its tests with the
# native host (label e2e).  The Windows build under Wine registers the tests
# of WINDOWS_SUITES again (label wine): the native program of
# KESTRIN_NATIVE_BINARY_DIR, its simulators and tools drive this build's
# kestrinsv.exe and kestrinserver.dll, each test with a Wine prefix of its
# own (tests/e2e/wine_story.sh), copied from one made once by the test
# wine_prefix.
function(kestrin_add_e2e_tests program)
  if(NOT KESTRIN_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;ENVIRONMENT;WINDOWS_SUITES" ${ARGN})
  set(netns ${PROJECT_SOURCE_DIR}/tests/e2e/in_netns.sh)
  set(environment "KESTRIN_LIBRARY=$<TARGET_FILE:kestrinserver>" "KESTRIN_HOST=$<TARGET_FILE:kestrinsv>")
  if(CMAKE_CROSSCOMPILING)
    if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
      return()
    endif()
    set(KESTRIN_NATIVE_BINARY_DIR ${PROJECT_SOURCE_DIR}/build/default CACHE PATH
        "Native build folder whose end-to-end program drives the Windows host under Wine")
    set(story ${PROJECT_SOURCE_DIR}/tests/e2e/wine_story.sh)
    set(template ${PROJECT_BINARY_DIR}/wine/template)
    list(APPEND environment "KESTRIN_BINARY_DIR=${KESTRIN_NATIVE_BINARY_DIR}"
      "KESTRIN_WINE=${CMAKE_CROSSCOMPILING_EMULATOR}" "WINEDEBUG=-all" ${ARG_ENVIRONMENT})
    add_test(NAME wine_prefix COMMAND ${story} --make ${template})
    set_tests_properties(wine_prefix PROPERTIES LABELS wine TIMEOUT 300 FIXTURES_SETUP wine_prefix
      ENVIRONMENT "${environment}")
    set(command ${netns} ${story} ${template} ${KESTRIN_NATIVE_BINARY_DIR}/bin/${program})
    set(label wine)
    set(suites ${ARG_WINDOWS_SUITES})
  else()
    add_executable(${program} ${ARG_SOURCES})
    target_link_libraries(${program} PRIVATE kestrin_e2e kestrin_options)
    kestrin_test_settings(${program})
    add_dependencies(${program} kestrinserver kestrinsv)
    list(APPEND environment "KESTRIN_BINARY_DIR=${PROJECT_BINARY_DIR}" ${ARG_ENVIRONMENT})
    set(command ${netns} $<TARGET_FILE:${program}>)
    set(label e2e)
  endif()
  foreach(source IN LISTS ARG_SOURCES)
    get_filename_component(source ${source} ABSOLUTE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    file(STRINGS ${source} lines REGEX "^TEST(_F|_P)?\\(")
    foreach(line IN LISTS lines)
      if(NOT line MATCHES "^TEST(_F|_P)?\\(([A-Za-z0-9_]+), ([A-Za-z0-9_]+)\\)")
        message(FATAL_ERROR "${source}: cannot read the test name of: ${line}")
      endif()
      set(test "${CMAKE_MATCH_2}.${CMAKE_MATCH_3}")
      set(filter "${test}")
      if(CMAKE_MATCH_1 STREQUAL "_P")
        set(filter "*/${test}/*")
      endif()
      if(CMAKE_CROSSCOMPILING AND NOT CMAKE_MATCH_2 IN_LIST suites)
        continue()
      endif()
      add_test(NAME ${test} COMMAND ${command} --gtest_filter=${filter})
      set_tests_properties(${test} PROPERTIES LABELS ${label} TIMEOUT 300 ENVIRONMENT "${environment}")
      if(CMAKE_CROSSCOMPILING)
        set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED wine_prefix)
      endif()
    endforeach()
  endforeach()
endfunction()
