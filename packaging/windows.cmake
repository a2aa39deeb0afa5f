# The Windows release zip, varnock-VERSION-win32.zip or -win64.zip (CPack's ZIP
# generator): bin/ (the programs and libvarnock.dll), lib/ (the import and
# static libraries, the static libraries libvarnock.a needs, varnock.pc, the
# CMake package), include/, and share/doc/varnock/ (README, LICENSE, the
# manuals as HTML, and the licences of what the programs and the DLL carry
# inside). Included from packaging/CMakeLists.txt on Windows.
find_program(VARNOCK_MANDOC mandoc REQUIRED)
set(varnock_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/varnock)

set(html_manuals)
foreach(manual IN ITEMS varnock varnock-diff)
  configure_file(${manual}.1.in ${CMAKE_CURRENT_BINARY_DIR}/${manual}.1 @ONLY)
  set(html ${CMAKE_CURRENT_BINARY_DIR}/${manual}.html)
  add_custom_command(
    OUTPUT ${html}
    COMMAND ${VARNOCK_MANDOC} -Thtml -Ios=Varnock ${CMAKE_CURRENT_BINARY_DIR}/${manual}.1 > ${html}
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${manual}.1
    VERBATIM)
  list(APPEND html_manuals ${html})
endforeach()
add_custom_target(varnock_html_manuals ALL DEPENDS ${html_manuals})
install(FILES ${html_manuals} ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${varnock_doc_dir})

# What is linked in statically, credited as its licence asks: libdivsufsort,
# libdeflate, liblzma and libzstd (their sources' own texts, kept by
# scripts/install-windows-deps), CLI11 (in varnock-diff.exe), the MinGW-w64
# runtime and winpthreads, and the GCC runtime (libgcc, libstdc++), from
# Debian's copyright files.
set(VARNOCK_DEPENDENCY_LICENSES
    libdivsufsort=${VARNOCK_WINDOWS_DEPS}/share/licenses/libdivsufsort
    libdeflate=${VARNOCK_WINDOWS_DEPS}/share/licenses/libdeflate
    liblzma=${VARNOCK_WINDOWS_DEPS}/share/licenses/liblzma
    libzstd=${VARNOCK_WINDOWS_DEPS}/share/licenses/libzstd
    CLI11=/usr/share/doc/libcli11-dev/copyright
    mingw-w64-runtime=/usr/share/doc/mingw-w64-common/copyright
    gcc-runtime=/usr/share/doc/gcc-mingw-w64-base/copyright)
foreach(entry IN LISTS VARNOCK_DEPENDENCY_LICENSES)
  string(REPLACE "=" ";" entry "${entry}")
  list(GET entry 0 name)
  list(GET entry 1 text)
  if(NOT EXISTS ${text})
    message(FATAL_ERROR "${text} is missing: run scripts/install-windows-deps")
  endif()
  install(FILES ${text} DESTINATION ${varnock_doc_dir}/licenses RENAME ${name}.txt)
endforeach()

# libvarnock.a names these archives beside it (lib/CMakeLists.txt).
get_target_property(divsufsort_libraries PkgConfig::DIVSUFSORT INTERFACE_LINK_LIBRARIES)
install(FILES ${LIBDEFLATE_LINK_LIBRARIES} ${divsufsort_libraries} ${LIBLZMA_LINK_LIBRARIES} ${LIBZSTD_LINK_LIBRARIES}
        DESTINATION ${CMAKE_INSTALL_LIBDIR})

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(varnock_windows_name win64)
else()
  set(varnock_windows_name win32)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME varnock)
set(CPACK_PACKAGE_VENDOR "The Varnock developers")
set(CPACK_PACKAGE_FILE_NAME varnock-${PROJECT_VERSION}-${varnock_windows_name})
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)
