# Compiles SOURCE (syntax only) with COMPILER as C++ standard STD, with the
# public headers of INCLUDE_DIR. With EXPECT_ERROR on, passes when the
# compile fails and its messages match every regular expression that SOURCE
# lists on a `// EXPECT: ` line, so that a source failing for another reason
# does not pass, and hold exactly N errors when SOURCE has an `// ERRORS: N`
# line, so that a message meant to be read alone comes alone; otherwise
# passes when the compile succeeds. A `// EXPECT IN N LINES: ` line is a
# regular expression that the first N lines of the messages must match: what
# a reader needs must come before the rest of the compiler's backtrace.
# (file(STRINGS) splits a line at each ';', so patterns write '.' for one.) DEFINES is a list of macros to define,
# joined with commas; FLAGS, joined the same way, goes to the compiler
# before the rest (a --target=..., say).
foreach(var COMPILER STD INCLUDE_DIR SOURCE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "expect_compile.cmake needs -D${var}=...")
  endif()
endforeach()
string(REPLACE "," ";" args "${FLAGS}")
list(APPEND args -std=c++${STD} -fsyntax-only -Wall -Wextra -Werror -I${INCLUDE_DIR})
if(DEFINES)
  string(REPLACE "," ";" defines "${DEFINES}")
  foreach(define IN LISTS defines)
    list(APPEND args -D${define})
  endforeach()
endif()
# Untranslated messages: the errors are counted by the word "error".
set(ENV{LC_ALL} C)
execute_process(COMMAND ${COMPILER} ${args} ${SOURCE}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)

if(NOT EXPECT_ERROR)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${SOURCE} should compile:\n${output}")
  endif()
  return()
endif()
if(result EQUAL 0)
  message(FATAL_ERROR "${SOURCE} compiled, but its call is wrong")
endif()
file(STRINGS ${SOURCE} expectations REGEX "^// EXPECT: ")
file(STRINGS ${SOURCE} early REGEX "^// EXPECT IN [0-9]+ LINES: ")
if(NOT expectations AND NOT early)
  message(FATAL_ERROR "${SOURCE} has no // EXPECT: lines")
endif()
foreach(line IN LISTS expectations)
  string(REGEX REPLACE "^// EXPECT: " "" pattern "${line}")
  if(NOT output MATCHES "${pattern}")
    message(FATAL_ERROR
      "The compiler's message lacks /${pattern}/:\n${output}")
  endif()
endforeach()
foreach(line IN LISTS early)
  string(REGEX REPLACE "^// EXPECT IN ([0-9]+) LINES: .*" "\\1" nLines "${line}")
  string(REGEX REPLACE "^// EXPECT IN [0-9]+ LINES: " "" pattern "${line}")
  # The first nLines lines of the output, cut at their line ends.
  set(head "")
  set(rest "${output}")
  foreach(i RANGE 1 ${nLines})
    string(FIND "${rest}" "\n" at)
    if(at EQUAL -1)
      string(APPEND head "${rest}")
      break()
    endif()
    math(EXPR next "${at} + 1")
    string(SUBSTRING "${rest}" 0 ${next} first)
    string(APPEND head "${first}")
    string(SUBSTRING "${rest}" ${next} -1 rest)
  endforeach()
  if(NOT head MATCHES "${pattern}")
    message(FATAL_ERROR
      "The first ${nLines} lines of the compiler's message lack /${pattern}/:\n${output}")
  endif()
endforeach()
file(STRINGS ${SOURCE} counts REGEX "^// ERRORS: [0-9]+$")
if(counts)
  string(REGEX REPLACE "^// ERRORS: " "" expected "${counts}")
  # g++ and clang mark every error, and every warning that -Werror turns
  # into one, with "error:".
  string(REGEX MATCHALL "error:" errors "${output}")
  list(LENGTH errors found)
  if(NOT found EQUAL expected)
    message(FATAL_ERROR
      "The compiler reported ${found} errors, not ${expected}:\n${output}")
  endif()
endif()
