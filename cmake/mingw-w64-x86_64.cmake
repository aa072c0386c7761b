# Cross-builds the Windows executable on Linux with mingw-w64 (Debian:
# g++-mingw-w64-x86-64 libz-mingw-w64-dev; wine64 to run the tests; libdeflate
# is compiled from the source scripts/deps.sh --windows fetches):
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TALLYMERE_MINGW_TRIPLE x86_64-w64-mingw32)
# The "posix" thread model gives the standard library's threads and mutexes,
# as on the other builds; the winpthreads runtime is linked in statically.
find_program(CMAKE_C_COMPILER NAMES ${TALLYMERE_MINGW_TRIPLE}-gcc-posix ${TALLYMERE_MINGW_TRIPLE}-gcc)
find_program(CMAKE_CXX_COMPILER NAMES ${TALLYMERE_MINGW_TRIPLE}-g++-posix ${TALLYMERE_MINGW_TRIPLE}-g++)
find_program(CMAKE_RC_COMPILER NAMES ${TALLYMERE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TALLYMERE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: no compiler runtime or zlib DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(ZLIB_USE_STATIC_LIBS ON)

# Tests and test discovery run the executables under wine, in a prefix of
# the build's own, quietly and without any window or installer dialog.
find_program(TALLYMERE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(TALLYMERE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
    env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
    DISPLAY= ${TALLYMERE_WINE})
endif()
