# The write session under file faults and beside other sessions: a program
# of its own, as the fault plans and the forked process are process-wide.
if(NOT WIN32)
  add_executable(kvx_edit_faults_test ${CMAKE_CURRENT_LIST_DIR}/edit_faults_test.cpp)
  target_link_libraries(kvx_edit_faults_test PRIVATE kvx_static kvxgen kvx_test_main)
  if(KVX_RUN_TESTS)
    gtest_discover_tests(kvx_edit_faults_test DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 300)
  endif()
endif()
if(NOT WIN32)
  target_sources(kvx_edit_faults_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/commit_faults_test.cpp)
endif()
