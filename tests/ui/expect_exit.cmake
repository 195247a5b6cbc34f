# Why this exists: ctest checks either a program's exit status or its output,
# never both, and WILL_FAIL passes a crash too. This runs PROGRAM with ARGS
# (separated by "|") and fails unless it ends within TIMEOUT_S seconds with
# exactly STATUS, its stderr matches STDERR_REGEX (and its stdout
# STDOUT_REGEX, when given), and no sanitizer spoke (AddressSanitizer and
# UBSan end with status 1 too, like our fatal paths).
#
#   cmake -DPROGRAM=... -DARGS=a|b -DSTATUS=1 -DSTDERR_REGEX=... [-DSTDOUT_REGEX=...] -DTIMEOUT_S=60 -P expect_exit.cmake
foreach(required PROGRAM STATUS STDERR_REGEX TIMEOUT_S)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "expect_exit.cmake: ${required} is not set")
  endif()
endforeach()
string(REPLACE "|" ";" arguments "${ARGS}")

execute_process(
  COMMAND "${PROGRAM}" ${arguments}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err
  TIMEOUT ${TIMEOUT_S})

message(STATUS "stdout of ${PROGRAM}:\n${out}")
message(STATUS "stderr of ${PROGRAM}:\n${err}")
if(err MATCHES "ERROR: (Address|Leak)Sanitizer|runtime error:")
  message(FATAL_ERROR "a sanitizer reported a fault (above)")
endif()
if(NOT status STREQUAL STATUS)
  message(FATAL_ERROR "ended with \"${status}\", expected status ${STATUS}")
endif()
if(NOT err MATCHES "${STDERR_REGEX}")
  message(FATAL_ERROR "stderr does not match: ${STDERR_REGEX}")
endif()
if(DEFINED STDOUT_REGEX AND NOT out MATCHES "${STDOUT_REGEX}")
  message(FATAL_ERROR "stdout does not match: ${STDOUT_REGEX}")
endif()
