# The Microsoft import library of a mingw-built razezir.dll, razezir.lib, for
# hosts built with Microsoft's tools (Visual Studio, clang-cl). mingw's own
# import library, librazezir.dll.a, names the functions by their mingw names,
# which such hosts never import; razezir.lib names them by the decorated names
# the DLL exports for those hosts, the left-hand sides of the DLL's .def file.
#
# Those names alone go into razezir.def, installed beside razezir.lib so that
# a host can make the library again with its own tools (lib /def:razezir.def).
# The DLL's .def file itself cannot serve: its "decorated=mingw" lines make an
# import library of the mingw names, importing the decorated ones.
#
# llvm-dlltool or lld-link makes the library, whichever is found. Without
# either the build goes on without razezir.lib, and a ZIP is refused (see
# razezirCPackOptions.cmake).
#
# Included from CMakeLists.txt in a mingw build, after RAZEZIR_WIN_ARCH is set.

set(razezir_dll_def ${PROJECT_SOURCE_DIR}/cmake/razezir-${RAZEZIR_WIN_ARCH}.def)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY
  CMAKE_CONFIGURE_DEPENDS ${razezir_dll_def})
file(STRINGS ${razezir_dll_def} razezir_decorated REGEX "^[ \t]*\\?[^=]+=")
list(TRANSFORM razezir_decorated REPLACE "^[ \t]*(\\?[^= \t]+)[ \t]*=.*$" "  \\1")
if(NOT razezir_decorated)
  message(FATAL_ERROR "${razezir_dll_def} names no decorated exports")
endif()
find_program(RAZEZIR_LLVM_DLLTOOL NAMES llvm-dlltool
  DOC "Makes the Microsoft import library razezir.lib")
find_program(RAZEZIR_LLD_LINK NAMES lld-link
  DOC "Makes the Microsoft import library razezir.lib when llvm-dlltool is missing")
set(razezir_msvc_implib ${PROJECT_BINARY_DIR}/razezir.lib)
if(RAZEZIR_WIN_ARCH STREQUAL "x86_64")
  set(razezir_dlltool_machine i386:x86-64)
  set(razezir_lld_machine x64)
else()
  set(razezir_dlltool_machine i386)
  set(razezir_lld_machine x86)
endif()
list(JOIN razezir_decorated "\n" razezir_decorated)
# Written beside and copied only when it changed, so that configuring again
# does not make the library again. (file(CONFIGURE) would take the names'
# @...@ for variables.)
set(razezir_msvc_def ${PROJECT_BINARY_DIR}/razezir.def)
file(WRITE ${razezir_msvc_def}.new
"; The names razezir.dll exports for hosts built with Microsoft's tools, from
; which razezir.lib is made: lib /def:razezir.def /machine:${razezir_lld_machine} /out:razezir.lib
LIBRARY razezir.dll
EXPORTS
${razezir_decorated}
")
configure_file(${razezir_msvc_def}.new ${razezir_msvc_def} COPYONLY)

if(RAZEZIR_LLVM_DLLTOOL)
  set(razezir_implib_command ${RAZEZIR_LLVM_DLLTOOL} -m ${razezir_dlltool_machine}
      -d ${razezir_msvc_def} -l ${razezir_msvc_implib})
elseif(RAZEZIR_LLD_LINK)
  # With a .def file and no objects, lld-link writes only the import library.
  set(razezir_implib_command ${RAZEZIR_LLD_LINK} /nologo /machine:${razezir_lld_machine}
      /def:${razezir_msvc_def} /out:${razezir_msvc_implib})
else()
  message(WARNING "Neither llvm-dlltool nor lld-link was found: no Microsoft import "
    "library (razezir.lib) is made, so Visual Studio hosts cannot link this build's "
    "razezir.dll, and `cpack -G ZIP` refuses to package it. Install LLVM's tools "
    "(Debian: llvm or lld) and configure again.")
  set(razezir_msvc_implib "")
endif()

if(razezir_msvc_implib)
  add_custom_command(OUTPUT ${razezir_msvc_implib}
    COMMAND ${razezir_implib_command}
    DEPENDS ${razezir_msvc_def}
    COMMENT "Making the Microsoft import library razezir.lib"
    VERBATIM)
  add_custom_target(razezir_msvc_implib ALL DEPENDS ${razezir_msvc_implib})
  install(FILES ${razezir_msvc_implib}
    DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
endif()
install(FILES ${razezir_msvc_def}
  DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
# Read by razezirCPackOptions.cmake.
set(CPACK_RAZEZIR_MSVC_IMPLIB "${razezir_msvc_implib}")
