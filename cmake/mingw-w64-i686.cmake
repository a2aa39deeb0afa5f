# Cross-builds the 32-bit Windows programs and library with MinGW-w64
# (Debian: g++-mingw-w64-i686-posix).
set(VARNOCK_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
