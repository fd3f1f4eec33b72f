# Run by cpack after the packages are made. CPack lists the -dbgsym files
# in md5sums under the absolute staging path (so `dpkg --verify` and debsums
# report them missing) and gives the package no documents. Rebuild it with
# md5sums relative to the root and /usr/share/doc/<name>-dbgsym pointing to
# the documents of the package it depends on, as Debian's own -dbgsym do.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "-dbgsym_[^/]*\\.ddeb$")
    continue()
  endif()
  set(root "${package}.d")
  file(REMOVE_RECURSE "${root}")
  execute_process(COMMAND dpkg-deb --raw-extract "${package}" "${root}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb could not open ${package}")
  endif()

  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${root}" "${root}/usr/*")
  list(SORT files)
  # Data, not programs.
  list(TRANSFORM files PREPEND "${root}/" OUTPUT_VARIABLE paths)
  file(CHMOD ${paths} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  set(sums "")
  foreach(f IN LISTS files)
    file(MD5 "${root}/${f}" sum)
    string(APPEND sums "${sum}  ${f}\n")
  endforeach()
  file(WRITE "${root}/DEBIAN/md5sums" "${sums}")

  file(MAKE_DIRECTORY "${root}/usr/share/doc")
  file(CREATE_LINK "${CPACK_PACKAGE_NAME}" "${root}/usr/share/doc/${CPACK_PACKAGE_NAME}-dbgsym" SYMBOLIC)

  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build "${root}" "${package}"
    OUTPUT_QUIET RESULT_VARIABLE rc)
  file(REMOVE_RECURSE "${root}")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb could not rebuild ${package}")
  endif()
endforeach()
