# The kvx tool's editing commands (cut, insert, overwrite, cat) on generated
# files, in a folder of their own.  SP files of 12 s (500 frames of 24 ms)
# and 4.992 s (208 frames), LP of 6 s (200 frames of 30 ms), all of full
# frames; and sources a session cannot take frame for frame.
set(dir ${WORK}/tool_edit)
file(REMOVE_RECURSE ${dir})
file(MAKE_DIRECTORY ${dir}/t)

include(${CMAKE_CURRENT_LIST_DIR}/tool_common.cmake)
set(RUN_DIR ${dir})

foreach(gen "sp|--seconds|12|--full" "sp5|--seconds|5|--full|--seed|2" "lp|--seconds|6|--lp|--full"
            "mixed|--seconds|10|--mixed|--full" "flag|--seconds|6" "sid|--seconds|6|--lp")
  string(REPLACE "|" ";" gen "${gen}")
  list(POP_FRONT gen name)
  execute_process(COMMAND ${GEN} ${dir}/t/${name}.kvx ${gen} OUTPUT_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "kvxgen ${name} failed")
  endif()
endforeach()
# A source cut off inside its fourth audio block (its frames end at 0.936 s).
execute_process(COMMAND head -c 2660 ${dir}/t/sp5.kvx OUTPUT_FILE ${dir}/t/broken.kvx)

# Fresh copies of the templates in the working folder.
function(fresh)
  foreach(name sp sp5 lp mixed flag sid broken)
    file(COPY_FILE ${dir}/t/${name}.kvx ${dir}/${name}.kvx)
  endforeach()
  file(REMOVE ${dir}/out.kvx ${dir}/out2.kvx)
endfunction()

function(expect_length path ms)
  run(0 info ${path})
  expect("length: +[0-9:.]+ \\(${ms} ms\\)")
endfunction()

# Edits that work ('|' separates the arguments), and the length of what
# they write: in place, or to out.kvx with the edited file left as it was.
foreach(case "cut|sp.kvx|1000|2000=10992" "cut|sp.kvx|0:00:11|99999=10992"
             "insert|sp.kvx|5000|sp5.kvx=16992" "insert|sp.kvx|0:05|sp5.kvx|--from|0:00:00.984|--to|1992=13008"
             "insert|sp.kvx|12000|sp5.kvx=16992" "overwrite|sp.kvx|11000|sp5.kvx=15984"
             "overwrite|sp.kvx|0|sp5.kvx=12000" "insert|lp.kvx|3000|lp.kvx|--from|1000|--to|2000=6990"
             "insert|mixed.kvx|9972|lp.kvx=15972" "insert|sp.kvx|0|broken.kvx|--to|500=12480"
             "cat|sp5.kvx|sp.kvx|-o|out.kvx=16992" "cat|lp.kvx|lp.kvx|-o|out.kvx=12000")
  string(REPLACE "=" ";" case "${case}")
  list(GET case 0 call)
  list(GET case 1 ms)
  string(REPLACE "|" ";" call "${call}")
  list(GET call 1 target)
  fresh()
  if(call MATCHES "^cat")
    run(0 ${call})
    expect_length(out.kvx ${ms})
    continue()
  endif()
  run(0 ${call} -o out.kvx)
  expect("length [0-9:.]+ \\(${ms} ms\\)")
  expect_length(out.kvx ${ms})
  file(SHA256 ${dir}/${target} now)
  file(SHA256 ${dir}/t/${target} was)
  if(NOT now STREQUAL was)
    message(FATAL_ERROR "${call} -o out.kvx changed ${target}")
  endif()
  run(0 ${call})
  expect_length(${target} ${ms})
endforeach()

# The frames arrive unchanged: cutting out what was put in leaves audio that
# decodes as the original does.  EDIT;CUT;ORIGINAL
foreach(case "insert|sp.kvx|0|sp5.kvx;cut|sp.kvx|4992|99999;sp5"
             "cat|sp5.kvx|sp.kvx|-o|sp.kvx;cut|sp.kvx|0|4992;sp"
             "insert|lp.kvx|3000|lp.kvx|--from|1000|--to|2000;cut|lp.kvx|3000|3990;lp")
  list(GET case 0 edit)
  list(GET case 1 cut)
  list(GET case 2 original)
  string(REPLACE "|" ";" edit "${edit}")
  string(REPLACE "|" ";" cut "${cut}")
  fresh()
  run(0 ${edit})
  run(0 ${cut})
  list(GET cut 1 edited)
  # The samples alone: the WAV files' tags tell the recordings apart.
  run(0 decode ${edited} -o edited.raw)
  run(0 decode t/${original}.kvx -o original.raw)
  file(SHA256 ${dir}/edited.raw a)
  file(SHA256 ${dir}/original.raw b)
  if(NOT a STREQUAL b)
    message(FATAL_ERROR "${edit}, then ${cut}: the audio differs from ${original}'s")
  endif()
