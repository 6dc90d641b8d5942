# Runs pmv-configcheck on the example, on a one-line mutation of it, on a
# missing file and with its options, and checks exit code, standard output and
# standard error of each.
# Variables: TOOL, EXAMPLE, WORK (a scratch folder).

# expect(<exit code> <stdout> <stderr> ARGS...): both outputs exactly.
function(expect rc out err)
  execute_process(COMMAND ${TOOL} ${ARGN} RESULT_VARIABLE got_rc OUTPUT_VARIABLE got_out
                  ERROR_VARIABLE got_err)
  if(NOT got_rc EQUAL rc OR NOT got_out STREQUAL "${out}" OR NOT got_err STREQUAL "${err}")
    message(FATAL_ERROR "pmv-configcheck ${ARGN}: exit ${got_rc}, stdout '${got_out}', "
                        "stderr '${got_err}'; expected exit ${rc}, stdout '${out}', "
                        "stderr '${err}'")
  endif()
endfunction()

set(summary "COM25: 9600 8 none 1, title \"QXM300 pump station\", 48 of 192 slots defined\n")
expect(0 "${summary}" "" ${EXAMPLE})
expect(0 "${summary}" "" -- ${EXAMPLE})

file(MAKE_DIRECTORY ${WORK})
file(READ ${EXAMPLE} content)
string(REPLACE "parity: none" "parity: mark" content "${content}")
file(WRITE ${WORK}/mark.ini "${content}")
expect(1 "" "ERROR: - invalid parity: field\n" ${WORK}/mark.ini)

# An 8-bit title (the byte 0xDF, sharp s) is printed in UTF-8.
string(ASCII 223 sharp_s)
file(READ ${EXAMPLE} content)
string(REPLACE "title: QXM300 pump station" "title: Stra${sharp_s}e" content "${content}")
file(WRITE ${WORK}/latin1.ini "${content}")
expect(0 "COM25: 9600 8 none 1, title \"Straße\", 48 of 192 slots defined\n" "" ${WORK}/latin1.ini)

expect(2 "" "Cannot open file ${WORK}/missing.ini\n" ${WORK}/missing.ini)
expect(2 "" "Cannot open file --help\n" -- --help)

expect(0 "pmv-configcheck 1.8\n" "" --version)
set(try "Try 'pmv-configcheck --help' for more information.\n")
expect(2 "" "pmv-configcheck: no FILE given\n${try}")
expect(2 "" "pmv-configcheck: unknown option '--frobnicate'\n${try}" --frobnicate ${EXAMPLE})
expect(2 "" "pmv-configcheck: more than one FILE ('${EXAMPLE}')\n${try}" ${EXAMPLE} ${EXAMPLE})

# The help lists the exit codes.
execute_process(COMMAND ${TOOL} --help RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT err STREQUAL "" OR NOT out MATCHES "^Usage: pmv-configcheck "
   OR NOT out MATCHES "Exit status:\n  0  [^\n]+\n  1  [^\n]+\n  2  [^\n]+\n$")
  message(FATAL_ERROR "pmv-configcheck --help: exit ${rc}, stdout '${out}', stderr '${err}'")
endif()
