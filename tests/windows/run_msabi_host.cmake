# Runs the Microsoft-ABI host (HOST) next to a copy of the DLL in a fresh
# WORK_DIR through EMULATOR ('|'-separated), and compares the log files it
# leaves byte for byte with those in EXPECTED_DIR (msabi_main.log with
# msabi_main.expected, and so on). Only the timestamps vary from run to run:
# the banners' are replaced by "<time>" first, and in a line's prefix an ISO
# 8601 time's digits by letters, "YYYY-MM-DDThh:mm:ss.mmm+hh:mm" (the zone
# "Z" kept as it is).
#
# LOGS names the logs the host must leave, and no others: all five by
# default; the three without msabi_typed and msabi_fields for a host built
# against the 0.2.0 header, which has neither the typed entry point nor the
# calls and prefix fields added since.
cmake_minimum_required(VERSION 3.20)
if(NOT DEFINED LOGS)
  set(LOGS msabi_main msabi_module msabi_thread msabi_typed msabi_fields)
else()
  string(REPLACE "|" ";" LOGS "${LOGS}")
endif()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
file(COPY ${HOST} ${DLL} DESTINATION ${WORK_DIR})
get_filename_component(host ${HOST} NAME)
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(COMMAND ${emulator} ${host} WORKING_DIRECTORY ${WORK_DIR}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the host failed with ${result} (see its exit codes):\n${output}")
endif()

file(GLOB left RELATIVE ${WORK_DIR} ${WORK_DIR}/*.log)
foreach(log IN LISTS left)
  string(REGEX REPLACE "\\.log$" "" name "${log}")
  if(NOT name IN_LIST LOGS)
    message(FATAL_ERROR "the host left ${log}, which it should not have")
  endif()
endforeach()

# Compared as hex, because CMake's strings would lose the CRs. A banner's
# timestamp is the 28 bytes after "Started - " or "Closed - ".
string(HEX "<time>" timeHex)
string(REPEAT "[0-9a-f]" 56 timestampHex)
# An ISO time: "2026-12-10T04:12:25", then ".123" with milliseconds, then
# "Z" in UTC or the offset "+01:00". A digit's hex is "3" and a decimal digit.
set(d "3[0-9]")
string(HEX "-" dash)
string(HEX ":" colon)
string(HEX "T" tee)
string(HEX "." dot)
string(HEX "+" plus)
set(isoDateTimeHex
    "${d}${d}${d}${d}${dash}${d}${d}${dash}${d}${d}${tee}${d}${d}${colon}${d}${d}${colon}${d}${d}")
string(HEX "YYYY-MM-DDThh:mm:ss" isoShapeHex)
string(HEX ".mmm" msecShapeHex)
string(HEX "+hh:mm" offsetShapeHex)
foreach(name IN LISTS LOGS)
  set(log ${name}.log)
  if(NOT EXISTS ${WORK_DIR}/${log})
    message(FATAL_ERROR "the host left no ${log}")
  endif()
  file(READ ${WORK_DIR}/${log} actual HEX)
  foreach(word Started Closed)
    string(HEX "${word} - " head)
    string(REGEX REPLACE "(${head})${timestampHex}"
           "\\1${timeHex}" actual "${actual}")
  endforeach()
  string(REGEX REPLACE "${isoDateTimeHex}" "${isoShapeHex}" actual "${actual}")
  string(REGEX REPLACE "(${isoShapeHex})${dot}${d}${d}${d}" "\\1${msecShapeHex}"
         actual "${actual}")
  string(REGEX REPLACE
         "(${isoShapeHex}(${msecShapeHex})?)(${plus}|${dash})${d}${d}${colon}${d}${d}"
         "\\1${offsetShapeHex}" actual "${actual}")
  file(READ ${EXPECTED_DIR}/${name}.expected expected HEX)
  if(NOT actual STREQUAL expected)
    file(READ ${WORK_DIR}/${log} text)
    message(FATAL_ERROR "${log} differs from ${EXPECTED_DIR}/${name}.expected:\n${text}")
  endif()
endforeach()
message(STATUS "the Microsoft-ABI host ran and left the expected logs")
