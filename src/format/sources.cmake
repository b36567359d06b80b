list(APPEND KVX_LIBRARY_SOURCES src/format/header.cpp src/format/stream.cpp)
if(NOT EXISTS ${CMAKE_SOURCE_DIR}/src/codec_lp/sources.cmake)
  # The LP codec brings its own frame skipper.
  list(APPEND KVX_LIBRARY_SOURCES src/format/skip.cpp)
endif()
