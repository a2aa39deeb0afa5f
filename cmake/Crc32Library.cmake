# The CRC-32 comes from a library: the same reflected 0xEDB88320 CRC, many times
# faster than a byte-at-a-time table. libdeflate where it is packaged, zlib where
# it is not (Debian ships zlib, but no libdeflate, for MinGW-w64). Exposed as the
# target varnock::crc32_library, which tells files/Crc32.cpp its choice.
if(WIN32)
  set(varnock_crc32_default zlib)
else()
  set(varnock_crc32_default libdeflate)
endif()
set(VARNOCK_CRC32_LIBRARY ${varnock_crc32_default} CACHE STRING "Library that computes the CRC-32")
set_property(CACHE VARNOCK_CRC32_LIBRARY PROPERTY STRINGS libdeflate zlib)

add_library(varnock_crc32_library INTERFACE)
add_library(varnock::crc32_library ALIAS varnock_crc32_library)
if(VARNOCK_CRC32_LIBRARY STREQUAL "zlib")
  # The program links statically, so it needs no DLL beside it.
  set(ZLIB_USE_STATIC_LIBS ON)
  find_package(ZLIB REQUIRED)
  target_link_libraries(varnock_crc32_library INTERFACE ZLIB::ZLIB)
  target_compile_definitions(varnock_crc32_library INTERFACE VARNOCK_CRC32_ZLIB)
elseif(VARNOCK_CRC32_LIBRARY STREQUAL "libdeflate" AND EMSCRIPTEN)
  target_link_libraries(varnock_crc32_library INTERFACE varnock_wasm_deflate)
elseif(VARNOCK_CRC32_LIBRARY STREQUAL "libdeflate")
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)
  target_link_libraries(varnock_crc32_library INTERFACE PkgConfig::LIBDEFLATE)
else()
  message(FATAL_ERROR "VARNOCK_CRC32_LIBRARY must be libdeflate or zlib, not ${VARNOCK_CRC32_LIBRARY}")
endif()
