# The WebAssembly build's libraries: Debian has libdeflate, libdivsufsort,
# liblzma (source package xz-utils) and libzstd only for native targets, so
# their Debian source packages are compiled here with Emscripten.
# scripts/test-web fetches them into VARNOCK_DEBIAN_SOURCES
# (scripts/fetch-debian-source); nothing is downloaded at build time.
set(VARNOCK_DEBIAN_SOURCES "${PROJECT_SOURCE_DIR}/build/debian-sources" CACHE PATH
    "Directory holding the unpacked Debian source packages libdeflate, libdivsufsort, xz-utils and libzstd")
foreach(package IN ITEMS libdeflate libdivsufsort xz-utils libzstd)
  if(NOT EXISTS "${VARNOCK_DEBIAN_SOURCES}/${package}")
    message(FATAL_ERROR "${VARNOCK_DEBIAN_SOURCES}/${package} is missing: "
                        "run scripts/fetch-debian-source ${package} ${VARNOCK_DEBIAN_SOURCES}")
  endif()
endforeach()

enable_language(C)

# libdeflate 1.14 builds with a Makefile; only its CRC-32 is used, and the
# architecture-specific files compile to nothing for wasm32.
set(libdeflate_dir "${VARNOCK_DEBIAN_SOURCES}/libdeflate")
add_library(varnock_wasm_deflate STATIC "${libdeflate_dir}/lib/crc32.c" "${libdeflate_dir}/lib/utils.c")
set_target_properties(varnock_wasm_deflate PROPERTIES LINKER_LANGUAGE C)
target_include_directories(varnock_wasm_deflate SYSTEM PUBLIC "${libdeflate_dir}")

# libdivsufsort's own CMake project, in its 32- and 64-bit forms.
set(BUILD_SHARED_LIBS OFF CACHE BOOL "" FORCE)
set(BUILD_EXAMPLES OFF CACHE BOOL "" FORCE)
set(BUILD_DIVSUFSORT64 ON CACHE BOOL "" FORCE)
set(CMAKE_WARN_DEPRECATED OFF CACHE BOOL "" FORCE)
set(CMAKE_POLICY_DEFAULT_CMP0048 NEW)
add_subdirectory("${VARNOCK_DEBIAN_SOURCES}/libdivsufsort" "${CMAKE_BINARY_DIR}/libdivsufsort" EXCLUDE_FROM_ALL)
add_library(varnock_wasm_divsufsort INTERFACE)
target_link_libraries(varnock_wasm_divsufsort INTERFACE divsufsort divsufsort64)
target_include_directories(varnock_wasm_divsufsort SYSTEM INTERFACE "${CMAKE_BINARY_DIR}/libdivsufsort/include")

# liblzma with xz's own CMake project (its programs are left out, and their
# links, whose rules clash in Ninja).
set(CREATE_XZ_SYMLINKS OFF CACHE BOOL "" FORCE)
set(CREATE_LZMA_SYMLINKS OFF CACHE BOOL "" FORCE)
add_subdirectory("${VARNOCK_DEBIAN_SOURCES}/xz-utils" "${CMAKE_BINARY_DIR}/xz-utils" EXCLUDE_FROM_ALL)
add_library(varnock_wasm_lzma INTERFACE)
target_link_libraries(varnock_wasm_lzma INTERFACE liblzma)
target_include_directories(varnock_wasm_lzma SYSTEM INTERFACE "${VARNOCK_DEBIAN_SOURCES}/xz-utils/src/liblzma/api")

# libzstd's compressor and decompressor, single-threaded: its own CMake
# project wants an assembler, and its x86-64 assembly compiles to nothing here.
set(libzstd_dir "${VARNOCK_DEBIAN_SOURCES}/libzstd/lib")
file(GLOB libzstd_sources "${libzstd_dir}/common/*.c" "${libzstd_dir}/compress/*.c" "${libzstd_dir}/decompress/*.c")
add_library(varnock_wasm_zstd STATIC ${libzstd_sources})
target_include_directories(varnock_wasm_zstd SYSTEM PUBLIC "${libzstd_dir}")
