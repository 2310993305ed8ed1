# Runs tarvik-sim with the arguments in ARGS (separated by |) and checks its exit
# status (EXIT) and, when given, that its output matches OUTPUT (a regex).
# With SPOOL and SOURCE set, also that the printer received SOURCE exactly.
string(REPLACE "|" ";" ARGS "${ARGS}")
execute_process(COMMAND ${TOOL} ${ARGS}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err
                WORKING_DIRECTORY ${WORKDIR})
if(NOT status EQUAL EXIT)
  message(FATAL_ERROR "exit status ${status}, expected ${EXIT}\n--- stdout\n${out}\n--- stderr\n${err}")
endif()
if(DEFINED OUTPUT AND NOT "${out}${err}" MATCHES "${OUTPUT}")
  message(FATAL_ERROR "output does not match '${OUTPUT}'\n--- stdout\n${out}\n--- stderr\n${err}")
endif()
if(DEFINED SPOOL)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${SOURCE} ${SPOOL} RESULT_VARIABLE differ)
  if(differ)
    message(FATAL_ERROR "${SPOOL} differs from ${SOURCE}")
  endif()
endif()
