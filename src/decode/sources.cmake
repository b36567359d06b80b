list(APPEND KVX_LIBRARY_SOURCES src/decode/open.cpp)
# The decoding sessions need the wave-output and message calls, which the
# POSIX layer gains in its second part.
file(STRINGS ${CMAKE_SOURCE_DIR}/src/platform/posix/win32.h _kvx_wave REGEX "waveOutOpen")
if(WIN32 OR _kvx_wave)
  list(APPEND KVX_LIBRARY_SOURCES src/decode/session.cpp)
  if(NOT EXISTS ${CMAKE_SOURCE_DIR}/src/codec_lp/sources.cmake)
    list(APPEND KVX_LIBRARY_SOURCES src/decode/lp_fallback.cpp)
  endif()
endif()
