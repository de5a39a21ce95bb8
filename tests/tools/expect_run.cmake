# Runs one program and checks its exit status and what it printed.
#   cmake -DCOMMAND=<program;args> -DEXPECTED_EXIT=<n> -DEXPECTED_OUTPUT=<regex> -P expect_run.cmake
execute_process(COMMAND ${COMMAND}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err
  INPUT_FILE /dev/null
  TIMEOUT 120)
message("${out}${err}")
if(NOT status STREQUAL "${EXPECTED_EXIT}")
  message(FATAL_ERROR "exit status ${status}, expected ${EXPECTED_EXIT}")
endif()
if(NOT "${out}${err}" MATCHES "${EXPECTED_OUTPUT}")
  message(FATAL_ERROR "output does not match '${EXPECTED_OUTPUT}'")
endif()
