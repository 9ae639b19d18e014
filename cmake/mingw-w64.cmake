# Cross build of the Win32 program with mingw-w64, posix threads model. The architecture comes
# from KFS_WINDOWS_ARCH: i686 (the shipped 32-bit program) or x86_64 (the same sources as a 64-bit
# program, for running the Windows-side tests where the host cannot execute 32-bit code).
set(KFS_WINDOWS_ARCH i686 CACHE STRING "mingw-w64 target architecture: i686 or x86_64")
set_property(CACHE KFS_WINDOWS_ARCH PROPERTY STRINGS i686 x86_64)
if(NOT KFS_WINDOWS_ARCH MATCHES "^(i686|x86_64)$")
  message(FATAL_ERROR "KFS_WINDOWS_ARCH must be i686 or x86_64, not '${KFS_WINDOWS_ARCH}'")
endif()
# try_compile projects see the same architecture.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KFS_WINDOWS_ARCH)
set(_triple ${KFS_WINDOWS_ARCH}-w64-mingw32)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KFS_WINDOWS_ARCH})
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Tests built for Windows run under Wine: Debian's wine launcher runs the 32-bit loader, and a
# 64-bit program needs the 64-bit loader, which Debian does not put on PATH.
if(KFS_WINDOWS_ARCH STREQUAL "x86_64")
  set(KFS_WINE /usr/lib/wine/wine64 CACHE FILEPATH "Wine loader for the built programs")
  set(KFS_WINEARCH win64)
else()
  set(KFS_WINE wine CACHE FILEPATH "Wine loader for the built programs")
  set(KFS_WINEARCH win32)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${KFS_WINE})
