# Cross-builds the launcher for 64-bit Windows with Debian's MinGW-w64 (POSIX threads) against the
# libraries of scripts/windows-deps.sh, and runs the built programs through Wine:
#     cmake -S . -B build-windows -G Ninja --toolchain cmake/windows-mingw.cmake
# The library prefix is CORVANE_WINDOWS_PREFIX (environment or cache), by default
# ~/.cache/corvane-windows; scripts/windows.sh passes it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CORVANE_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CORVANE_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORVANE_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${CORVANE_MINGW}-windres)

if(NOT CORVANE_WINDOWS_PREFIX)
    if(DEFINED ENV{CORVANE_WINDOWS_PREFIX})
        set(CORVANE_WINDOWS_PREFIX "$ENV{CORVANE_WINDOWS_PREFIX}")
    else()
        set(CORVANE_WINDOWS_PREFIX "$ENV{HOME}/.cache/corvane-windows")
    endif()
endif()
set(CORVANE_WINDOWS_PREFIX "${CORVANE_WINDOWS_PREFIX}" CACHE PATH "Windows library prefix")
# try_compile projects read the toolchain file again, without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CORVANE_WINDOWS_PREFIX)

# Libraries and headers only from the prefix and the MinGW sysroot; programs (lrelease, the Qt
# host tools in the prefix) from the build machine.
set(CMAKE_FIND_ROOT_PATH "${CORVANE_WINDOWS_PREFIX}" "${CORVANE_WINDOWS_PREFIX}/qt"
    /usr/${CORVANE_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_PREFIX_PATH "${CORVANE_WINDOWS_PREFIX}/qt" "${CORVANE_WINDOWS_PREFIX}")
set(Qt5_DIR "${CORVANE_WINDOWS_PREFIX}/qt/lib/cmake/Qt5" CACHE PATH "Qt 5 for Windows")

# pkg-config answers for the prefix only, never for the build machine's own libraries.
set(ENV{PKG_CONFIG_LIBDIR} "${CORVANE_WINDOWS_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(OPENSSL_ROOT_DIR "${CORVANE_WINDOWS_PREFIX}")
set(ZLIB_ROOT "${CORVANE_WINDOWS_PREFIX}")

# Built programs (tests, tools run by tests) run through Wine; test.sh-style runs use ctest.
find_program(CORVANE_WINE NAMES wine64 wine HINTS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(CORVANE_WINE)
    # Test programs run through a wrapper that prints their Qt Test log (see wine-test.sh).
    set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-test.sh;${CORVANE_WINE}")
endif()

# The MinGW runtime the bundle carries next to the executable.
set(CORVANE_MINGW_RUNTIME_DIRS /usr/lib/gcc/${CORVANE_MINGW}/12-posix /usr/${CORVANE_MINGW}/lib)
