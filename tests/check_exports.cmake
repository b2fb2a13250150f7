# Fails unless the shared library LIB exports exactly the QXSTD functions
# and runs no initialiser of its own when loaded:
# every defined dynamic symbol is a QXSTD function (besides the loader's
# _init and _fini), and every function of the public interface is there.
execute_process(COMMAND nm -D --defined-only -C ${LIB}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(found "")
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  string(REGEX REPLACE "^[0-9a-fA-F]+ [A-Za-z] " "" name "${line}")
  if(name MATCHES "^QXSTD::([A-Za-z0-9]+)\\(")
    list(APPEND found ${CMAKE_MATCH_1})
  elseif(NOT name MATCHES "^_(init|fini)$")
    message(FATAL_ERROR "unexpected exported symbol: ${line}")
  endif()
endforeach()
foreach(expected InitTrace DeinitTrace StartTrace StopTrace IsTraceStarted
        GetTraceLogFileName Trace Trace1 Trace2 Trace3 Trace4 Trace5 TraceCommon
        TraceTyped StartTraceModule StartTraceThread SetTraceThreadName UnregisterTraceThread
        ReopenTraceFiles SetTraceModuleLevel SetTraceThreadLevel GetTraceModuleLevel
        GetTraceThreadLevel SyncTraceFiles)
  list(FIND found ${expected} index)
  if(index EQUAL -1)
    message(FATAL_ERROR "missing exported function: QXSTD::${expected}")
  endif()
endforeach()
list(LENGTH found count)
message(STATUS "${count} exported functions, all in QXSTD")

# Loading the library runs nothing of its own: no dynamic initialiser of a
# namespace-scope or thread-local variable.
execute_process(COMMAND nm ${LIB} OUTPUT_VARIABLE all RESULT_VARIABLE result)
if(result EQUAL 0 AND all MATCHES "_GLOBAL__sub_I|_ZTH")
  message(FATAL_ERROR "the library has a static initialiser")
endif()
