# Build helpers shared by every folder.

# Adds every direct subfolder of DIR that has a CMakeLists.txt, so a new component or test folder
# joins the build without editing a shared file; vorn_add_subdirectories(DIR EXCEPT name...) leaves
# the named ones out.
function(vorn_add_subdirectories dir)
  cmake_parse_arguments(S "" "" "EXCEPT" ${ARGN})
  file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*)
  list(SORT children)
  foreach(child ${children})
    get_filename_component(child_name ${child} NAME)
    if(child_name IN_LIST S_EXCEPT)
      continue()
    endif()
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()

# Puts a program at its router path (DEST such as usr/sbin) in the build's router tree.
function(vorn_router_program target dest)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VORN_ROUTER_ROOT}/${dest})
endfunction()

# Registers a test run inside a router sandbox built from this build tree.
function(vorn_sandbox_test name)
  add_test(NAME ${name} COMMAND ${PROJECT_SOURCE_DIR}/tools/router-sandbox -- ${ARGN})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "VORN_BUILD_DIR=${CMAKE_BINARY_DIR}")
endfunction()

# Registers the test NAME running COMMAND...: inside a router sandbox (labelled "sandbox") when
# SANDBOX is true, otherwise directly; TIMEOUT in seconds, 300 when empty. A program target as the
# command stands for its file in both cases (directly, add_test also puts the emulator before it).
# Options after the command: PLATFORM labels a test of the daemon's use of uci, ubus and libubox,
# which make test also runs against the router's real platform (built as target platform_tests);
# SECONDS is about how long it runs, so that ctest starts the long ones first even without the
# times of an earlier run (a fresh clone).
function(vorn_register_test name sandbox timeout)
  cmake_parse_arguments(R "PLATFORM" "SECONDS" "" ${ARGN})
  set(command ${R_UNPARSED_ARGUMENTS})
  if(sandbox)
    list(POP_FRONT command program)
    if(TARGET ${program})
      set(program $<TARGET_FILE:${program}>)
    endif()
    vorn_sandbox_test(${name} ${program} ${command})
    set_property(TEST ${name} APPEND PROPERTY LABELS sandbox)
  else()
    add_test(NAME ${name} COMMAND ${command})
  endif()
  if(NOT timeout)
    set(timeout 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${timeout})
  if(R_SECONDS)
    set_tests_properties(${name} PROPERTIES COST ${R_SECONDS})
  endif()
  if(R_PLATFORM)
    set_property(TEST ${name} APPEND PROPERTY LABELS platform)
    if(TARGET ${name})
      add_dependencies(platform_tests ${name})
    endif()
  endif()
endfunction()

# The test programs' compile settings beyond their own: GoogleTest, and their own code unoptimised.
function(vorn_test_compile_settings target)
  target_link_libraries(${target} PRIVATE GTest::gtest_main GTest::gmock)
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    # Run under user-mode emulation: lets a test skip a case that needs a kernel feature the
    # emulator does not provide (each such case says which, and tests/emulation/ shows it).
    target_compile_definitions(${target} PRIVATE VORN_USER_MODE_EMULATION=1)
  endif()
  # The test's own code is not what is tested and optimising it took half of an optimised tree's
  # compile time; the libraries it tests keep the build type's optimisation. (Optimised, the ARM
  # compiler also warned falsely of string copies out of bounds in the precompiled test headers.)
  target_compile_options(${target} PRIVATE $<$<CONFIG:RelWithDebInfo,Release,MinSizeRel>:-O0>)
endfunction()

# GoogleTest, GoogleMock and the standard headers most tests include, precompiled once per tree and
# reused by every test program (vorn_add_test): parsing them took about half of compiling a test.
# Called once, from the top folder, so that only the tree's global flags apply, as to the tests.
function(vorn_test_precompiled_headers)
  add_library(vorn_test_pch OBJECT ${PROJECT_SOURCE_DIR}/tests/support/precompiled_headers.cpp)
  vorn_test_compile_settings(vorn_test_pch)
  target_precompile_headers(vorn_test_pch PRIVATE <gtest/gtest.h> <gmock/gmock.h> <algorithm> <chrono>
    <cstdint> <cstdio> <cstdlib> <cstring> <fstream> <functional> <memory> <set> <sstream> <string>
    <thread> <vector>)
endfunction()

# vorn_add_test(NAME SOURCES src... [LIBS lib...] [SANDBOX] [TIMEOUT seconds] [PLATFORM] [SECONDS s])
# Builds a GoogleTest program; with SANDBOX it runs inside a router sandbox (router paths, private
# /tmp, /dev/shm, IPC and network), otherwise directly. PLATFORM and SECONDS: vorn_register_test.
function(vorn_add_test name)
  cmake_parse_arguments(T "SANDBOX;PLATFORM" "TIMEOUT;SECONDS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS})
  vorn_test_compile_settings(${name})
  # A C source (a check of the C interface) cannot reuse a C++ header: such a test parses its own.
  set(c_sources ${T_SOURCES})
  list(FILTER c_sources INCLUDE REGEX "\\.c$")
  if(NOT c_sources)
    target_precompile_headers(${name} REUSE_FROM vorn_test_pch)
  endif()
  set(platform "")
  if(T_PLATFORM)
    set(platform PLATFORM)
  endif()
  vorn_register_test(${name} "${T_SANDBOX}" "${T_TIMEOUT}" ${name} ${platform} SECONDS "${T_SECONDS}")
endfunction()

# vorn_add_script_test(NAME SCRIPT [SANDBOX] [TIMEOUT seconds] [PLATFORM] [SECONDS s]): a shell
# test script; it gets the repository and the build folder as its two arguments.
function(vorn_add_script_test name script)
  cmake_parse_arguments(T "SANDBOX;PLATFORM" "TIMEOUT;SECONDS" "" ${ARGN})
  set(cmd ${CMAKE_CURRENT_SOURCE_DIR}/${script} ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR})
  set(platform "")
  if(T_PLATFORM)
    set(platform PLATFORM)
  endif()
  vorn_register_test(${name} "${T_SANDBOX}" "${T_TIMEOUT}" ${cmd} ${platform} SECONDS "${T_SECONDS}")
endfunction()
