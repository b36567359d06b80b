list(APPEND KVX_LIBRARY_SOURCES src/decode/open.cpp src/decode/session.cpp)
