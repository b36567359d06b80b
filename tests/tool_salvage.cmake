# Damaged and cut-short files: decode writes what can be recovered, silence
# as long as each damaged stretch, and says what is wrong (exit 3); info
# gives the same lines; a file that is no KVX file or holds no audio fails
# (exit 1).  Garbage inside frames behind sound block headers is audio to
# the scan unless it sends the frame walk astray.  Outside the damage the samples are those of the intact file:
# up to it exactly, behind it once the decoder's memory of the frames before
# has settled (a second).
cmake_policy(SET CMP0007 NEW)
set(dir ${WORK}/tool_salvage)
file(REMOVE_RECURSE ${dir})
file(MAKE_DIRECTORY ${dir})
include(${CMAKE_CURRENT_LIST_DIR}/tool_common.cmake)
set(RUN_DIR ${dir})
set(settle_ms 1000)

# BASE=generator options=bytes of output a millisecond (SP at 11000 Hz, LP at 8000 Hz)
set(bases "sp=--seconds|30=22" "lp=--seconds|30|--lp=16" "one=--seconds|20|--one-block=22")
if(SOXR)
  list(APPEND bases "mixed=--seconds|20|--mixed=22")
endif()
foreach(base ${bases})
  string(REPLACE "=" ";" base "${base}")
  list(GET base 0 name)
  list(GET base 1 options)
  list(GET base 2 bpm_${name})
  string(REPLACE "|" ";" options_${name} "${options}")
  execute_process(COMMAND ${GEN} ${dir}/${name}.kvx ${options_${name}} OUTPUT_QUIET RESULT_VARIABLE rc)
  run(0 decode ${name}.kvx -o ${name}.raw)
endforeach()
file(WRITE ${dir}/empty.kvx "")
file(WRITE ${dir}/text.kvx "kvx is not what this text file is\n")

# M:SS.mmm or H:MM:SS.mmm to ms.
function(to_ms text var)
  string(REGEX MATCHALL "[0-9]+" f "${text}")
  list(LENGTH f n)
  set(ms 0)
  foreach(part ${f})
    math(EXPR n "${n} - 1")
    if(n EQUAL 0)
      math(EXPR ms "${ms} * 1000 + ${part}")
    else()
      math(EXPR ms "${ms} * 60 + ${part}")
    endif()
  endforeach()
  set(${var} ${ms} PARENT_SCOPE)
endfunction()

# Bytes [from, to) of two files are equal; with only one file, all zero.
function(same what a b from to)
  if(to LESS_EQUAL from)
    return()
  endif()
  math(EXPR n "${to} - ${from}")
  file(READ ${a} x OFFSET ${from} LIMIT ${n} HEX)
  if(b STREQUAL "")
    string(REGEX REPLACE "0" "" x "${x}")
    set(y "")
  else()
    file(READ ${b} y OFFSET ${from} LIMIT ${n} HEX)
  endif()
  if(NOT x STREQUAL y)
    message(FATAL_ERROR "${what}: bytes ${from}..${to} differ")
  endif()
endfunction()

# NAME=BASE=EXIT=MESSAGE=damage (kvxgen options, | between words; offsets as
# sums: audio block k, from 0, begins at 1024+512*k behind a two-block header)
set(cases
  "empty=empty=1=not a KVX file \\(result 7\\)="
  "text=text=1=text.kvx: not a KVX file="
  "cut-header1=sp=1=cut short inside its header \\(300 of 1024 bytes\\)=--cut|300"
  "cut-header2=sp=1=header says 2 blocks, file has 1: no audio=--cut|800"
  "cut-at-block=sp=3=truncated at 0:14.616 \\(the header says 0:30.000\\)=--cut|1024+512*40"
  "cut-in-block=sp=3=truncated at=--cut|1024+512*40+200"
  "cut-in-frame=lp=3=truncated at=--cut|1024+512*20+9"
  "cut-one-block=one=3=truncated at=--cut|512+512*10+100"
  "bad-header=sp=3=0:10.680 to 0:11.064 \\(0:00.384, audio blocks 30-31: a frame runs into a damaged block. impossible block header\\)=--garbage|1024+512*30:6"
  "garbage-block=sp=3=impossible block header=--garbage|1024+512*30:512"
  "garbage-in-frames=sp=0==--garbage|1024+512*30+50:400"
  "zeroed=sp=3=impossible block header=--fill|1024+512*30:512:00"
  "frame-count=sp=3=says 126 frames, holds 15=--fill|1024+512*30+2:1:7e"
  "lp-zeroed=lp=3=impossible block header=--fill|1024+512*10:512:00"
  "two-ranges=sp=3=damage:.*damage:.*recovered=--fill|1024+512*10:512:00|--garbage|1024+512*50:6"
  "last-block=sp=3=0:29.616 to 0:30.000 .*blocks 81-82: .*impossible=--garbage|1024+512*81:6"
  "zeroed-then-cut=sp=3=about .*truncated at=--fill|1024+512*10:512:00|--cut|1024+512*40+100")
