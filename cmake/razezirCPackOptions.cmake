# Read by cpack for each generator. A Debian package must install under /usr:
# the paths in razezir.pc and the multiarch library directory come from the
# install prefix the build was configured with.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "Debian packages need a build configured with "
    "-DCMAKE_INSTALL_PREFIX=/usr (this one has ${CPACK_PACKAGING_INSTALL_PREFIX})")
endif()
