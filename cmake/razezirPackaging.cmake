# Binary packages with CPack. On Linux `cpack -G DEB` in a build configured
# with CMAKE_INSTALL_PREFIX=/usr makes three Debian packages: librazezir<SOVERSION>
# with the shared library, librazezir-dev with the header, the .so link,
# the CMake package and razezir.pc, and razezir-logtools with the lnav
# format and the rsyslog configurations. A Windows build makes a ZIP with
# the DLL, its import library, the header, the same development files, the
# lnav format and rsyslog configurations, and LICENSE at its top.

set(RAZEZIR_PACKAGE_MAINTAINER "razezir maintainers <maintainers@razezir.example>"
    CACHE STRING "Maintainer named in the binary packages")
set(RAZEZIR_PACKAGE_RELEASE 1 CACHE STRING
    "Debian revision of the packages (the part after the upstream version)")

set(CPACK_PACKAGE_NAME razezir)
set(CPACK_PACKAGE_VENDOR "razezir")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${RAZEZIR_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/razezirCPackOptions.cmake)

if(WIN32)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "process-wide diagnostic trace library")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_COMPONENTS_ALL Runtime Development LogTools)
  set(CPACK_PACKAGE_FILE_NAME "razezir-${PROJECT_VERSION}-windows-${CMAKE_SYSTEM_PROCESSOR}")
  include(CPack)
  return()
endif()

set(razezir_runtime_package librazezir${PROJECT_VERSION_MAJOR})
set(razezir_deb_version ${PROJECT_VERSION}-${RAZEZIR_PACKAGE_RELEASE})
# Debian descriptions: a synopsis line, then the long description, its
# paragraphs parted by an empty line (CPack indents it as Debian wants).
set(razezir_long_description
"razezir is a process-wide diagnostic trace library. Hosts call free
functions in namespace QXSTD to write leveled, printf-style messages with
16-bit wide format strings to a main log file, to per-module and
per-thread target files, or to standard output. Every line is written with
one write and flushed before the call returns.
")

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Runtime Development LogTools)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${RAZEZIR_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${RAZEZIR_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${razezir_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "process-wide diagnostic trace library\n${razezir_long_description}\nThis package holds the shared library.")
# dpkg-shlibdeps works out the C and C++ runtime dependencies, and the shlibs
# file lets packages built against this one depend on it in turn.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# dpkg runs ldconfig once for all packages through this trigger. Control
# files get the mode Debian asks for (0644), not the mode the checkout gave
# the file: a umask of 002 would otherwise make lintian fail the package.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME librazezir-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "${razezir_runtime_package} (= ${razezir_deb_version})")
# A developer reads the logs of the host being built: apt installs the lnav
# format with the headers unless asked not to.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_RECOMMENDS razezir-logtools)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "process-wide diagnostic trace library - development files\n${razezir_long_description}\nThis package holds the header, the CMake package and the pkg-config file.")

# The lnav format and the rsyslog configurations: text that serves every
# architecture and every version of the library, wanted where hosts run or
# where their logs are only collected and read. So a package of its own,
# architecture-independent, not named after the SONAME and depending on
# neither the library nor its headers; in the runtime package it would
# clash with the next SONAME's, which installs the same files.
set(CPACK_DEBIAN_LOGTOOLS_PACKAGE_NAME razezir-logtools)
set(CPACK_DEBIAN_LOGTOOLS_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_LOGTOOLS_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_LOGTOOLS_PACKAGE_SUGGESTS "lnav, rsyslog, rsyslog-relp")
# The files were librazezir-dev's before this package took them over.
set(CPACK_DEBIAN_LOGTOOLS_PACKAGE_BREAKS "librazezir-dev (<< ${razezir_deb_version})")
set(CPACK_DEBIAN_LOGTOOLS_PACKAGE_REPLACES "librazezir-dev (<< ${razezir_deb_version})")
set(CPACK_DEBIAN_LOGTOOLS_DESCRIPTION
    "lnav format and rsyslog forwarding for razezir trace logs\n${razezir_long_description}\nThis package holds a log format that lets lnav read the logs, and rsyslog\nconfigurations that send them over RELP to a central machine, which\nwrites them back as the hosts wrote them. It needs neither the library\nnor its headers.")

# Each package carries its copyright file (the licence, in Debian's
# machine-readable form) and a compressed changelog, as Debian asks. They go
# into the packages only: a plain `cmake --install` skips them.
string(TIMESTAMP RAZEZIR_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(RAZEZIR_DEB_VERSION ${razezir_deb_version})
find_program(RAZEZIR_GZIP gzip REQUIRED)
foreach(component ${CPACK_COMPONENTS_ALL})
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(RAZEZIR_DEB_PACKAGE ${package})
  set(doc ${PROJECT_BINARY_DIR}/debian/${package})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in
                 ${doc}/changelog.Debian @ONLY)
  execute_process(COMMAND ${RAZEZIR_GZIP} -9nf ${doc}/changelog.Debian)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
                ${doc}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

# The LICENSE that the Development component installs stays out of the
# Debian packages, whose copyright files are their licence: the script named
# here takes it out of the staged files (razezirCPackOptions.cmake runs it for
# DEB only).
cmake_path(ABSOLUTE_PATH razezir_license_dir BASE_DIRECTORY ${CMAKE_INSTALL_PREFIX}
           OUTPUT_VARIABLE CPACK_RAZEZIR_LICENSE_DIR)
set(CPACK_RAZEZIR_DROP_LICENSE ${PROJECT_SOURCE_DIR}/cmake/debian/drop_license.cmake)

include(CPack)
