# Makes the man page of one program at build time: help2man from the program's --help and
# --version when both work, else the hand-written page kept in packaging/man.
#   cmake -DHELP2MAN=... -DPROGRAM=... -DNAME=... -DSUMMARY=... -DFALLBACK=... -DOUTPUT=... -P
set(result 1)
if(HELP2MAN)
  execute_process(COMMAND ${PROGRAM} --version RESULT_VARIABLE version_result
                  OUTPUT_QUIET ERROR_QUIET TIMEOUT 20)
  execute_process(COMMAND ${PROGRAM} --help RESULT_VARIABLE help_result
                  OUTPUT_QUIET ERROR_QUIET TIMEOUT 20)
  if(version_result EQUAL 0 AND help_result EQUAL 0)
    execute_process(COMMAND ${HELP2MAN} --no-info --name=${SUMMARY} --output=${OUTPUT}.tmp
                            ${PROGRAM}
                    RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET TIMEOUT 60)
  endif()
endif()
if(result EQUAL 0 AND EXISTS ${OUTPUT}.tmp)
  file(RENAME ${OUTPUT}.tmp ${OUTPUT})
else()
  file(REMOVE ${OUTPUT}.tmp)
  configure_file(${FALLBACK} ${OUTPUT} COPYONLY)
endif()
