# kvx record with its capture read from a sentence spoken by espeak-ng
# (skipped without it; this machine has no sound card): up to the end of the
# sentence, and cut short by SIGINT, each a committed file that decodes to
# as long as was fed; without a capture device, a message and exit 1 with
# nothing written.
set(dir ${WORK}/tool_record)
file(REMOVE_RECURSE ${dir})
file(MAKE_DIRECTORY ${dir})
include(${CMAKE_CURRENT_LIST_DIR}/tool_common.cmake)
find_program(TIMEOUT timeout)
if(NOT TIMEOUT)
  message("SKIP: timeout is not installed: a recording cannot be cut short")
  return()
endif()
speak(en+m3 "Send the figures to the office on Monday morning." ${dir}/speech.wav)
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
# then, committed (less by what a start-up on a busy machine takes, more by
# a 100 ms read and a frame).
if(in_ms LESS 2000)
  message(FATAL_ERROR "the sentence lasts ${in_ms} ms, too short to be cut")
endif()
record(cut 1.5 300 1650)

# No capture device: said, exit 1, no file.
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=KVX_RECORD_SOURCE KVX_ALSA_DEVICE=nonexistent
  ${KVX} record -o ${dir}/none.kvx RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 1 OR NOT err MATCHES "no capture device opens \\(ALSA device 'nonexistent'\\)"
   OR EXISTS ${dir}/none.kvx)
  message(FATAL_ERROR "record without a device: ${rc} ${out} ${err}")
endif()
