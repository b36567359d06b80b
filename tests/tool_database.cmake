# The kvx tool's index and delete commands on generated files, as a user
# runs them: in a folder of their own, with no terminal on stdin.
set(dir ${WORK}/tool_database)
set(dat KVXMANAGEMENT.DAT)
file(REMOVE_RECURSE ${dir})
file(MAKE_DIRECTORY ${dir}/large ${dir}/small ${dir}/readonly ${dir}/delete)
file(WRITE ${dir}/no-input "")

function(gen path)
  execute_process(COMMAND ${GEN} ${dir}/${path} ${ARGN} OUTPUT_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "kvxgen ${path} failed")
  endif()
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/tool_common.cmake)
set(RUN_DIR ${dir})
set(RUN_INPUT ${dir}/no-input)

function(expect_file path there)
  if(there AND NOT EXISTS ${dir}/${path})
    message(FATAL_ERROR "${path} is missing")
  elseif(NOT there AND EXISTS ${dir}/${path})
    message(FATAL_ERROR "${path} should not be there")
  endif()
endfunction()

# 400 s of SP fill 3 chunks: a large file.  Looking at it does not record it.
gen(large/long.kvx --seconds 400)
run(0 info large/long.kvx)
expect_file(large/${dat} NO)

# Indexing records its table once; the second run finds it and writes nothing.
run(0 index large/long.kvx)
expect("^large/long.kvx: 0:06:39.984, recorded\n$")
expect_file(large/${dat} YES)
file(READ ${dir}/large/${dat} first HEX)
run(0 index large/long.kvx)
expect("^large/long.kvx: 0:06:39.984, found\n$")
file(READ ${dir}/large/${dat} second HEX)
if(NOT first STREQUAL second)
  message(FATAL_ERROR "a second index run changed the management file")
endif()

# 250 s are 2 chunks: read on every opening, never recorded.
gen(small/mid.kvx --seconds 250)
run(0 index small/mid.kvx)
expect("^small/mid.kvx: 0:04:09.984, small file, not recorded\n$")
expect_file(small/${dat} NO)

# A management file that may not be written: the pass runs, nothing is
# recorded, and the file is not reported as found.
file(COPY ${dir}/large/${dat} DESTINATION ${dir}/readonly)
file(CHMOD ${dir}/readonly/${dat} PERMISSIONS OWNER_READ GROUP_READ WORLD_READ)
gen(readonly/other.kvx --seconds 390)
run(0 index readonly/other.kvx)
expect("0:06:30.000, read, but not recorded")
file(READ ${dir}/readonly/${dat} kept HEX)
if(NOT kept STREQUAL first)
  message(FATAL_ERROR "the read-only management file changed")
endif()

# A failure is reported with its result code; the other files go on.
run(1 index nowhere/x.kvx small/mid.kvx large/missing.kvx)
expect("kvx: nowhere/x.kvx: no such folder \\(result 11\\)")
expect("small/mid.kvx: .*small file")
expect("kvx: large/missing.kvx: the file cannot be opened \\(result 1\\)")

# Deleting: --yes confirms every file.  Without it and without a terminal
# unlocked files go and locked ones stay.
gen(delete/plain.kvx --seconds 12)
gen(delete/plain2.kvx --seconds 12)
gen(delete/locked.kvx --seconds 12)
run(0 lock delete/locked.kvx)
run(0 delete --yes delete/plain.kvx)
expect("deleted delete/plain.kvx")
expect_file(delete/plain.kvx NO)
run(1 delete delete/locked.kvx)
expect("kept delete/locked.kvx")
expect_file(delete/locked.kvx YES)
run(1 delete delete/plain2.kvx delete/locked.kvx)
expect("deleted delete/plain2.kvx\nkept delete/locked.kvx")
expect_file(delete/plain2.kvx NO)
run(0 delete --yes ${dir}/delete/locked.kvx)
expect_file(delete/locked.kvx NO)

# Names that are no file to delete.
run(1 delete --yes delete/missing.kvx)
expect("kvx: delete/missing.kvx: no such file")
run(1 delete --yes delete)
expect("not a file")
expect_file(delete YES)