if(SOXR)
  # (the first SP part ends in the 14th block, its last frame inside it)
  list(APPEND cases "mixed=mixed=3=impossible block header=--fill|1024+512*40:512:00"
       "cut-at-part=mixed=3=truncated at 0:04.992 \\(the header says=--cut|1024+512*14")
endif()

foreach(case ${cases})
  string(REPLACE "=" ";" case "${case}")
  list(GET case 0 name)
  list(GET case 1 base)
  list(GET case 2 want_rc)
  list(GET case 3 message)
  list(LENGTH case fields)
  set(damage "")
  if(fields GREATER 4)
    list(GET case 4 words)
    string(REPLACE "|" ";" words "${words}")
    foreach(word ${words})
      if(word MATCHES "^[0-9+*:a-f]+$" AND NOT word MATCHES "^[a-f]")
        string(REPLACE ":" ";" parts "${word}")
        set(word "")
        foreach(part ${parts})
          if(part MATCHES "^[0-9+*]+$")
            math(EXPR part "${part}")
          endif()
          list(APPEND word ${part})
        endforeach()
        string(REPLACE ";" ":" word "${word}")
      endif()
      list(APPEND damage ${word})
    endforeach()
  endif()
  if(base STREQUAL "empty" OR base STREQUAL "text")
    configure_file(${dir}/${base}.kvx ${dir}/${name}.kvx COPYONLY)
  else()
    execute_process(COMMAND ${GEN} ${dir}/${name}.kvx ${options_${base}} ${damage} OUTPUT_QUIET RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "kvxgen ${name} ${damage} failed")
    endif()
  endif()

  file(REMOVE ${dir}/${name}.raw)
  run(${want_rc} decode ${name}.kvx -o ${name}.raw)
  expect("${message}")
  set(said "${out}")
  if(want_rc EQUAL 1)
    if(EXISTS ${dir}/${name}.raw)
      message(FATAL_ERROR "${name}: an output was written for a file that failed")
    endif()
    continue()
  endif()
  if(want_rc EQUAL 0)
    # Frames garbled behind sound block headers cannot be told from audio:
    # they decode as they are, and take their time.
    file(SIZE ${dir}/${name}.raw got)
    file(SIZE ${dir}/${base}.raw wanted)
    if(NOT got EQUAL wanted)
      message(FATAL_ERROR "${name}: ${got} bytes of output, the intact file gives ${wanted}")
    endif()
    continue()
  endif()

  # info says the same.
  string(REGEX MATCHALL "damage: [^\n]*" lines "${said}")
  run(3 info ${name}.kvx)
  foreach(line ${lines})
    string(FIND "${out}" "${line}" at)
    if(at LESS 0)
      message(FATAL_ERROR "${name}: info lacks '${line}':\n${out}")
    endif()
  endforeach()

  # The output lasts what was recovered and the damaged stretches.
  set(bpm ${bpm_${base}})
  string(REGEX MATCH "recovered: ([0-9:.]+)" _ "${said}")
  to_ms(${CMAKE_MATCH_1} wanted)
  set(ranges "")
  string(REGEX MATCHALL "damage: [0-9:.]+ to [0-9:.]+ \\((about )?" found "${said}")
  foreach(range ${found})
    string(REGEX MATCH "damage: ([0-9:.]+) to ([0-9:.]+) \\((about )?" _ "${range}")
    to_ms(${CMAKE_MATCH_1} from)
    to_ms(${CMAKE_MATCH_2} to)
    math(EXPR wanted "${wanted} + ${to} - ${from}")
    set(known YES)
    if(CMAKE_MATCH_3)
      set(known NO)
    endif()
    list(APPEND ranges "${from}:${to}:${known}")
  endforeach()
  file(SIZE ${dir}/${name}.raw size)
  math(EXPR got "${size} / ${bpm}")
  math(EXPR off "${got} - ${wanted}")
  if(off GREATER 30 OR off LESS -30)
    message(FATAL_ERROR "${name}: ${got} ms of output, wanted ${wanted} ms within a frame\n${said}")
  endif()

  # Up to the damage, the intact file's samples; silence in it; behind it
  # the intact file's samples again where its length is known.
  set(intact ${dir}/${base}.raw)
  set(from_ms ${got})
  if(said MATCHES "truncated at ([0-9:.]+)")
    to_ms(${CMAKE_MATCH_1} from_ms)
  endif()
  foreach(range ${ranges})
    string(REPLACE ":" ";" range "${range}")
    list(GET range 0 start)
    if(start LESS from_ms)
      set(from_ms ${start})
    endif()
  endforeach()
  math(EXPR end "${from_ms} * ${bpm}")
  same("${name} before the damage" ${dir}/${name}.raw ${intact} 0 ${end})
  set(shifted NO)
  foreach(range ${ranges})
    string(REPLACE ":" ";" range "${range}")
    list(GET range 0 start)
    list(GET range 1 stop)
    list(GET range 2 known)
    # (a rate converter's filter reaches a little into the silence)
    math(EXPR a "(${start} + 30) * ${bpm}")
    math(EXPR b "(${stop} - 30) * ${bpm}")
    same("${name} silence" ${dir}/${name}.raw "" ${a} ${b})
    if(NOT known)
      set(shifted YES)
    endif()
    if(NOT shifted)
      math(EXPR a "(${stop} + ${settle_ms}) * ${bpm}")
      math(EXPR b "${a} + ${settle_ms} * ${bpm}")
      if(b GREATER size)
        set(b ${size})
      endif()
      same("${name} behind the damage" ${dir}/${name}.raw ${intact} ${a} ${b})
    endif()
  endforeach()
