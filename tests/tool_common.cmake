# What the tool's script tests share: running the kvx tool and checking what
# it printed.  RUN_DIR (the working folder) and RUN_INPUT (a file for stdin)
# may be set before calling run().
function(run expect_rc)
  set(options "")
  if(DEFINED RUN_DIR)
    list(APPEND options WORKING_DIRECTORY ${RUN_DIR})
  endif()
  if(DEFINED RUN_INPUT)
    list(APPEND options INPUT_FILE ${RUN_INPUT})
  endif()
  execute_process(COMMAND ${KVX} ${ARGN} ${options} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL expect_rc)
    message(FATAL_ERROR "kvx ${ARGN}: exit ${rc}, wanted ${expect_rc}\n${out}${err}")
  endif()
  set(out "${out}${err}" PARENT_SCOPE)
endfunction()

function(expect pattern)
  if(NOT out MATCHES "${pattern}")
    message(FATAL_ERROR "expected '${pattern}' in:\n${out}")
  endif()
endfunction()

# Has espeak-ng speak TEXT in VOICE into PATH; stops the script with a
# SKIP line where espeak-ng is not installed.
macro(speak voice text path)
  find_program(ESPEAK espeak-ng)
  if(NOT ESPEAK)
    message("SKIP: espeak-ng is not installed: no speech to work with")
    return()
  endif()
  execute_process(COMMAND ${ESPEAK} -v ${voice} -w ${path} "${text}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "espeak-ng failed")
  endif()
endmacro()

# Milliseconds of a canonical 16-bit mono WAV file (sample rate at byte 24,
# data size at byte 40, both little-endian).
function(wav_ms path var)
  foreach(field 24 40)
    file(READ ${path} hex OFFSET ${field} LIMIT 4 HEX)
    string(REGEX REPLACE "(..)(..)(..)(..)" "\\4\\3\\2\\1" hex ${hex})
    math(EXPR value_${field} "0x${hex}")
  endforeach()
  math(EXPR ms "${value_40} * 500 / ${value_24}")
  set(${var} ${ms} PARENT_SCOPE)
endfunction()
