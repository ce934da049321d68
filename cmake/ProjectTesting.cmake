# Test framework set-up shared by every test folder.
#
# Natively the system's GoogleTest is used. When cross-building for Windows,
# GoogleTest is compiled from Debian's source package with the cross compiler,
# so the test CMakeLists files are identical for both builds.
include(GoogleTest)

if(CMAKE_CROSSCOMPILING)
  set(PARPORT_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest source tree for cross builds")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${PARPORT_GTEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL SYSTEM)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
    add_library(GTest::gmock ALIAS gmock)
    add_library(GTest::gmock_main ALIAS gmock_main)
  endif()
else()
  find_package(GTest REQUIRED)
endif()

# Windows test programs run under Wine (the toolchain's emulator, a wrapper
# script). One set-up test boots the build folder's Wine prefix before any
# other test starts; every Windows test requires it. No wineserver is kept
# running: each Wine run ends with its server, so CTest never waits on one.
# A cross build without an emulator (32-bit Windows with
# PARPORT_WINE32_TESTS=OFF) builds its tests but registers none.
set(PARPORT_TESTS_RUNNABLE TRUE)
if(CMAKE_CROSSCOMPILING)
  if(PARPORT_WINE32_ROOT)
    # The 32-bit Wine the emulator uses, made on the first build and kept;
    # later builds only compare its version with the installed wine64's.
    add_custom_target(wine32 ALL
      COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine/wine32-setup ${PARPORT_WINE32_ROOT}
      COMMENT "Checking the 32-bit Wine in ${PARPORT_WINE32_ROOT}"
      USES_TERMINAL VERBATIM)
  endif()
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    add_test(NAME wine_prefix COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --boot)
    set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 300)
  else()
    set(PARPORT_TESTS_RUNNABLE FALSE)
    message(STATUS "No emulator for ${CMAKE_SYSTEM_NAME}/${CMAKE_SYSTEM_PROCESSOR}: tests are built, not registered")
  endif()
endif()

# parport_add_gtest(<target> [<test property> <value>]...): register a
# GoogleTest executable with CTest, one CTest entry per test case. Under Wine
# the list of test cases is read at test time (not at build time) and every
# case requires the Wine prefix fixture. With PARPORT_GTEST_WHOLE_PROGRAMS
# (the 32-bit Windows build, where every emulated Wine start costs about half
# a second) the program is one CTest entry that runs all its cases at once.
function(parport_add_gtest target)
  if(NOT PARPORT_TESTS_RUNNABLE)
    return()
  endif()
  if(PARPORT_GTEST_WHOLE_PROGRAMS)
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES FIXTURES_REQUIRED wine_prefix ${ARGN})
    # A time limit given for one case does not fit the whole program.
    set_tests_properties(${target} PROPERTIES TIMEOUT 300)
  elseif(CMAKE_CROSSCOMPILING)
    gtest_discover_tests(${target}
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 120
      PROPERTIES FIXTURES_REQUIRED wine_prefix ${ARGN})
  else()
    gtest_discover_tests(${target} PROPERTIES ${ARGN})
  endif()
endfunction()

# parport_add_test(NAME <name> COMMAND <target or program> [args...]
#                  [WORKING_DIRECTORY <dir>] [PROPERTIES <property> <value>...]):
# add_test() for a plain test program; under Wine the test requires the
# prefix fixture. A COMMAND that names an executable target is run through the
# emulator by CTest, as with add_test().
function(parport_add_test)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;WORKING_DIRECTORY" "COMMAND;PROPERTIES")
  if(NOT arg_NAME OR NOT arg_COMMAND)
    message(FATAL_ERROR "parport_add_test: NAME and COMMAND are required")
  endif()
  if(NOT PARPORT_TESTS_RUNNABLE)
    return()
  endif()
  set(wd)
  if(arg_WORKING_DIRECTORY)
    set(wd WORKING_DIRECTORY ${arg_WORKING_DIRECTORY})
  endif()
  add_test(NAME ${arg_NAME} COMMAND ${arg_COMMAND} ${wd})
  if(CMAKE_CROSSCOMPILING)
    set_property(TEST ${arg_NAME} APPEND PROPERTY FIXTURES_REQUIRED wine_prefix)
  endif()
  if(arg_PROPERTIES)
    set_tests_properties(${arg_NAME} PROPERTIES ${arg_PROPERTIES})
  endif()
endfunction()
