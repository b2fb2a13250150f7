# Compiles SOURCE (syntax only) with COMPILER as C++ standard STD, with the
# public headers of INCLUDE_DIR. With EXPECT_ERROR on, passes when the
# compile fails and its messages match every regular expression that SOURCE
# lists on a `// EXPECT: ` line, so that a source failing for another reason
# does not pass, and hold exactly N errors when SOURCE has an `// ERRORS: N`
# line, so that a message meant to be read alone comes alone; otherwise
# passes when the compile succeeds. DEFINES is a list of macros to define,
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
if(NOT expectations)
  message(FATAL_ERROR "${SOURCE} has no // EXPECT: lines")
endif()
foreach(line IN LISTS expectations)
  string(REGEX REPLACE "^// EXPECT: " "" pattern "${line}")
  if(NOT output MATCHES "${pattern}")
    message(FATAL_ERROR
      "The compiler's message lacks /${pattern}/:\n${output}")
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
