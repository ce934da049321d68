# Cross-build for 32-bit Windows with mingw-w64. Built and checked only: the
# kernels of our build machines cannot start 32-bit Windows programs under Wine
# ("Exec format error"), so no emulator is set and no test runs.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PARPORT_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
