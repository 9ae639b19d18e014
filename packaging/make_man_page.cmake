# Makes the man page of one program at build time: help2man from the program's --help and
# --version when both work, else the hand-written page kept in packaging/man. With -DGZIP=...
# the page is also compressed as Debian installs man pages (OUTPUT.gz: gzip -9n, no name or
# time inside, so that the same page always gives the same bytes).
#   cmake -DHELP2MAN=... -DGZIP=... -DPROGRAM=... -DNAME=... -DSUMMARY=... -DFALLBACK=...
#         -DOUTPUT=... -P
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
if(GZIP)
  execute_process(COMMAND ${GZIP} -9n -c ${OUTPUT} OUTPUT_FILE ${OUTPUT}.gz
                  RESULT_VARIABLE gzip_result)
  if(NOT gzip_result EQUAL 0)
    message(FATAL_ERROR "gzip ${OUTPUT}: ${gzip_result}")
  endif()
endif()