endforeach()

# A file cut inside its second header block: info shows the first block's
# fields and the damage.
run(3 info cut-header2.kvx)
expect("damage: header says 2 blocks, file has 1")

# A start behind the damage is a time of the recording: the output is the
# rest of it, the same samples.
run(3 decode zeroed.kvx --start 20000 -o start.raw)
file(SIZE ${dir}/start.raw size)
file(SIZE ${dir}/zeroed.raw whole)
math(EXPR ms "(${whole} - ${size}) / 22")
if(ms LESS 19970 OR ms GREATER 20030)
  message(FATAL_ERROR "decode --start 20000 of a damaged file: began at ${ms} ms")
endif()
math(EXPR from "${whole} - 5000 * 22")
file(READ ${dir}/zeroed.raw a OFFSET ${from} HEX)
math(EXPR from "${size} - 5000 * 22")
file(READ ${dir}/start.raw b OFFSET ${from} HEX)
if(NOT a STREQUAL b)
  message(FATAL_ERROR "decode --start 20000 of a damaged file: other samples than the whole decode's")
endif()

# A locked file says so; set and marks add are refused.
run(0 lock sp.kvx)
foreach(call "set|sp.kvx|text1=x" "marks|sp.kvx|add|5000")
  string(REPLACE "|" ";" call "${call}")
  run(1 ${call})
  expect("sp.kvx: locked: 'kvx unlock FILE' allows changes again")
endforeach()
run(0 unlock sp.kvx)
