# kvx record with its capture read from a sentence spoken by espeak-ng
# (skipped without it; this machine has no sound card): up to the end of the
# sentence, and cut short by SIGINT, each a committed file that decodes to
# as long as was fed; without a capture device, a message and exit 1 with
# nothing written.
set(dir ${WORK}/tool_record)
file(REMOVE_RECURSE ${dir})
file(MAKE_DIRECTORY ${dir})
find_program(ESPEAK espeak-ng)
find_program(TIMEOUT timeout)
if(NOT ESPEAK OR NOT TIMEOUT)
  message("SKIP: espeak-ng or timeout is not installed: nothing to record")
  return()
endif()
execute_process(COMMAND ${ESPEAK} -v en+m3 -w ${dir}/speech.wav "Send the figures to the office on Monday morning."
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "espeak-ng failed")
endif()

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
wav_ms(${dir}/speech.wav in_ms)

# name: the file; stop: seconds before SIGINT, or 0 to run to the end;
# low/high: the decoded length that passes, in ms.
function(record name stop low high)
  set(cmd ${KVX} record -o ${dir}/${name}.kvx)
  if(NOT stop EQUAL 0)
    # timeout signals its whole process group: kvx alone inside it.
    set(cmd ${TIMEOUT} --preserve-status -s INT ${stop} ${cmd})
  endif()
  set(cmd ${CMAKE_COMMAND} -E env KVX_RECORD_SOURCE=${dir}/speech.wav ${cmd})
  execute_process(COMMAND ${cmd} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "record ${name}: ${rc} ${out} ${err}")
  endif()
  execute_process(COMMAND ${KVX} decode ${dir}/${name}.kvx -o ${dir}/${name}.wav RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "decode ${name}: ${rc}")
  endif()
  wav_ms(${dir}/${name}.wav ms)
  if(ms LESS low OR ms GREATER high)
    message(FATAL_ERROR "${name}: decodes to ${ms} ms, wanted ${low} to ${high}")
  endif()
endfunction()

# To the end: the sentence, the last frame filled up with silence.
math(EXPR high "${in_ms} + 25")
record(whole 0 ${in_ms} ${high})
# SIGINT after 1.5 s of a sentence longer than that: what was spoken by
# then (a start-up's worth less, a 100 ms read and a frame more).
if(in_ms LESS 2000)
  message(FATAL_ERROR "the sentence lasts ${in_ms} ms, too short to be cut")
endif()
record(cut 1.5 1100 1650)

# No capture device: said, exit 1, no file.
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=KVX_RECORD_SOURCE KVX_ALSA_DEVICE=nonexistent
  ${KVX} record -o ${dir}/none.kvx RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 1 OR NOT err MATCHES "no capture device opens \\(ALSA device 'nonexistent'\\)"
   OR EXISTS ${dir}/none.kvx)
  message(FATAL_ERROR "record without a device: ${rc} ${out} ${err}")
endif()
