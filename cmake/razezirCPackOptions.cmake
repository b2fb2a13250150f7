# Read by cpack for each generator. A Debian package must install under /usr:
# the paths in razezir.pc and the multiarch library directory come from the
# install prefix the build was configured with.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "Debian packages need a build configured with "
    "-DCMAKE_INSTALL_PREFIX=/usr (this one has ${CPACK_PACKAGING_INSTALL_PREFIX})")
endif()
# A Debian package's licence is its copyright file alone.
if(CPACK_GENERATOR STREQUAL "DEB")
  list(APPEND CPACK_PRE_BUILD_SCRIPTS "${CPACK_RAZEZIR_DROP_LICENSE}")
endif()
# A Windows ZIP serves hosts built with Microsoft's tools only with
# razezir.lib, which a mingw build makes with LLVM's tools when it finds them.
if(CPACK_GENERATOR STREQUAL "ZIP" AND DEFINED CPACK_RAZEZIR_MSVC_IMPLIB AND
   NOT CPACK_RAZEZIR_MSVC_IMPLIB)
  message(FATAL_ERROR "The Windows ZIP needs the Microsoft import library "
    "razezir.lib, but neither llvm-dlltool nor lld-link was found when this build "
    "was configured. Install LLVM's tools (Debian: llvm or lld) and configure again.")
endif()
