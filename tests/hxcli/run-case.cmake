# Runs hxcli once and checks its exit code and what it printed.
# Usage: cmake -DHXCLI=<program, or an emulator and the program as a list> -DARGS=<arguments separated by |> -DCODE=<exit code>
#              [-DOUT=<regex stdout must match>] [-DERR=<regex stderr must match>]
#              [-DNOT_OUT=<regex stdout must not match>] -P run-case.cmake
string(REPLACE "|" ";" args "${ARGS}")
execute_process(COMMAND ${HXCLI} ${args} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err
                TIMEOUT 20)
set(report "hxcli ${args}\nexit ${code}\n--- stdout\n${out}--- stderr\n${err}")
if(NOT "${code}" STREQUAL "${CODE}")
  message(FATAL_ERROR "expected exit ${CODE}\n${report}")
endif()
if(DEFINED OUT AND NOT out MATCHES "${OUT}")
  message(FATAL_ERROR "stdout does not match '${OUT}'\n${report}")
endif()
if(DEFINED ERR AND NOT err MATCHES "${ERR}")
  message(FATAL_ERROR "stderr does not match '${ERR}'\n${report}")
endif()
if(DEFINED NOT_OUT AND out MATCHES "${NOT_OUT}")
  message(FATAL_ERROR "stdout matches '${NOT_OUT}'\n${report}")
endif()
