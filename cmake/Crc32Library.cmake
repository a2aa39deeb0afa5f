# The CRC-32 comes from libdeflate: the same reflected 0xEDB88320 CRC, many
# times faster than a byte-at-a-time table. Debian's package on Linux; on
# Windows the static build scripts/install-windows-deps makes from Debian's
# sources. Exposed as the target varnock::crc32_library.
add_library(varnock_crc32_library INTERFACE)
add_library(varnock::crc32_library ALIAS varnock_crc32_library)
if(EMSCRIPTEN)
  target_link_libraries(varnock_crc32_library INTERFACE varnock_wasm_deflate)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)
  target_link_libraries(varnock_crc32_library INTERFACE PkgConfig::LIBDEFLATE)
endif()
