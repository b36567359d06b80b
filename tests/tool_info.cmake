# The kvx tool on a generated file, as a user runs it.
set(sample ${WORK}/tool_sample.kvx)
execute_process(COMMAND ${GEN} ${sample} --seconds 12 RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "kvxgen failed")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/tool_common.cmake)

run(0 info ${sample})
foreach(line "length: +0:00:1[12]\\.[0-9][0-9][0-9]" "codecs: +SP" "chunks: +1" "header: +2 blocks, extended")
  expect("${line}")
endforeach()

# Bad arguments are usage errors ('|' separates the arguments of a call).
foreach(call "marks|${sample}|add|1:2:3:4" "set|${sample}|colour=blue" "decode|${sample}"
             "play|${sample}|--speed|7" "delete" "delete|--force|${WORK}/missing.kvx")
  string(REPLACE "|" ";" call "${call}")
  run(2 ${call})
endforeach()

# Marks as times, in any order, read back sorted; spacing of a second.
run(0 marks ${sample} add 0:00:08.250)
run(0 marks ${sample} add 2000)
run(1 marks ${sample} add 2.999)
expect("within a second")
run(0 marks ${sample})
expect("extended marks: 2\n  0:00:02.000 \\(2000 ms\\)\n  0:00:08.250 \\(8250 ms\\)")
run(0 marks ${sample} del 2000)
run(1 marks ${sample} del 2000)
expect("no mark at that time")

# Fields, locking and the priority.
run(0 set ${sample} text1=Smith number=0x10 itemBtext=ward text4=notes)
run(0 lock ${sample})
run(1 priority ${sample} 3)
expect("locked")
run(0 unlock ${sample})
run(0 priority ${sample} 3)
run(0 info ${sample} --json)
foreach(field "\"text1\": \"Smith\"" "\"number\": 16" "\"itemB\": {\"a\": 0, \"b\": 0, \"text\": \"ward\"}"
              "\"text4\": \"notes\"" "\"priority\": 3" "\"locked\": false")
  expect("${field}")
endforeach()

# Decoding (the samples alone: a WAV file's tags vary in size): 12 s of SP
# at 11000 Hz are 500 frames of 264 samples; 3 s at the native 12000 Hz
# about 72000 bytes.
foreach(case "264000|264000" "70000|80000|--start|0:00:06|--end|0:00:09|--native-rate")
  string(REPLACE "|" ";" case "${case}")
  list(POP_FRONT case low high)
  run(0 decode ${sample} -o ${WORK}/tool_sample.raw ${case})
  file(SIZE ${WORK}/tool_sample.raw wav_size)
  if(wav_size LESS low OR wav_size GREATER high)
    message(FATAL_ERROR "decode ${case}: ${wav_size} bytes, wanted ${low} to ${high}")
  endif()
endforeach()

# Playing through the capture sink runs to the end at once, at any speed.
set(ENV{KVX_WAVE_SINK} capture)
run(0 play ${sample})
expect("played to the end at 0:00:12.000")
run(0 play ${sample} --speed -2)
expect("played to the end at")
