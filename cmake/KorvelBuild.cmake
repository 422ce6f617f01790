# Shared build settings: warnings as errors in project code, sanitizers,
# libFuzzer targets and their corpus replay tests.

# Warnings are errors in the CI flavours (scripts/build.sh turns this on); a
# user's own build type, whose optimiser may warn falsely (gcc's
# -Warray-bounds at -O3), still builds.
option(KORVEL_WERROR "treat warnings in project code as errors" OFF)
if(MSVC)
  # /W4 as the other compilers' -Wall -Wextra, with unused parameters
  # allowed in user-mode code as there (C4100); sources are UTF-8. The
  # portable C functions (fopen, snprintf) are used on purpose (C4996).
  set(KORVEL_WARNINGS /W4 /wd4100 /permissive- /utf-8)
  add_compile_definitions(_CRT_SECURE_NO_WARNINGS)
  if(KORVEL_WERROR)
    list(APPEND KORVEL_WARNINGS /WX)
  endif()
else()
  set(KORVEL_WARNINGS -Wall -Wextra -Wno-unused-parameter)
  if(KORVEL_WERROR)
    list(APPEND KORVEL_WARNINGS -Werror)
  endif()
endif()

function(korvel_warnings target)
  target_compile_options(${target} PRIVATE ${KORVEL_WARNINGS})
endfunction()

