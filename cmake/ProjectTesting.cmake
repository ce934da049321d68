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
  endif()
else()
  find_package(GTest REQUIRED)
endif()

# parport_add_gtest(<target>): register a GoogleTest executable with CTest,
# one CTest entry per test case. Under an emulator (Wine) discovery happens at
# test time, after the emulator's set-up fixture has run.
function(parport_add_gtest target)
  if(CMAKE_CROSSCOMPILING)
    gtest_discover_tests(${target}
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 120
      PROPERTIES ${ARGN})
  else()
    gtest_discover_tests(${target} PROPERTIES ${ARGN})
  endif()
endfunction()
