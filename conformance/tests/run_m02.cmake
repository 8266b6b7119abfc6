# Runs m02-conformance and compares its standard output, standard error and exit status byte for
# byte with what a passing run prints. Arguments and the working directory must change nothing.
#   cmake -DM02=<path> [-DARGS=a|b] [-DSTDOUT_FILE=/dev/full] -P run_m02.cmake
# ARGS separates arguments with "|" so that a list survives being passed through add_test.
set(want_out [=[[PASS] logical barrier produces a deterministic complete state view
[PASS] mixed epochs fail closed as an explicit partial snapshot
[PASS] unsupported, missing and timed-out subjects remain distinguishable
[PASS] enabling snapshot probes leaves the logical trajectory unchanged
M-02 VERDICT: PASS
]=])
set(want_err "")
set(want_status 0)
set(redirect OUTPUT_VARIABLE out)
if(DEFINED STDOUT_FILE)
  set(redirect OUTPUT_FILE "${STDOUT_FILE}")
  set(want_out "")
  set(want_err "[FAIL] cannot write standard output\nM-02 VERDICT: FAIL\n")
  set(want_status 1)
endif()
string(REPLACE "|" ";" arguments "${ARGS}")
set(out "")
execute_process(COMMAND "${M02}" ${arguments} WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
  ${redirect} ERROR_VARIABLE err RESULT_VARIABLE status)
foreach(stream IN ITEMS out err status)
  if(NOT "${${stream}}" STREQUAL "${want_${stream}}")
    message(FATAL_ERROR "${stream} differs:\n--- got ---\n${${stream}}\n--- want ---\n${want_${stream}}")
  endif()
endforeach()
