# Cross-build for 32-bit Windows with Debian's MinGW-w64 (POSIX thread model):
#   cmake -S . -B ../build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# Tests run under wine only where 32-bit wine works (wine32:i386 installed and a kernel that runs
# 32-bit programs); elsewhere the tests are built but not registered.
set(VORN_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VORN_WINE_LOADER /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
