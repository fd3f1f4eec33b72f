# What a Debian package needs beside the programs: man pages, the copyright
# file and changelog under /usr/share/doc/kemascopia, and the package itself
# (`cpack -G DEB` in the build folder), stripped, with the debug symbols in a
# -dbgsym package beside it.
include_guard(GLOBAL)
include(GNUInstallDirs)

set(KEMA_PACKAGING_SOURCE ${PROJECT_SOURCE_DIR}/packaging)
set(KEMA_PACKAGING_BINARY ${PROJECT_BINARY_DIR}/packaging)
set(KEMA_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/kemascopia)

# Compressed as Debian's tools do (-9, no name or time stamp), so the
# package is reproducible and lintian finds what it expects.
find_program(KEMA_GZIP gzip REQUIRED)
function(kema_gzip_file source output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KEMA_PACKAGING_BINARY}
    COMMAND sh -c "'${KEMA_GZIP}' -9nc '${source}' > '${output}'"
    DEPENDS ${source}
    VERBATIM)
endfunction()

set(KEMA_MAN_PAGES)
if(TARGET kema)
  list(APPEND KEMA_MAN_PAGES kema.1)
endif()
if(TARGET kemascopia)
  list(APPEND KEMA_MAN_PAGES kemascopia.1)
endif()
set(_kema_compressed)
foreach(page IN LISTS KEMA_MAN_PAGES)
  kema_gzip_file(${KEMA_PACKAGING_SOURCE}/man/${page} ${KEMA_PACKAGING_BINARY}/${page}.gz)
  list(APPEND _kema_compressed ${KEMA_PACKAGING_BINARY}/${page}.gz)
  install(FILES ${KEMA_PACKAGING_BINARY}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
kema_gzip_file(${KEMA_PACKAGING_SOURCE}/changelog ${KEMA_PACKAGING_BINARY}/changelog.gz)
list(APPEND _kema_compressed ${KEMA_PACKAGING_BINARY}/changelog.gz)
add_custom_target(kema_package_docs ALL DEPENDS ${_kema_compressed})
install(FILES ${KEMA_PACKAGING_BINARY}/changelog.gz ${KEMA_PACKAGING_SOURCE}/copyright
  DESTINATION ${KEMA_DOC_DIR})
install(FILES ${KEMA_PACKAGING_SOURCE}/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME kemascopia)

# Debian wants 0755 directories whatever the umask of the build.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_PACKAGE_NAME kemascopia)
set(CPACK_PACKAGE_VENDOR "Kemascopia developers")
set(CPACK_PACKAGE_CONTACT "Kemascopia developers <kemascopia@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "viewer and reading library for medical cross-sectional images")
file(READ ${KEMA_PACKAGING_SOURCE}/description CPACK_DEBIAN_PACKAGE_DESCRIPTION)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation, shared-mime-info, desktop-file-utils")
if(TARGET _kemascopia)
  # The Python module is built for one Python version; numpy carries its
  # arrays, Dask its distributed scan.
  string(REGEX MATCH "^[0-9]+\\.[0-9]+" _kema_py "${Python3_VERSION}")
  math(EXPR _kema_py_next "${Python3_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "python3 (>= ${_kema_py}), python3 (<< ${Python3_VERSION_MAJOR}.${_kema_py_next}), python3-numpy")
  string(APPEND CPACK_DEBIAN_PACKAGE_RECOMMENDS ", python3-dask, python3-distributed")
endif()
# Strips the programs in the package; their symbols go to kemascopia-dbgsym
# (found by build id under /usr/lib/debug), so crashes can still be read.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_STRIP_FILES OFF)
set(CPACK_POST_BUILD_SCRIPTS ${KEMA_PACKAGING_SOURCE}/dbgsym_repack.cmake)
include(CPack)

if(KEMA_BUILD_TESTS AND TARGET kema)
  # Both install from this build folder: one at a time.
  add_test(NAME install_layout
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/packaging/install_layout.sh ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/samples)
  set_tests_properties(install_layout PROPERTIES RESOURCE_LOCK kema_install TIMEOUT 120)
  # Only a hardened build with debug info makes the package and its -dbgsym.
  if(KEMA_HARDENED AND CMAKE_BUILD_TYPE STREQUAL "RelWithDebInfo")
    add_test(NAME debian_package COMMAND bash ${PROJECT_SOURCE_DIR}/tests/packaging/debian_package.sh ${PROJECT_BINARY_DIR})
    set_tests_properties(debian_package PROPERTIES RESOURCE_LOCK kema_install TIMEOUT 600 SKIP_RETURN_CODE 77)
  endif()
endif()
