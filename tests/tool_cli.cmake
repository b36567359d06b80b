# The kvx tool's command line: the version, each command's help, one line
# on what was wrong for each usage error, requests that do not fit the file
# refused, one wording for each result code, and the word on the silent
# sink.  Run in a folder of its own; stdout and stderr are checked apart.
set(dir ${WORK}/tool_cli)
file(REMOVE_RECURSE ${dir})
file(MAKE_DIRECTORY ${dir})
execute_process(COMMAND ${GEN} ${dir}/s.kvx --seconds 12 --full OUTPUT_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "kvxgen failed")
endif()
file(WRITE ${dir}/junk.kvx "not a recording, but long enough to be read as one's header block or two")
file(SHA256 ${dir}/s.kvx original)

# Runs kvx with the arguments ('|' separates them) and wants exit status
# RC; sets out (stdout) and err (stderr).
function(call rc args)
  string(REPLACE "|" ";" args "${args}")
  execute_process(COMMAND ${KVX} ${args} WORKING_DIRECTORY ${dir} OUTPUT_VARIABLE o ERROR_VARIABLE e
    RESULT_VARIABLE got)
  if(NOT got EQUAL rc)
    message(FATAL_ERROR "kvx ${args}: exit ${got}, wanted ${rc}\nstdout:\n${o}\nstderr:\n${e}")
  endif()
  set(out "${o}" PARENT_SCOPE)
  set(err "${e}" PARENT_SCOPE)
endfunction()

function(want text pattern what)
  if(NOT text MATCHES "${pattern}")
    message(FATAL_ERROR "${what}: expected '${pattern}' in:\n${text}")
  endif()
endfunction()

call(0 --version)
if(NOT out STREQUAL "kvx ${VERSION}\n" OR NOT err STREQUAL "")
  message(FATAL_ERROR "--version printed '${out}' '${err}'")
endif()

# The command list, with the exit statuses, on --help and 'help'.
set(commands info marks set lock unlock priority decode play cut insert overwrite cat index delete feed help)
foreach(args "--help" "help")
  call(0 ${args})
  foreach(name ${commands})
    want("${out}" "\n  ${name} " "${args}")
  endforeach()
  want("${out}" "Exit status:\n  0  success\n  1  failure[^\n]*\n[^\n]*\n  2  usage error" "${args}")
endforeach()

# Each command's help names it and one of its own arguments, ends with the
# exit statuses, and is what 'help COMMAND' prints.  COMMAND=ARGUMENT
foreach(case "info=--json" "marks=ACTION" "set=itemAtext" "lock=FILE" "unlock=FILE" "priority=N" "decode=--native-rate"
             "play=--speed" "cut=START" "insert=--from" "overwrite=SOURCE" "cat=-o OUT" "index=FILE" "delete=--yes"
             "feed=--way")
  string(REPLACE "=" ";" case "${case}")
  list(GET case 0 name)
  list(GET case 1 argument)
  call(0 "${name}|--help")
  want("${out}" "Usage: kvx ${name} " "${name} --help")
  want("${out}" "${argument}" "${name} --help")
  want("${out}" "\nExit status:\n" "${name} --help")
  set(help "${out}")
  call(0 "help|${name}")
  if(NOT out STREQUAL help)
    message(FATAL_ERROR "help ${name} is not ${name} --help")
  endif()
endforeach()

