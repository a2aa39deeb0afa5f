# Cross-builds the 64-bit Windows programs and library with MinGW-w64
# (Debian: g++-mingw-w64-x86-64-posix).
set(VARNOCK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
# Its tests run in a 64-bit Wine prefix.
set(VARNOCK_WINE_OPTIONS --win64)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
