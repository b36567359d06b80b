# kvx decode of several files into a folder (names, status lines, exit
# status, --force, -j), outputs that appear whole or not at all, --start and
# --end to the sample; header texts in the Windows code page; marks past the
# end.
set(dir ${WORK}/tool_batch)
file(REMOVE_RECURSE ${dir})
file(MAKE_DIRECTORY ${dir}/other)
include(${CMAKE_CURRENT_LIST_DIR}/tool_common.cmake)
set(RUN_DIR ${dir})

generate("sp|--seconds|20" "lp|--seconds|20|--lp" "mixed|--seconds|20|--mixed" "long|--seconds|3600")
file(WRITE ${dir}/junk.kvx "not a recording")
file(COPY ${dir}/sp.kvx DESTINATION ${dir}/other)

function(expect_files folder)
  file(GLOB found RELATIVE ${dir}/${folder} ${dir}/${folder}/* ${dir}/${folder}/.*)
  list(SORT found)
  if(NOT "${found}" STREQUAL "${ARGN}")
    message(FATAL_ERROR "${folder} holds '${found}', wanted '${ARGN}'")
  endif()
endfunction()

# Three files, one no recording: the others decoded, a line each, exit 1.
run(1 decode sp.kvx lp.kvx junk.kvx -d out)
expect_files(out lp.wav sp.wav)
foreach(line "sp.kvx -> out/sp.wav: 0:00:19\\.9[0-9][0-9]\n" "lp.kvx -> out/lp.wav: 0:00:19\\.9[0-9][0-9]\n"
             "junk.kvx: not a KVX file")
  expect("(^|\n)${line}")
endforeach()

# An existing output is left and its file refused, unless --force.
file(WRITE ${dir}/out/sp.wav "keep")
run(1 decode sp.kvx lp.kvx -d out)
expect("(^|\n)sp.kvx: out/sp.wav exists already \\(--force replaces it\\)")
file(READ ${dir}/out/sp.wav kept)
run(0 decode sp.kvx lp.kvx --force -d out)
file(SIZE ${dir}/out/sp.wav replaced)
if(NOT kept STREQUAL "keep" OR replaced LESS 400000)
  message(FATAL_ERROR "out/sp.wav: '${kept}' without --force, ${replaced} bytes with it")
endif()

# Files decoded side by side are those decoded one after the other, each
# with the options given.
run(0 decode sp.kvx lp.kvx mixed.kvx -d one -j 1 --start 1000 --end 9000 --type raw)
run(0 decode sp.kvx lp.kvx mixed.kvx -d two -j 2 --start 1000 --end 9000 --type raw)
foreach(case sp=176000 lp=128000 mixed=176000)
  string(REPLACE "=" ";" case ${case})
  list(GET case 0 name)
  file(SHA256 ${dir}/one/${name}.raw a)
  file(SHA256 ${dir}/two/${name}.raw b)
  file(SIZE ${dir}/one/${name}.raw size)
  if(NOT a STREQUAL b OR NOT case MATCHES ";${size}$")
    message(FATAL_ERROR "${name}.raw: ${size} bytes, wanted ${case}; -j 1 and -j 2 alike: ${a} ${b}")
  endif()
endforeach()

# Command lines that cannot run; nothing is written.
foreach(call "sp.kvx|other/sp.kvx|-d|clash~sp.kvx and other/sp.kvx would both be written to clash/sp.wav"
             "sp.kvx|lp.kvx|-o|x.wav~several recordings are decoded into a folder"
             "sp.kvx|-o|x.wav|-d|clash~--output excludes --dir" "sp.kvx|-o|x.wav|--force~--force requires --dir")
  string(REPLACE "~" ";" call "${call}")
  list(POP_FRONT call args)
  string(REPLACE "|" ";" args "${args}")
  run(2 decode ${args})
  expect("${call}")
endforeach()
if(EXISTS ${dir}/clash OR EXISTS ${dir}/x.wav)
  message(FATAL_ERROR "a refused command line wrote something")
endif()

# An output appears under its name only when whole: not when the decode is
# killed, nor when the name cannot be taken (a folder has it).
execute_process(COMMAND ${KVX} decode long.kvx -o killed.wav WORKING_DIRECTORY ${dir} TIMEOUT 0.4 OUTPUT_QUIET
                ERROR_QUIET)
file(MAKE_DIRECTORY ${dir}/taken.wav)
run(1 decode sp.kvx -o taken.wav)
file(GLOB parts ${dir}/.taken.wav*)
if(EXISTS ${dir}/killed.wav OR parts)
  message(FATAL_ERROR "a decode left killed.wav or the part '${parts}'")
endif()

# --start and --end to the sample: (E - S) x rate / 1000 samples, which are
# the full decode's from S on (a converted rate within 1).
# NAME=RATE=tolerance=options
set(cases "sp=11000=0=" "lp=8000=0=" "sp=12000=0=--native-rate")
if(SOXR)
  list(APPEND cases "mixed=11000=1=" "sp=16000=1=--rate|16000" "lp=44100=1=--rate|44100")
endif()
foreach(case ${cases})
  string(REPLACE "=" ";" case "${case}")
  list(POP_FRONT case name rate tolerance)
  string(REPLACE "|" ";" options "${case}")
  run(0 decode ${name}.kvx -o full.raw ${options})
  foreach(span "100-900" "3217-11555" "19000-19500")
    string(REPLACE "-" ";" span "${span}")
    list(GET span 0 from)
    list(GET span 1 to)
    run(0 decode ${name}.kvx -o cut.raw --start ${from} --end ${to} ${options})
    file(SIZE ${dir}/cut.raw bytes)
    math(EXPR wanted "((${to} - ${from}) * ${rate} + 500) / 1000 * 2")
    math(EXPR off "(${from} * ${rate} + 500) / 1000 * 2")
    math(EXPR miss "${bytes} - ${wanted}")
    if(miss GREATER 2 OR miss LESS -2)
      message(FATAL_ERROR "${name} ${options} ${from}..${to}: ${bytes} bytes, wanted ${wanted}")
    endif()
    file(READ ${dir}/cut.raw cut HEX)
    file(READ ${dir}/full.raw full OFFSET ${off} LIMIT ${bytes} HEX)
    if(tolerance EQUAL 0 AND NOT cut STREQUAL full)
      message(FATAL_ERROR "${name} ${options} ${from}..${to}: not the full decode's samples")
    endif()
    # Within the tolerance: the first samples and some from the middle.
    math(EXPR mid "${bytes} / 2 * 2")
    foreach(at RANGE 0 60 4)
      foreach(base 0 ${mid})
        math(EXPR i "${base} + ${at}")
        foreach(which cut full)
          string(SUBSTRING "${${which}}" ${i} 4 h)
          string(SUBSTRING "${h}" 2 2 hi)
          string(SUBSTRING "${h}" 0 2 lo)
          math(EXPR v_${which} "((0x${hi}${lo} + 32768) % 65536) - 32768")
        endforeach()
        math(EXPR d "${v_cut} - ${v_full}")
        if(d GREATER tolerance OR d LESS -${tolerance})
          message(FATAL_ERROR "${name} ${options} ${from}..${to}: sample ${i} is ${v_cut}, the full decode's ${v_full}")
        endif()
      endforeach()
    endforeach()
  endforeach()
endforeach()

# Header texts: UTF-8 in, Windows-1252 in the header, UTF-8 out; what has
# no byte refused, naming it.
run(0 set sp.kvx "text4=Über €5 „x“" "itemAtext=Ÿ")
run(0 info sp.kvx)
expect("text 4: +\"Über €5 „x“\"")
expect("itemA: +[0-9]+, [0-9]+, \"Ÿ\"")
file(READ ${dir}/sp.kvx header LIMIT 1024 HEX)
string(FIND "${header}" "dc62657220803520847893" stored) # Über €5 „x“ a byte each
foreach(refused "text4=日本~'日' \\(U\\+65E5\\) has no Windows-1252 byte" "text1=ÿ~ends a header text")
  string(REPLACE "~" ";" refused "${refused}")
  list(GET refused 0 setting)
  list(GET refused 1 message)
  run(2 set sp.kvx "${setting}")
  expect("${message}")
endforeach()
if(stored LESS 0)
  message(FATAL_ERROR "text4 is not stored as Windows-1252 bytes")
endif()

# Marks: not past the end.
run(1 marks sp.kvx add 25000)
expect("0:00:25.000 lies past its end")
run(0 marks sp.kvx add 19000)
run(1 marks sp.kvx del 25000)