# Usage errors: exit 2, nothing on stdout, and on stderr the one line that
# says what was wrong, then where to look.  ARGS~WHO~MESSAGE
foreach(case "~kvx~no command given" "bogus~kvx~unknown command 'bogus'" "--bogus~kvx~unknown option '--bogus'"
             "help|bogus~kvx~unknown command 'bogus'"
             "info|s.kvx|--bogus~kvx info~unknown option '--bogus'"
             "decode|s.kvx|t.kvx|-o|x.wav~kvx decode~several recordings are decoded into a folder"
             "decode|s.kvx~kvx decode~--output is required"
             "decode|s.kvx|-o|x.mp3~kvx decode~--output: 'x.mp3': unknown output format .mp3; the name must end in .wav"
             "decode|s.kvx|-o|x.wav.mp3~kvx decode~--output: 'x.wav.mp3': unknown output format .mp3"
             "decode|s.kvx|-o|out~kvx decode~--output: 'out': no extension"
             "decode|s.kvx|-o|d.wav/out~kvx decode~--output: 'd.wav/out': no extension"
             "decode|s.kvx|-o|x.wav|--start|10000|--end|5000~kvx decode~--start \\(0:00:10.000\\) must lie before --end \\(0:00:05.000\\)"
             "decode|s.kvx|-o|x.wav|--start|5000|--end|5000~kvx decode~--start \\(0:00:05.000\\) must lie before"
             "decode|s.kvx|-o|x.wav|--end|0~kvx decode~--start \\(0:00:00.000\\) must lie before --end"
             "decode|s.kvx|-o|x.wav|--start|1:2:3:4~kvx decode~--start: not a time: '1:2:3:4'"
             "play|s.kvx|--speed|5~kvx play~--speed: [^\n]*-4 to 4" "play|s.kvx|--speed|-5~kvx play~--speed: [^\n]*-4 to 4"
             "feed|s.kvx|-o|x.flac~kvx feed~--output: 'x.flac': "
             "feed|s.txt|-o|x.wav~kvx feed~'s.txt': the feed reads files named \\*.kvx"
             "marks|s.kvx|add~kvx marks~ACTION requires TIME" "marks|s.kvx|move|1000~kvx marks~ACTION: [^\n]*add"
             "set|s.kvx|colour=blue~kvx set~unknown field 'colour'"
             "set|missing.kvx|number=x~kvx set~bad value for number: 'x'"
             "priority|s.kvx|256~kvx priority~N: [^\n]*0 to 255"
             "cut|s.kvx|2000|1000~kvx cut~START must lie before END"
             "insert|s.kvx|0|s.kvx|--from|3000|--to|3000~kvx insert~--from must lie before --to"
             "overwrite|s.kvx|0|s.kvx|--to~kvx overwrite~--to: [^\n]*TIME missing")
  string(REGEX MATCH "^([^~]*)~([^~]*)~(.*)$" _ "${case}")
  set(args "${CMAKE_MATCH_1}")
  set(who "${CMAKE_MATCH_2}")
  set(message "${CMAKE_MATCH_3}")
  call(2 "${args}")
  want("${err}" "^${who}: ${message}[^\n]*\nRun '${who} --help' for [^\n]*\\.\n$" "${args}")
  if(NOT out STREQUAL "")
    message(FATAL_ERROR "${args}: a usage error printed on stdout:\n${out}")
  endif()
endforeach()

# Requests that do not fit the file: exit 1 and why, nothing written.
# ARGS=MESSAGE
set(ENV{KVX_WAVE_SINK} capture)
foreach(case "decode|s.kvx|-o|x.wav|--start|12000=--start 0:00:12.000 lies at or past its end \\(0:00:12.000\\)"
             "decode|s.kvx|-o|x.wav|--start|0:01:00=--start 0:01:00.000 lies at or past its end"
             "play|s.kvx|--start|12000=--start 0:00:12.000 lies at or past its end"
             "marks|s.kvx|add|12001=0:00:12.001 lies past its end \\(0:00:12.000\\)")
  string(REPLACE "=" ";" case "${case}")
  list(GET case 0 args)
  list(GET case 1 message)
  call(1 "${args}")
  want("${err}" "^kvx: s.kvx: ${message}[^\n]*\n$" "${args}")
endforeach()
file(SHA256 ${dir}/s.kvx now)
if(EXISTS ${dir}/x.wav OR EXISTS ${dir}/out OR EXISTS ${dir}/x.mp3 OR NOT now STREQUAL original)
  message(FATAL_ERROR "a refused command wrote a file")
endif()
# Just inside: the last frame decodes and plays, a mark at the very end is kept.
foreach(args "decode|S.KVX|-o|X.WAV|--start|11976" "play|s.kvx|--start|11999" "marks|s.kvx|add|12000")
  if(args MATCHES "S.KVX")
    file(COPY_FILE ${dir}/s.kvx ${dir}/S.KVX)
  endif()
  call(0 "${args}")
endforeach()

# One wording for each result code, whichever command meets it: each
# command's line is the one info prints for the same file.
file(COPY_FILE ${dir}/s.kvx ${dir}/e.kvx)
foreach(file junk.kvx missing.kvx nowhere/x.kvx)
  call(1 "info|${file}")
  want("${err}" "^kvx: ${file}: [^\n]+ \\(result [0-9]+\\)\n$" "info ${file}")
  set(wording "${err}")
  foreach(args "decode|${file}|-o|x.wav" "play|${file}" "marks|${file}" "marks|${file}|add|1000" "lock|${file}"
               "priority|${file}|1" "set|${file}|number=1" "cut|${file}|0|1000" "insert|${file}|0|e.kvx"
               "insert|e.kvx|0|${file}" "cat|e.kvx|${file}|-o|out.kvx" "index|${file}")
    call(1 "${args}")
    if(NOT err STREQUAL wording)
      message(FATAL_ERROR "kvx ${args} says\n${err}where info says\n${wording}")
    endif()
  endforeach()
endforeach()

# Without a sound device that opens, play says that it plays to the silent
# sink (in real time: the last 0.2 s); the capture sink says nothing.
unset(ENV{KVX_WAVE_SINK})
set(ENV{KVX_ALSA_DEVICE} kvx-no-such-device)
call(0 "play|s.kvx|--start|11800")
want("${err}" "no sound device opens \\(ALSA device 'kvx-no-such-device'\\): playing to the silent sink" "play")
set(ENV{KVX_WAVE_SINK} capture)
call(0 "play|s.kvx|--start|11800")
if(err MATCHES "silent")
  message(FATAL_ERROR "play to the capture sink spoke of the silent sink:\n${err}")
endif()
