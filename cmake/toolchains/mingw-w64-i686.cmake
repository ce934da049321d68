# Cross-build for 32-bit Windows with mingw-w64. The kernels of our build
# machines cannot execute i386 code, so test programs run under Debian's
# 32-bit Wine emulated by qemu-i386: the build runs cmake/wine/wine32-setup,
# which makes that Wine once in <build>/wine32 (it needs Debian's archive),
# and CTest puts cmake/wine/wine-run, given its loader, in front of every test
# command. With PARPORT_WINE32_TESTS=OFF the tests are built, not registered.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PARPORT_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

option(PARPORT_WINE32_TESTS "Run the tests under a private 32-bit Wine on qemu-i386" ON)
if(PARPORT_WINE32_TESTS)
  # Every run uses the Wine prefix inside the build folder, never the user's own.
  get_filename_component(_parport_wine_run ${CMAKE_CURRENT_LIST_DIR}/../wine/wine-run ABSOLUTE)
  set(PARPORT_WINE32_ROOT ${CMAKE_BINARY_DIR}/wine32)
  # The loader every 32-bit Wine run starts (the layout wine32-setup makes).
  set(PARPORT_WINE32_LOADER ${PARPORT_WINE32_ROOT}/lib/wine/wine64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_parport_wine_run} --wine=${PARPORT_WINE32_LOADER}
      --prefix=${CMAKE_BINARY_DIR}/wineprefix)
  # Emulation makes each Wine start cost about half a second: a GoogleTest
  # program runs all its cases in one start (a tenth of the time per case).
  set(PARPORT_GTEST_WHOLE_PROGRAMS TRUE)
endif()