endforeach()

# cat keeps each part's marks, moved by the length of the parts before it.
fresh()
run(0 marks sp5.kvx add 1500)
run(0 marks sp.kvx add 2000)
run(0 marks sp.kvx add 11000)
run(0 cat sp5.kvx sp.kvx sp5.kvx -o out.kvx)
expect("joined 3 files, 4 marks; length 0:00:21.984")
run(0 marks out.kvx)
expect("extended marks: 4\n  [^\n]+\\(1500 ms\\)\n[^\n]+\\(6992 ms\\)\n[^\n]+\\(15992 ms\\)\n[^\n]+\\(18492 ms\\)\n")

# Failures: exit 1 and the cause; no file changes, out.kvx is not made and
# the session leaves no file behind.  A 'lock'/'ro' prefix locks the
# target or makes it read-only first.  CALL=PATTERN
foreach(case "insert|sp.kvx|0|lp.kvx=lp.kvx is LP, sp.kvx takes SP: another codec"
             "insert|mixed.kvx|0|sp.kvx=sp.kvx is SP, mixed.kvx takes LP: another codec"
             "insert|sp.kvx|0|flag.kvx=flag.kvx is SP in speech-flag mode, sp.kvx takes plain SP"
             "insert|lp.kvx|0|sid.kvx=sid.kvx has [0-9]+ silence frames of 4 bytes"
             "cat|flag.kvx|-o|out.kvx=flag.kvx has [0-9]+ noise frames of 9 bytes"
             "cat|sp.kvx|lp.kvx|-o|out.kvx=lp.kvx is LP, the joined file \\(as sp.kvx\\) takes SP"
             "insert|sp.kvx|0|broken.kvx=broken.kvx: its audio breaks off in block 3 .* at 0:00:00.936"
             "insert|sp.kvx|12001|sp5.kvx=0:00:12.001 lies past its end"
             "overwrite|sp.kvx|0|sp5.kvx|--from|6000=no frames from 0:00:06.000 to the end"
             "cut|sp.kvx|20000|30000=stretch is empty or lies past the end \\(result 518\\)"
             "lock|cut|sp.kvx|0|1000=sp.kvx: the file is locked.*\\(result 80\\)"
             "ro|insert|sp.kvx|0|sp5.kvx=sp.kvx: the file may not be written \\(result 8\\)"
             "cut|sp.kvx|0|1000|-o|no/out.kvx=no/out.kvx: .* cannot be created \\(result 522\\)"
             "cut|none.kvx|0|1000=none.kvx: the file cannot be opened \\(result 1\\)"
             "cat|sp5.kvx|sp5.kvx|-o|out.kvx=the mark of sp5.kvx at 0:00:00.500 cannot be kept at 0:00:05.492")
  string(REPLACE "=" ";" case "${case}")
  list(GET case 0 call)
  list(GET case 1 pattern)
  string(REPLACE "|" ";" call "${call}")
  fresh()
  list(GET call 0 prefix)
  if(prefix STREQUAL "lock")
    list(POP_FRONT call)
    run(0 lock sp.kvx)
  elseif(prefix STREQUAL "ro")
    list(POP_FRONT call)
    file(CHMOD ${dir}/sp.kvx PERMISSIONS OWNER_READ GROUP_READ WORLD_READ)
  elseif(call MATCHES "^cat;sp5")
    run(0 marks sp5.kvx add 4900)
    run(0 marks sp5.kvx add 500)
  endif()
  file(GLOB before ${dir}/*.kvx)
  set(sums "")
  foreach(f ${before})
    file(SHA256 ${f} sum)
    list(APPEND sums ${sum})
  endforeach()
  run(1 ${call})
  expect("${pattern}")
  file(GLOB after ${dir}/*.kvx ${dir}/~*)
  set(sums_after "")
  foreach(f ${after})
    file(SHA256 ${f} sum)
    list(APPEND sums_after ${sum})
  endforeach()
  if(NOT after STREQUAL before OR NOT sums_after STREQUAL sums)
    message(FATAL_ERROR "${call} failed but changed the folder:\n${before}\n${after}")
  endif()
  file(CHMOD ${dir}/sp.kvx PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()

# Usage errors.
foreach(call "cut|sp.kvx|2000|1000" "cut|sp.kvx|x|1000" "cut|sp.kvx|0" "insert|sp.kvx|0"
             "insert|sp.kvx|0|sp5.kvx|--from|3000|--to|2000" "overwrite|sp.kvx|0|sp5.kvx|--to" "cat|sp.kvx"
             "cat|-o|out.kvx")
  string(REPLACE "|" ";" call "${call}")
  run(2 ${call})
endforeach()
