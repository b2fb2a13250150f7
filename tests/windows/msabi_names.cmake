# Reads the names an object file compiled for an MSVC target imports
# (OBJ, with the tool LLVM_NM) and writes import-library definitions for them:
# the decorated razezir names to RAZEZIR_DEF and the rest, the kernel32
# functions, to KERNEL32_DEF. Both are written only when LLVM_NM succeeds.
# Also included by check_exports_win.cmake, which only needs the names.

function(razezir_msabi_imports obj llvm_nm out_razezir out_system)
  execute_process(COMMAND ${llvm_nm} --undefined-only ${obj}
    OUTPUT_VARIABLE listing RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${llvm_nm} failed on ${obj}")
  endif()
  string(REPLACE "\n" ";" lines "${listing}")
  set(razezir "")
  set(system "")
  foreach(line IN LISTS lines)
    # "U __imp_?Trace1@QXSTD@@YAXPEBG0ZZ"; i686 stdcall names carry a
    # leading underscore and an argument size: "__imp__ExitProcess@4".
    if(line MATCHES "__imp_(\\?[^ ]+)$")
      list(APPEND razezir "${CMAKE_MATCH_1}")
    elseif(line MATCHES "__imp__?([A-Za-z0-9_]+)(@[0-9]+)?$")
      list(APPEND system "${CMAKE_MATCH_1}${CMAKE_MATCH_2}")
    endif()
  endforeach()
  list(SORT razezir)
  set(${out_razezir} "${razezir}" PARENT_SCOPE)
  set(${out_system} "${system}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  razezir_msabi_imports(${OBJ} ${LLVM_NM} razezir system)
  list(JOIN razezir "\n  " razezir_text)
  list(JOIN system "\n  " system_text)
  file(WRITE ${RAZEZIR_DEF} "LIBRARY razezir.dll\nEXPORTS\n  ${razezir_text}\n")
  file(WRITE ${KERNEL32_DEF} "LIBRARY KERNEL32.dll\nEXPORTS\n  ${system_text}\n")
endif()
