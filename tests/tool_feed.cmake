# kvx feed on generated files: the transcription feed's WAV of an SP file is
# the decode command's WAV; way 2 feeds the blocks from the first extended
# mark through the second; LP audio and unreadable files fail with their
# result and leave no output.
set(dir ${WORK}/tool_feed)
file(REMOVE_RECURSE ${dir})
file(MAKE_DIRECTORY ${dir})

include(${CMAKE_CURRENT_LIST_DIR}/tool_common.cmake)
set(RUN_DIR ${dir})

generate("sp|--seconds|12|--full" "flag|--seconds|6" "mixed|--seconds|10|--mixed|--full" "lp|--seconds|3|--lp")
file(WRITE ${dir}/junk.kvx "not a recording")
file(WRITE ${dir}/sp.dat "")

# The audio of a WAV file as hex, from its data (44 bytes in) on; LIMIT
# bytes of it when given.
function(wav_data path var)
  set(limit "")
  if(ARGC GREATER 2)
    set(limit LIMIT ${ARGV2})
  endif()
  file(READ ${dir}/${path} hex OFFSET 44 ${limit} HEX)
  set(${var} "${hex}" PARENT_SCOPE)
endfunction()

# A whole file: the same WAV, header and samples, as decoding it gives
# (with the postfilter, when the feed has it).
foreach(call "sp.kvx" "flag.kvx|--postfilter" "sp.kvx|--way|1")
  string(REPLACE "|" ";" call "${call}")
  list(GET call 0 name)
  set(decode_options "")
  if(call MATCHES "--postfilter")
    set(decode_options --postfilter)
  endif()
  run(0 feed ${call} -o fed.wav)
  # Standard output gets the WAV without tags, as the feed writes it.
  execute_process(COMMAND ${KVX} decode ${name} ${decode_options} -o - WORKING_DIRECTORY ${dir}
                  OUTPUT_FILE ${dir}/decoded.wav)
  file(SHA256 ${dir}/fed.wav a)
  file(SHA256 ${dir}/decoded.wav b)
  if(NOT a STREQUAL b)
    message(FATAL_ERROR "feed ${call}: another WAV than decode ${decode_options} gives")
  endif()
endforeach()

# Way 2 with the extended marks MARKS: the feed gives the first frames of
# decoding from the first mark, lasting from FROM to TO and up to a block
# (13 frames of 24 ms) more on each side.  No mark: the whole file; one:
# from it to the end; more: the first two in time.  MARKS=FROM=TO
foreach(case "=0=12000" "5000=5000=12000" "3000,7000=3000=7000" "9000,1500,4000=1500=4000")
  string(REGEX MATCH "^([0-9,]*)=([0-9]+)=([0-9]+)$" _ "${case}")
  string(REPLACE "," ";" marks "${CMAKE_MATCH_1}")
  set(from ${CMAKE_MATCH_2})
  set(to ${CMAKE_MATCH_3})
  file(COPY_FILE ${dir}/sp.kvx ${dir}/marked.kvx)
  foreach(mark ${marks})
    run(0 marks marked.kvx add ${mark})
  endforeach()
  run(0 feed marked.kvx --way 2 -o fed.wav)
  execute_process(COMMAND ${KVX} decode marked.kvx -o - WORKING_DIRECTORY ${dir} OUTPUT_FILE ${dir}/decoded.wav)
  file(SIZE ${dir}/fed.wav size)
  math(EXPR fed_ms "(${size} - 44) / 528 * 24")
  math(EXPR stretch "${to} - ${from}")
  math(EXPR most "${stretch} + 2 * 13 * 24")
  if(fed_ms LESS stretch OR fed_ms GREATER most)
    message(FATAL_ERROR "way 2 with marks '${marks}': ${fed_ms} ms fed for ${from}..${to}")
  endif()
  # The feed's session begins at the block that holds FROM, a frame up to a
  # block before it, with the decoder reset: once the decoder has settled
  # (2 s = 44000 bytes on), its samples are those of the whole decode.
  math(EXPR bytes "${size} - 44 - 44000")
  file(READ ${dir}/fed.wav a OFFSET 44044 HEX)
  set(found "")
  foreach(frames RANGE 0 13)
    math(EXPR at "(${from} / 24 - ${frames}) * 528 + 44044")
    if(at GREATER_EQUAL 44044 AND found STREQUAL "")
      file(READ ${dir}/decoded.wav b OFFSET ${at} LIMIT ${bytes} HEX)
      if(a STREQUAL b)
        set(found ${frames})
      endif()
    endif()
  endforeach()
  if(found STREQUAL "")
    message(FATAL_ERROR "way 2 with marks '${marks}': not the frames of decoding from up to a block before ${from}")
  endif()
endforeach()

# Failures: exit 1 and the cause, and no output.  CALL=PATTERN
foreach(case "mixed.kvx=LP audio after 0:00:04.992: the feed hands out SP only \\(result 14\\)"
             "lp.kvx=LP audio after 0:00:00.000: .*\\(result 14\\)"
             "junk.kvx=junk.kvx: cannot be fed: not a KVX file.*\\(result 11\\)"
             "none.kvx=none.kvx: cannot be fed.*\\(result 11\\)")
  string(REPLACE "=" ";" case "${case}")
  list(GET case 0 name)
  list(GET case 1 pattern)
  file(REMOVE ${dir}/out.wav)
  run(1 feed ${name} -o out.wav)
  expect("${pattern}")
  if(EXISTS ${dir}/out.wav)
    message(FATAL_ERROR "feed ${name} failed but left out.wav")
  endif()
endforeach()

# Usage errors: a name the feed would take for a recording on a recorder,
# no output, a way other than 1 or 2.
foreach(call "feed|sp.dat|-o|out.wav" "feed|sp.kvx" "feed|sp.kvx|--way|3|-o|out.wav" "feed|-o|out.wav")
  string(REPLACE "|" ";" call "${call}")
  run(2 ${call})
endforeach()
