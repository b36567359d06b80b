list(APPEND KVX_LIBRARY_SOURCES src/format/header.cpp src/format/skip.cpp src/format/stream.cpp)
if(NOT EXISTS ${CMAKE_SOURCE_DIR}/src/codec_sp/sources.cmake)
  list(APPEND KVX_LIBRARY_SOURCES src/format/skip_sp_fallback.cpp)
endif()
