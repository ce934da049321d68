# Shared part of the mingw-w64 toolchain files. The including file sets
# PARPORT_MINGW_TRIPLET (x86_64-w64-mingw32 or i686-w64-mingw32) and
# CMAKE_SYSTEM_PROCESSOR first.
#
# The "-posix" compiler variants are used on purpose: Debian's default
# mingw-w64 compilers use the win32 thread model, which has no std::mutex or
# std::thread, and GoogleTest does not compile without them.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)

set(CMAKE_C_COMPILER ${PARPORT_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PARPORT_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${PARPORT_MINGW_TRIPLET}-windres)
set(CMAKE_DLLTOOL ${PARPORT_MINGW_TRIPLET}-dlltool)

# Libraries, headers and packages come from the mingw-w64 sysroot only; build
# tools (programs) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${PARPORT_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
