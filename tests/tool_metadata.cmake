# The header's fields and marks kept in decode's outputs (WAV tags and cue
# points, FLAC comments, the label track, the JSON sidecar) and info --json
# and --csv on several files.  READER (built where libsndfile is) prints
# what libsndfile reads back from an audio file.
set(dir ${WORK}/tool_metadata)
file(REMOVE_RECURSE ${dir})
file(MAKE_DIRECTORY ${dir})
include(${CMAKE_CURRENT_LIST_DIR}/tool_common.cmake)
set(RUN_DIR ${dir})

execute_process(COMMAND ${GEN} ${dir}/a.kvx --seconds 12 OUTPUT_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "kvxgen failed")
endif()
set(text1 "Smith, \"J\"")
run(0 set a.kvx "text1=${text1}" text2=Über text3=ward number=16 priority=3 itemBtext=bed4 text4=notes)
run(0 marks a.kvx add 8.250)
run(0 marks a.kvx add 2000)

# OUTPUT@decode options@what the reader prints (regular expressions); the
# marks at 2 s and 8.25 s become cue points at the output rate counted from
# --start, or the FLAC comment's CUE lines.
set(tags "string title Smith, \"J\"\n" "string artist Über\n" "string album ward\n"
         "string date 2025-01-02 09:30:00\n" "string software kvx [0-9.]+" "string comment number=16\n"
         "string comment priority=3\n" "string comment itemB.text=bed4\n" "string comment text4=notes\n")
set(cases "a.wav@--format|s16@rate 11000\n|frames 132000\n|cue 22000 mark 1\n|cue 90750 mark 2\n"
          "b.wav@--native-rate|--start|1.5@rate 12000\n|cue 6000 mark 1\n|cue 81000 mark 2\n"
          "c.wav@--native-rate|--start|3000@cue 63000 mark 2\n"
          "d.flac@--start|1500@string comment CUE=00:00:00.500 mark 1\n|string comment CUE=00:00:06.750 mark 2\n")
if(SOXR)
  list(APPEND cases "e.wav@--rate|16000|--start|1500|--end|8250@rate 16000\n|frames 108000\n|cue 8000 mark 1\n|cue 108000 mark 2\n")
