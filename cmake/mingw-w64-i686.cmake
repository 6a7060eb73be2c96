# The Windows build: 32-bit, cross-compiled with Debian's MinGW-w64 (the
# posix threading variant, which std::thread needs). Everything links
# statically (the C and C++ runtimes and winpthreads), so the program is one
# file that needs no DLL but the system's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(SONARET_MINGW i686-w64-mingw32)
set(CMAKE_C_COMPILER ${SONARET_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SONARET_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${SONARET_MINGW}-windres)
set(CMAKE_AR ${SONARET_MINGW}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${SONARET_MINGW}-ranlib CACHE FILEPATH "")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Libraries, headers and CMake packages come from the MinGW sysroot and from
# SONARET_WINDOWS_DEPS (the prefix scripts/build-windows-deps.sh fills);
# programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${SONARET_MINGW} ${SONARET_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The prefix's headers are the target system's, as /usr/include is on Linux
# (so <lame/lame.h> is found the same way in both builds).
if(SONARET_WINDOWS_DEPS)
    set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${SONARET_WINDOWS_DEPS}/include)
    set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${SONARET_WINDOWS_DEPS}/include)
endif()