if(KORVEL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(KORVEL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

set(KORVEL_FUZZ OFF)
if(KORVEL_SANITIZE STREQUAL "address" AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(KORVEL_FUZZ ON)
  # Coverage instrumentation in every library, so the fuzzers steer into the
  # parsers and the driver they call, not only their entry files.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

set(KORVEL_FUZZ_SECONDS 15 CACHE STRING "seconds each fuzz target runs in the sanitizer build")

# korvel_fuzz_target(NAME SOURCES ... LIBS ... CORPUS dir [INPUT_SECONDS n])
# Always builds a replay program that runs the entry point over every file of
# the stored corpus (a normal test). With clang in the address build it also
# builds the libFuzzer program and a test that fuzzes for a bounded time; an
# input that takes longer than INPUT_SECONDS (default 10) fails it.
function(korvel_fuzz_target name)
  cmake_parse_arguments(F "" "CORPUS;INPUT_SECONDS" "SOURCES;LIBS" ${ARGN})
  if(NOT F_INPUT_SECONDS)
    set(F_INPUT_SECONDS 10)
  endif()
  add_executable(${name}_replay ${F_SOURCES} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
  target_include_directories(${name}_replay PRIVATE ${PROJECT_SOURCE_DIR}/fuzz)
  target_link_libraries(${name}_replay PRIVATE ${F_LIBS})
  korvel_warnings(${name}_replay)
  add_test(NAME fuzz_replay_${name} COMMAND ${name}_replay ${F_CORPUS})
  if(KORVEL_FUZZ)
    add_executable(${name}_fuzz ${F_SOURCES})
    target_include_directories(${name}_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/fuzz)
    target_compile_options(${name}_fuzz PRIVATE -fsanitize=fuzzer)
    target_link_options(${name}_fuzz PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name}_fuzz PRIVATE ${F_LIBS})
    korvel_warnings(${name}_fuzz)
    add_test(NAME fuzz_run_${name}
      COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
              ${PROJECT_SOURCE_DIR}/scripts/run-fuzzer.sh $<TARGET_FILE:${name}_fuzz> ${F_CORPUS} ${KORVEL_FUZZ_SECONDS}
              ${F_INPUT_SECONDS})
    set_tests_properties(fuzz_run_${name} PROPERTIES TIMEOUT 300 LABELS fuzz COST 100)
  endif()
endfunction()

# korvel_unoptimised_test_sources(DIR): the sources in a tests folder of every
# program and library made in DIR and below are compiled without
# optimisation (their own code only: what they test keeps the build type's).
# At -O2 the tests' own files took about half of each flavour's compile time
# (a test file 4.9 s at -O2, 2.4 s at -O0) and ran no faster for it. A
# program whose figures are measured keeps its optimisation: give it the
# target property KORVEL_OPTIMISED.
function(korvel_unoptimised_test_sources dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(optimised ${target} KORVEL_OPTIMISED)
    if(NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY)$" OR optimised)
      continue()
    endif()
    get_target_property(sources ${target} SOURCES)
    get_target_property(target_dir ${target} SOURCE_DIR)
    foreach(source IN LISTS sources)
      if(NOT IS_ABSOLUTE "${source}")
        set(source "${target_dir}/${source}")
      endif()
      if(source MATCHES "/tests/[^/]+\\.(cpp|cc)$")
        set_source_files_properties("${source}" TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS -O0)
      endif()
    endforeach()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    korvel_unoptimised_test_sources(${subdir})
  endforeach()
endfunction()

# Microsoft's published KMDF headers (third_party/kmdf-1.15), which the driver
# compiles against in every build: staged into the build for GCC and clang
# (scripts/windows_kmdf.py: an enum used before its definition, include
# names in another case), again whenever the script or a header changes. The
# KMDF version the driver is built for, as its WDK project sets it.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
set(KORVEL_KMDF_SOURCE ${PROJECT_SOURCE_DIR}/third_party/kmdf-1.15)
set(KORVEL_KMDF_HEADERS ${CMAKE_BINARY_DIR}/kmdf)
set(KORVEL_KMDF_VERSION_MAJOR 1)
set(KORVEL_KMDF_VERSION_MINOR 11)
file(GLOB korvel_kmdf_inputs ${KORVEL_KMDF_SOURCE}/*.h)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/scripts/windows_kmdf.py ${korvel_kmdf_inputs})
file(REMOVE_RECURSE ${KORVEL_KMDF_HEADERS})
execute_process(
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/windows_kmdf.py stage ${KORVEL_KMDF_SOURCE}
          ${KORVEL_KMDF_HEADERS}
  RESULT_VARIABLE korvel_kmdf_staged OUTPUT_QUIET)
if(NOT korvel_kmdf_staged EQUAL 0)
  message(FATAL_ERROR "scripts/windows_kmdf.py could not stage the KMDF headers of ${KORVEL_KMDF_SOURCE}")
endif()

# korvel_test_precompiled_headers(DIR): the test programs made in DIR and
# below share precompiled headers: the GoogleTest programs one of
# GoogleTest and the standard library, the panel's Qt tests one of Qt's
# test, widget and network headers. Most test programs are one large source
# each whose time went mostly to those headers (about 1.3 s of GoogleTest's
# and 2 s of Qt's a source). Only a test program's own sources in a tests
# folder use them (compiled as the shared header was, without
# optimisation); a source of the program from elsewhere compiles as before.
# KORVEL_PRECOMPILED_TEST_HEADERS=OFF compiles them all without.
option(KORVEL_PRECOMPILED_TEST_HEADERS "share precompiled headers between the test programs" ON)
function(korvel_test_precompiled_headers dir)
  if(NOT KORVEL_PRECOMPILED_TEST_HEADERS OR MSVC OR KORVEL_OPTIMISE_TESTS)
    return()
  endif()
  if(NOT TARGET korvel_gtest_pch)
    set(seed ${CMAKE_BINARY_DIR}/korvel_pch_seed.cpp)
    file(WRITE ${seed} "// The object the shared test headers are precompiled beside.\n")
    add_library(korvel_gtest_pch STATIC ${seed})
    target_link_libraries(korvel_gtest_pch PRIVATE GTest::gtest)
    target_compile_options(korvel_gtest_pch PRIVATE -O0)
    target_precompile_headers(korvel_gtest_pch PRIVATE <gtest/gtest.h> <atomic> <chrono> <cstdint>
                              <cstring> <functional> <map> <memory> <mutex> <string> <thread> <vector>)
    if(TARGET panel_testsupport)
      add_library(korvel_qttest_pch STATIC ${seed})
      target_link_libraries(korvel_qttest_pch PRIVATE panel_core panel_testsupport)
      target_compile_options(korvel_qttest_pch PRIVATE -O0)
      target_precompile_headers(korvel_qttest_pch PRIVATE <QtTest> <QtWidgets> <QtNetwork>)
    endif()
  endif()
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(optimised ${target} KORVEL_OPTIMISED)
    if(NOT type STREQUAL "EXECUTABLE" OR optimised OR target MATCHES "_fuzz$")
      continue()
    endif()
    get_target_property(libs ${target} LINK_LIBRARIES)
    set(pch "")
    if(libs MATCHES "GTest::")
      set(pch korvel_gtest_pch)
    elseif(TARGET korvel_qttest_pch AND libs MATCHES "panel_testsupport" AND libs MATCHES "panel_core")
      set(pch korvel_qttest_pch)
    endif()
    if(NOT pch)
      continue()
    endif()
    get_target_property(sources ${target} SOURCES)
    get_target_property(target_dir ${target} SOURCE_DIR)
    foreach(source IN LISTS sources)
      get_filename_component(path "${source}" ABSOLUTE BASE_DIR "${target_dir}")
      if(NOT path MATCHES "/tests/[^/]+\\.(cpp|cc)$")
        set_source_files_properties("${path}" TARGET_DIRECTORY ${target} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
      endif()
    endforeach()
    # Qt's generated moc collection compiles with the build type's options.
    get_target_property(automoc ${target} AUTOMOC)
    if(automoc)
      get_target_property(binary_dir ${target} BINARY_DIR)
      set_source_files_properties("${binary_dir}/${target}_autogen/mocs_compilation.cpp" TARGET_DIRECTORY ${target}
                                  PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
    endif()
    target_precompile_headers(${target} REUSE_FROM ${pch})
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    korvel_test_precompiled_headers(${subdir})
  endforeach()
endfunction()
