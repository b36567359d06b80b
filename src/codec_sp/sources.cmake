list(APPEND KVX_LIBRARY_SOURCES
  src/codec_sp/sp_decoder.cpp
  src/codec_sp/sp_frame.cpp
  src/codec_sp/sp_output.cpp
  src/codec_sp/sp_synthesis.cpp
  src/codec_sp/sp_tables.cpp)
