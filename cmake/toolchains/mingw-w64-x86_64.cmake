# Cross-build for 64-bit Windows with mingw-w64. Test programs run under Wine
# through cmake/wine/wine-run, which CTest puts in front of every test command.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PARPORT_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Every run uses the Wine prefix inside the build folder, never the user's own.
get_filename_component(_parport_wine_run ${CMAKE_CURRENT_LIST_DIR}/../wine/wine-run ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_parport_wine_run} --prefix=${CMAKE_BINARY_DIR}/wineprefix)
