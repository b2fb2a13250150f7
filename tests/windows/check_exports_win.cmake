# Fails unless razezir.dll (DLL, for ARCH i686 or x86_64) exports exactly
# the QXSTD functions, each under its mingw name and under the name a host
# built with Microsoft's compiler imports, both names at one address, and
# imports only from DLLs every Windows has.
#
# The decorated names are not taken from a list: the Microsoft-ABI host
# (HOST_SOURCE), which calls every function of the public header (INCLUDE_DIR),
# is compiled with clang for the MSVC target and its imports are read with
# LLVM_NM; it must import each function of the interface. The host is also
# compiled against the 0.2.0 header (OLD_INCLUDE_DIR, by default
# release-0.2.0 beside this script), and every name it imports must be
# exported too. The export and import tables are read with OBJDUMP -p.
#
#   cmake -DDLL=... -DARCH=x86_64 -DOBJDUMP=objdump -DCLANG=clang++
#         -DLLVM_NM=llvm-nm -DHOST_SOURCE=tests/windows/msabi_host.cc
#         -DINCLUDE_DIR=include -DWORK_DIR=... -P check_exports_win.cmake

cmake_minimum_required(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/msabi_names.cmake)
if(NOT DEFINED OLD_INCLUDE_DIR)
  set(OLD_INCLUDE_DIR ${CMAKE_CURRENT_LIST_DIR}/release-0.2.0)
endif()

function(fail text)
  message(FATAL_ERROR "${DLL}: ${text}")
endfunction()

# What clang makes of the public declarations for the MSVC target: the
# decorated names the host compiled against `include` imports.
file(MAKE_DIRECTORY ${WORK_DIR})
function(host_imports include obj out)
  execute_process(COMMAND ${CLANG} --target=${ARCH}-pc-windows-msvc -std=c++17
                          -I${include} -c ${HOST_SOURCE} -o ${obj}
    RESULT_VARIABLE result ERROR_VARIABLE errors)
  if(NOT result EQUAL 0)
    fail("clang could not compile ${HOST_SOURCE} against ${include}: ${errors}")
  endif()
  razezir_msabi_imports(${obj} ${LLVM_NM} names systemNames)
  if(names STREQUAL "")
    fail("no decorated names found in ${obj}")
  endif()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()
host_imports(${INCLUDE_DIR} ${WORK_DIR}/msabi_names_${ARCH}.obj msNames)
list(LENGTH msNames msCount)

# The host imports every function of the interface, so that each is checked.
foreach(function InitTrace DeinitTrace StartTrace StopTrace IsTraceStarted
        GetTraceLogFileName Trace Trace1 Trace2 Trace3 Trace4 Trace5 TraceCommon
        TraceTyped StartTraceModule StartTraceThread SetTraceThreadName
        UnregisterTraceThread ReopenTraceFiles SetTraceModuleLevel SetTraceThreadLevel
        GetTraceModuleLevel GetTraceThreadLevel SyncTraceFiles)
  if(NOT msNames MATCHES "(^|;)\\?${function}@QXSTD@@")
    fail("${HOST_SOURCE} does not call QXSTD::${function}")
  endif()
endforeach()

# The DLL's tables: "[   3] +base[   4] 6220 Export RVA" gives the address
# of each ordinal, "[   3] ?InitTrace@QXSTD@@YAXXZ" the name of one.
execute_process(COMMAND ${OBJDUMP} -p ${DLL}
  OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  fail("${OBJDUMP} -p failed")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(exported "")
set(imports "")
set(inNames FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "^[\t ]*DLL Name: (.+)$")
    list(APPEND imports "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^[\t ]*\\[ *([0-9]+)\\] \\+base\\[ *[0-9]+\\] +([0-9a-fA-F]+) Export RVA")
    set(rva_${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
  elseif(line MATCHES "Ordinal/Name Pointer\\] Table")
    set(inNames TRUE)
  elseif(inNames AND line MATCHES "^[\t ]*\\[ *([0-9]+)\\] ([^ ]+)$")
    list(APPEND exported "${CMAKE_MATCH_2}")
    set(address_${CMAKE_MATCH_2} "${rva_${CMAKE_MATCH_1}}")
  elseif(inNames AND line STREQUAL "")
    set(inNames FALSE)
  endif()
endforeach()

# Every decorated name a Microsoft-built host imports is exported, and so
# is every name that a host built against the 0.2.0 header imports.
foreach(name IN LISTS msNames)
  if(NOT name IN_LIST exported)
    fail("missing export ${name}")
  endif()
endforeach()
host_imports(${OLD_INCLUDE_DIR} ${WORK_DIR}/msabi_names_0.2.0_${ARCH}.obj oldNames)
foreach(name IN LISTS oldNames)
  if(NOT name IN_LIST exported)
    fail("missing export ${name}, which a host built against ${OLD_INCLUDE_DIR} imports")
  endif()
endforeach()

# Every export is a QXSTD function: a decorated one the host imports, or a
# mingw name whose function is exported decorated at the same address.
set(gnuCount 0)
foreach(name IN LISTS exported)
  if(name IN_LIST msNames)
    continue()
  endif()
  if(NOT name MATCHES "^_ZN5QXSTD([0-9]+)([A-Za-z0-9]+)E")
    fail("unexpected export ${name}")
  endif()
  string(SUBSTRING "${CMAKE_MATCH_2}" 0 ${CMAKE_MATCH_1} function)
  set(twin "")
  foreach(msName IN LISTS msNames)
    if(msName MATCHES "^\\?${function}@QXSTD@@")
      set(twin ${msName})
    endif()
  endforeach()
  if(twin STREQUAL "")
    fail("${name} has no Microsoft-decorated export (is ${function} missing from the host?)")
  endif()
  if(NOT address_${name} STREQUAL address_${twin} OR address_${name} STREQUAL "")
    fail("${name} and ${twin} are not the same function")
  endif()
  math(EXPR gnuCount "${gnuCount} + 1")
endforeach()
if(NOT gnuCount EQUAL msCount)
  fail("${msCount} decorated exports but ${gnuCount} mingw ones")
endif()

# Only DLLs that every Windows has: no libgcc, libstdc++ or winpthread.
foreach(import IN LISTS imports)
  string(TOLOWER "${import}" lower)
  if(NOT lower MATCHES "^(kernel32|msvcrt|ucrtbase)\\.dll$" AND
     NOT lower MATCHES "^api-ms-win-.*\\.dll$")
    fail("imports from ${import}")
  endif()
endforeach()

list(JOIN exported "\n  " exportText)
list(JOIN imports ", " importText)
message(STATUS "${DLL} (${ARCH}) imports from ${importText} and exports:\n  ${exportText}")
