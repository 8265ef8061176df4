# Runs the launcher on PROGRAM with ARGUMENT under Wine and checks how the run ended: the
# exit code EXIT_CODE and the one line on the error output "handheld stand-in: " LINE (a
# regular expression). Wine needs the environment's WINEPREFIX and DISPLAY.
execute_process(COMMAND ${WINE} ${LAUNCHER} ${PROGRAM} ${ARGUMENT}
    RESULT_VARIABLE code ERROR_VARIABLE said OUTPUT_QUIET TIMEOUT 60)
string(REPLACE "\r" "" said "${said}")
if(NOT code STREQUAL EXIT_CODE OR NOT said MATCHES "^handheld stand-in: ${LINE}\n$")
    message(FATAL_ERROR "expected exit code ${EXIT_CODE} and the line\n  ${LINE}\n"
        "got exit code ${code} and\n${said}")
endif()
