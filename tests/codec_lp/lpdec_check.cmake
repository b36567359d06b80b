# Runs lpdec --standard on IN and compares its output with REF byte for byte.
execute_process(COMMAND ${LPDEC} --standard ${IN} ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "lpdec failed: ${rc}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT} ${REF} RESULT_VARIABLE same)
if(NOT same EQUAL 0)
  message(FATAL_ERROR "lpdec output differs from ${REF}")
endif()
