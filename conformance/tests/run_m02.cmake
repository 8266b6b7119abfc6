# Runs m02-conformance and compares its standard output, standard error and exit status byte for
# byte with what a passing run prints. Arguments and the working directory must change nothing.
#   cmake -DM02=<path> [-DARGS=a|b] [-DSTDOUT_FILE=/dev/full] -P run_m02.cmake
# ARGS separates arguments with "|" so that a list survives being passed through add_test.
set(pass_out [=[[PASS] logical barrier produces a deterministic complete state view
[PASS] mixed epochs fail closed as an explicit partial snapshot
[PASS] unsupported, missing and timed-out subjects remain distinguishable
[PASS] enabling snapshot probes leaves the logical trajectory unchanged
M-02 VERDICT: PASS
]=])

string(REPLACE "|" ";" arguments "${ARGS}")

set(redirect)
if(DEFINED STDOUT_FILE)
  set(redirect OUTPUT_FILE "${STDOUT_FILE}")
  set(want_out "")
  set(want_err "[FAIL] cannot write standard output\nM-02 VERDICT: FAIL\n")
  set(want_status 1)
else()
  set(redirect OUTPUT_VARIABLE out)
  set(want_out "${pass_out}")
  set(want_err "")
  set(want_status 0)
endif()

execute_process(
  COMMAND "${M02}" ${arguments}
  WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
  ${redirect}
  ERROR_VARIABLE err
  RESULT_VARIABLE status)

if(NOT DEFINED out)
  set(out "")
endif()
if(NOT out STREQUAL want_out)
  message(FATAL_ERROR "standard output differs:\n--- got ---\n${out}--- want ---\n${want_out}")
endif()
if(NOT err STREQUAL want_err)
  message(FATAL_ERROR "standard error differs:\n--- got ---\n${err}--- want ---\n${want_err}")
endif()
if(NOT status STREQUAL want_status)
  message(FATAL_ERROR "exit status ${status}, want ${want_status}")
endif()
