# Runs pmv-configcheck on the example, on a one-line mutation of it and on a
# missing file, and checks exit code and output of each.
# Variables: TOOL, EXAMPLE, WORK (a scratch folder).
function(expect file rc text)
  execute_process(COMMAND ${TOOL} ${file} RESULT_VARIABLE got_rc OUTPUT_VARIABLE got_out)
  if(NOT got_rc EQUAL rc OR NOT got_out STREQUAL "${text}\n")
    message(FATAL_ERROR "pmv-configcheck ${file}: exit ${got_rc}, output '${got_out}'; "
                        "expected exit ${rc}, output '${text}'")
  endif()
endfunction()

expect(${EXAMPLE} 0 "COM25: 9600 8 none 1, title \"QXM300 pump station\", 48 of 192 slots defined")

file(MAKE_DIRECTORY ${WORK})
file(READ ${EXAMPLE} content)
string(REPLACE "parity: none" "parity: mark" content "${content}")
file(WRITE ${WORK}/mark.ini "${content}")
expect(${WORK}/mark.ini 1 "ERROR: - invalid parity: field")

expect(${WORK}/missing.ini 2 "Cannot open file ${WORK}/missing.ini")