endif()
if(READER)
  foreach(case ${cases})
    string(REPLACE "@" ";" case "${case}")
    list(POP_FRONT case name options expected)
    string(REPLACE "|" ";" options "${options}")
    string(REPLACE "|" ";" expected "${expected}")
    run(0 decode a.kvx -o ${name} ${options})
    execute_process(COMMAND ${READER} ${dir}/${name} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
    foreach(line ${expected} ${tags})
      expect("${line}")
    endforeach()
    # Marks before --start are left out.
    string(REGEX MATCHALL "\ncue |CUE=" cues "${out}")
    list(LENGTH cues count)
    if(name MATCHES "^c" AND NOT count EQUAL 1)
      message(FATAL_ERROR "${name}: ${count} marks, wanted the one after --start:\n${out}")
    endif()
  endforeach()
endif()

# Float samples are the 16-bit ones unrounded: at the codec's rate the same
# values, converted the same values once rounded.
if(READER)
  foreach(options "--native-rate" "--rate|16000")
    if(options MATCHES "rate.16000" AND NOT SOXR)
      continue()
    endif()
    string(REPLACE "|" ";" options "${options}")
    run(0 decode a.kvx -o f.wav --format f32 ${options})
    run(0 decode a.kvx -o s.wav ${options})
    execute_process(COMMAND ${READER} ${dir}/f.wav ${dir}/s.wav OUTPUT_VARIABLE out)
    expect("^differ 0 of [1-9]")
  endforeach()
endif()

# The label track's exact text: seconds from --start, start = end, marks
# within --start and --end only.
foreach(case "--start|1500=0.500000\t0.500000\tmark 1\n6.750000\t6.750000\tmark 2\n"
             "--end|5000=2.000000\t2.000000\tmark 1\n")
  string(REPLACE "=" ";" case "${case}")
  list(POP_FRONT case options wanted)
  string(REPLACE "|" ";" options "${options}")
  run(0 decode a.kvx -o out.raw ${options} --labels labels.txt)
  file(READ ${dir}/labels.txt labels)
  if(NOT labels STREQUAL wanted)
    message(FATAL_ERROR "--labels ${options}: '${labels}', wanted '${wanted}'")
  endif()
endforeach()

# JSON: the sidecar and each line of info --json parse and hold every field.
# MEMBER PATH=value.
set(members "text1=${text1}" "text2=Über" "itemB|text=bed4" "number=16" "priority=3" "lengthMs=12000"
            "locked=OFF" "marks|0|ms=2000" "marks|1|ms=8250" "marks|1|text=mark 2" "codecNames=SP")
run(0 decode a.kvx -o out.raw --start 1500 --json side.json)
file(READ ${dir}/side.json side)
file(COPY_FILE ${dir}/a.kvx "${dir}/q\"uo\tte.kvx")
execute_process(COMMAND ${KVX} info a.kvx "q\"uo\tte.kvx" missing.kvx --json WORKING_DIRECTORY ${dir}
                OUTPUT_VARIABLE out ERROR_QUIET RESULT_VARIABLE rc)
string(REGEX REPLACE "\n$" "" lines "${out}")
string(REPLACE "\n" ";" lines "${lines}")
list(LENGTH lines count)
list(GET lines 1 quoted)
list(GET lines 2 missing)
if(NOT count EQUAL 3)
  message(FATAL_ERROR "info --json on three files: ${count} lines:\n${out}")
endif()
string(JSON name GET "${quoted}" file)
string(JSON error GET "${missing}" error)
string(JSON code GET "${missing}" code)
string(JSON rate GET "${side}" output rate)
string(JSON start GET "${side}" output startMs)
if(NOT rc EQUAL 1 OR NOT name STREQUAL "q\"uo\tte.kvx" OR quoted MATCHES "\t" OR NOT error MATCHES "cannot be opened" OR code EQUAL 0 OR NOT rate EQUAL 11000
   OR NOT start EQUAL 1500)
  message(FATAL_ERROR "JSON lines:\n${out}\nsidecar ${side}")
endif()
foreach(json "${side}" "${quoted}")
  foreach(member ${members})
    string(REPLACE "=" ";" member "${member}")
    list(POP_FRONT member path wanted)
    string(REPLACE "|" ";" path "${path}")
    string(JSON got GET "${json}" ${path})
    if(NOT got STREQUAL wanted)
      message(FATAL_ERROR "${path}: '${got}', wanted '${wanted}' in ${json}")
    endif()
  endforeach()
endforeach()

# CSV: a header row and a row a file, quoted as RFC 4180, every row as wide
# as the header.
execute_process(COMMAND ${KVX} info a.kvx missing.kvx --csv WORKING_DIRECTORY ${dir} OUTPUT_FILE ${dir}/info.csv
                ERROR_QUIET RESULT_VARIABLE rc)
# Rows end in CRLF (a read as text drops the CRs).
file(READ ${dir}/info.csv hex HEX)
string(REGEX MATCHALL "0d0a" crlf "${hex}")
string(REGEX MATCHALL "0a" lf "${hex}")
list(LENGTH crlf crlf)
list(LENGTH lf lf)
file(READ ${dir}/info.csv csv)
string(REGEX REPLACE "\n$" "" rows "${csv}")
string(REPLACE "\n" ";" rows "${rows}")
list(LENGTH rows count)
list(GET rows 1 row)
if(NOT rc EQUAL 1 OR NOT count EQUAL 3 OR NOT crlf EQUAL lf OR NOT row MATCHES "^a.kvx,,,12000,.*,\"Smith, \"\"J\"\"\",16,.*,2000 8250,$")
  message(FATAL_ERROR "info --csv: exit ${rc}:\n${csv}")
endif()
foreach(row ${rows})
  string(REGEX REPLACE "\"[^\"]*\"" "" row "${row}") # quoted fields hold commas
  string(REGEX REPLACE "[^,]" "" commas "${row}")
  string(LENGTH "${commas}" width)
  if(DEFINED header_width AND NOT width EQUAL header_width)
    message(FATAL_ERROR "info --csv: a row of ${width} commas, the header has ${header_width}:\n${csv}")
  endif()
  set(header_width ${width})
endforeach()
