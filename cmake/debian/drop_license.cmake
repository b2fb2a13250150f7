# Run by cpack for the DEB generator (CPACK_PRE_BUILD_SCRIPTS), after the
# components are staged and before the packages are made from them. A Debian
# package carries its licence as /usr/share/doc/<package>/copyright; the
# LICENSE that the Development component installs for `cmake --install`
# would be a second copy there (lintian: extra-license-file), so it is taken
# out, with its directory when nothing else is in it.
set(found OFF)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  set(dir "${CPACK_TEMPORARY_DIRECTORY}/${component}${CPACK_RAZEZIR_LICENSE_DIR}")
  if(NOT EXISTS "${dir}/LICENSE")
    continue()
  endif()
  set(found ON)
  file(REMOVE "${dir}/LICENSE")
  file(GLOB left "${dir}/*")
  if(NOT left)
    file(REMOVE_RECURSE "${dir}")
  endif()
endforeach()
# Found nowhere, the install rule and CPACK_RAZEZIR_LICENSE_DIR disagree, and
# the copy this script is for would stay in a package unnoticed.
if(NOT found)
  message(FATAL_ERROR "No staged LICENSE in ${CPACK_RAZEZIR_LICENSE_DIR} of any of "
    "${CPACK_COMPONENTS_ALL} under ${CPACK_TEMPORARY_DIRECTORY}")
endif()
