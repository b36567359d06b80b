list(APPEND KVX_LIBRARY_SOURCES
  src/codec_lp/lp_decoder.cpp
  src/codec_lp/lp_fixed.cpp
  src/codec_lp/lp_g7231.cpp
  src/codec_lp/lp_tables.cpp)
