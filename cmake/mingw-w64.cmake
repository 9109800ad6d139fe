# Cross build of velmora.exe for 64-bit Windows with MinGW-w64 (Debian
# package g++-mingw-w64-x86-64-posix), its tests run under Wine (wine64):
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#   cmake --build build-win -j2 && ctest --test-dir build-win
#
# Everything is linked statically, so velmora.exe needs no DLL beyond the
# ones every Windows system has.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(velmora_mingw_prefix x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${velmora_mingw_prefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${velmora_mingw_prefix}-g++-posix)
set(CMAKE_RC_COMPILER ${velmora_mingw_prefix}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${velmora_mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Tests and test discovery run the built programs under Wine, quiet, in a
# Wine prefix of the build folder's own (see cmake/cross_testing.cmake).
find_program(VELMORA_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(VELMORA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_COMMAND} -E env WINEDEBUG=-all WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix ${VELMORA_WINE})
endif()
