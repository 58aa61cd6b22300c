# Cross-building for 64-bit Windows with Debian's MinGW-w64 (the posix thread
# model, for std::thread and the like):
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DTOVRIN_WINDOWS_DEPS=<prefix> ...
# TOVRIN_WINDOWS_DEPS is the folder where SQLite and libzip, cross-built from
# Debian's own sources, were installed (scripts/setup.sh windows does it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${TOVRIN_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Tests and the example run under Wine, with no display and no chatter.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
