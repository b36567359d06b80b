# kvx decode's output: every rate lasts the header's length within a frame
# for SP, LP and mixed files; standard output carries the same audio (and
# nothing else) as a file, with the header, without it, or as floats.
set(dir ${WORK}/tool_audio)
file(REMOVE_RECURSE ${dir})
file(MAKE_DIRECTORY ${dir})
include(${CMAKE_CURRENT_LIST_DIR}/tool_common.cmake)
set(RUN_DIR ${dir})

# A little-endian number of BYTES bytes at OFFSET in a file.
function(read_le path offset bytes var)
  file(READ ${path} hex OFFSET ${offset} LIMIT ${bytes} HEX)
  set(value 0)
  math(EXPR last "${bytes} - 1")
  foreach(i RANGE ${last} 0 -1)
    math(EXPR at "${i} * 2")
    string(SUBSTRING "${hex}" ${at} 2 byte)
    math(EXPR value "${value} * 256 + 0x${byte}")
  endforeach()
  set(${var} ${value} PARENT_SCOPE)
endfunction()

generate("sp|--seconds|12" "lp|--seconds|9|--lp" "mixed|--seconds|20|--mixed")
foreach(name sp lp mixed)
  run(0 info ${name}.kvx)
  string(REGEX MATCH "length: +[0-9:.]+ \\(([0-9]+) ms\\)" _ "${out}")
  set(length_${name} ${CMAKE_MATCH_1})
endforeach()

# NAME=RATE the header should say=decode options; "sp" alone runs without
# libsoxr, the mixed file and --rate need it.
set(cases "sp=11000" "sp=12000=--native-rate" "lp=8000" "lp=8000=--native-rate")
if(SOXR)
  list(APPEND cases "mixed=11000" "mixed=12000=--native-rate" "sp=16000=--rate|16000" "lp=16000=--rate|16000"
       "mixed=16000=--rate|16000" "mixed=8000=--rate|8000" "sp=48000=--rate|48000" "lp=44100=--rate|44100")
endif()
foreach(case ${cases})
  string(REPLACE "=" ";" case "${case}")
  list(POP_FRONT case name rate)
  string(REPLACE "|" ";" options "${case}")
  run(0 decode ${name}.kvx -o out.wav ${options})
  read_le(${dir}/out.wav 24 4 said)
  read_le(${dir}/out.wav 40 4 bytes)
  file(SIZE ${dir}/out.wav size)
  math(EXPR ms "${bytes} * 500 / ${said}")
  math(EXPR off "${ms} - ${length_${name}}")
  # The data ends the file, or the tags' LIST chunk follows it.
  math(EXPR data_end "44 + ${bytes}")
  file(READ ${dir}/out.wav after OFFSET ${data_end} LIMIT 4 HEX)
  if(NOT said EQUAL rate OR NOT after MATCHES "^(4c495354)?$" OR off GREATER 30 OR off LESS -30)
    message(FATAL_ERROR "${name} ${options}: ${said} Hz, ${bytes} bytes of ${size} (${ms} ms), "
                        "wanted ${rate} Hz and ${length_${name}} ms within a frame")
  endif()
endforeach()
if(NOT SOXR)
  run(1 decode mixed.kvx -o out.wav)
  expect("both SP and LP audio.*no libsoxr")
endif()

# Standard output through a pipe: the file's audio, the sizes unknown; the
# samples alone with --raw; floats of the same samples with --format f32.
set(options "")
if(SOXR)
  set(options --rate 16000)
endif()
run(0 decode mixed.kvx -o file.wav ${options})
read_le(${dir}/file.wav 40 4 file_bytes)
file(READ ${dir}/file.wav want OFFSET 44 LIMIT ${file_bytes} HEX)
math(EXPR samples "${file_bytes} / 2")
# OUT=header bytes=sample bytes=decode options
foreach(case "piped.wav=44=2=" "piped.raw=0=2=--raw" "piped.f32=58=4=--format|f32")
  string(REPLACE "=" ";" case "${case}")
  list(POP_FRONT case name header width)
  string(REPLACE "|" ";" extra "${case}")
  execute_process(COMMAND ${KVX} decode mixed.kvx -o - ${options} ${extra} COMMAND cat WORKING_DIRECTORY ${dir}
                  OUTPUT_FILE ${dir}/${name} ERROR_VARIABLE err RESULT_VARIABLE rc)
  file(SIZE ${dir}/${name} size)
  math(EXPR wanted "${header} + ${samples} * ${width}")
  if(NOT rc EQUAL 0 OR NOT err STREQUAL "" OR NOT size EQUAL wanted)
    message(FATAL_ERROR "decode -o - ${extra}: exit ${rc}, ${size} bytes, wanted ${wanted}\n${err}")
  endif()
  if(header GREATER 0)
    math(EXPR at "${header} - 4")
    read_le(${dir}/${name} ${at} 4 bytes)
    if(NOT bytes EQUAL 0xFFFFFFFF)
      message(FATAL_ERROR "decode -o - ${extra}: the piped header says ${bytes} bytes of data, not 'unknown'")
    endif()
  endif()
endforeach()
foreach(case "piped.wav=44" "piped.raw=0")
  string(REPLACE "=" ";" case "${case}")
  list(POP_FRONT case name header)
  file(READ ${dir}/${name} got OFFSET ${header} HEX)
  if(NOT got STREQUAL want)
    message(FATAL_ERROR "decode -o - to ${name}: other samples than the WAV file's")
  endif()
endforeach()
read_le(${dir}/piped.f32 20 2 tag)
if(NOT tag EQUAL 3)
  message(FATAL_ERROR "--format f32: format tag ${tag}, wanted 3 (IEEE float)")
endif()

# Redirected to a file, standard output can seek: the header gets its sizes.
# It is the WAV file that -o gives without its tags (which follow the data
# and count in the RIFF size).
execute_process(COMMAND ${KVX} decode sp.kvx -o - WORKING_DIRECTORY ${dir} OUTPUT_FILE ${dir}/redirected.wav
                RESULT_VARIABLE rc)
run(0 decode sp.kvx -o sp.wav)
file(SIZE ${dir}/redirected.wav size)
math(EXPR size "${size} - 8")
file(READ ${dir}/redirected.wav a OFFSET 8 HEX)
file(READ ${dir}/sp.wav b OFFSET 8 LIMIT ${size} HEX)
if(NOT rc EQUAL 0 OR NOT a STREQUAL b)
  message(FATAL_ERROR "decode -o - into a file: not the WAV file that -o sp.wav gives")
endif()

# Failures say so on standard error and leave standard output empty.
file(WRITE ${dir}/junk.kvx "not a recording")
foreach(case "junk.kvx=1=not a KVX file" "sp.kvx|--start|0:01:00=1=past its end" "sp.kvx|--format|f64=2=f64")
  string(REPLACE "=" ";" case "${case}")
  list(POP_FRONT case args rc_wanted message)
  string(REPLACE "|" ";" args "${args}")
  list(POP_FRONT args input)
  execute_process(COMMAND ${KVX} decode ${input} -o - ${args} WORKING_DIRECTORY ${dir} OUTPUT_VARIABLE out
                  ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL rc_wanted OR NOT out STREQUAL "" OR NOT err MATCHES "${message}")
    message(FATAL_ERROR "decode ${input} -o - ${args}: exit ${rc}, stdout '${out}', stderr '${err}'")
  endif()
endforeach()
