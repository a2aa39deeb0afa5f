# The patch container's compressors, liblzma (LZMA2) and libzstd, as the
# targets varnock::lzma and varnock::zstd: Debian's packages on Linux; on
# Windows the static builds of Debian's sources that
# scripts/install-windows-deps makes, found the same way in its prefix; for
# WebAssembly those sources compiled by cmake/WasmDependencies.cmake.
add_library(varnock_lzma INTERFACE)
add_library(varnock::lzma ALIAS varnock_lzma)
add_library(varnock_zstd INTERFACE)
add_library(varnock::zstd ALIAS varnock_zstd)
if(EMSCRIPTEN)
  target_link_libraries(varnock_lzma INTERFACE varnock_wasm_lzma)
  target_link_libraries(varnock_zstd INTERFACE varnock_wasm_zstd)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBLZMA REQUIRED IMPORTED_TARGET liblzma)
  pkg_check_modules(LIBZSTD REQUIRED IMPORTED_TARGET libzstd)
  target_link_libraries(varnock_lzma INTERFACE PkgConfig::LIBLZMA)
  target_link_libraries(varnock_zstd INTERFACE PkgConfig::LIBZSTD)
endif()
