# Cross-builds the 32-bit Windows program with MinGW-w64 (Debian:
# g++-mingw-w64-i686-posix); its tests run it under Wine, in a Wine prefix of
# the build directory's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VARNOCK_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VARNOCK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARNOCK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VARNOCK_MINGW_TRIPLE}-windres)

# Libraries and headers come from the MinGW tree only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VARNOCK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Without it the .exe needs the MinGW runtime DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
# libvarnock.dll carries the MinGW runtime inside as well.
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine-run ${CMAKE_BINARY_DIR}/wine)
