# What cmake/mingw-w64-i686.cmake and cmake/mingw-w64-x86_64.cmake share, once
# they have set VARNOCK_MINGW_TRIPLE, CMAKE_SYSTEM_PROCESSOR and the options
# tests/windows/wine-run takes (VARNOCK_WINE_OPTIONS): MinGW-w64's
# compilers with POSIX threads (Debian: g++-mingw-w64-*-posix), the libraries
# scripts/install-windows-deps built into build/windows-deps/TRIPLE, and Wine
# to run the tests, in a Wine prefix of the build directory's own.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${VARNOCK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARNOCK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VARNOCK_MINGW_TRIPLE}-windres)

cmake_path(ABSOLUTE_PATH CMAKE_CURRENT_LIST_DIR NORMALIZE OUTPUT_VARIABLE varnock_source_dir)
cmake_path(GET varnock_source_dir PARENT_PATH varnock_source_dir)
set(VARNOCK_WINDOWS_DEPS ${varnock_source_dir}/build/windows-deps/${VARNOCK_MINGW_TRIPLE}
    CACHE PATH "The prefix scripts/install-windows-deps built the Windows libraries into")
# The script stamps each part it has put in; a prefix it made before a part
# was added lacks that part's stamp.
foreach(part IN ITEMS libdivsufsort libdeflate CLI11 xz-utils libzstd)
  if(NOT EXISTS ${VARNOCK_WINDOWS_DEPS}/.complete-${part})
    message(FATAL_ERROR "${VARNOCK_WINDOWS_DEPS} has no ${part}: run scripts/install-windows-deps first")
  endif()
endforeach()

# Libraries and headers come from the MinGW tree and our prefix only; programs from the host.
# A prefix named in CMAKE_PREFIX_PATH (such as an unzipped release zip) is a
# tree of Windows files too, searched as such.
set(CMAKE_FIND_ROOT_PATH /usr/${VARNOCK_MINGW_TRIPLE} ${VARNOCK_WINDOWS_DEPS} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config sees our prefix's .pc files and none of the host's.
set(ENV{PKG_CONFIG_LIBDIR} ${VARNOCK_WINDOWS_DEPS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Without it the .exe needs the MinGW runtime DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
# libvarnock.dll carries the MinGW runtime inside as well.
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)

set(CMAKE_CROSSCOMPILING_EMULATOR ${varnock_source_dir}/tests/windows/wine-run ${VARNOCK_WINE_OPTIONS}
                                   ${CMAKE_BINARY_DIR}/wine)
