list(APPEND KVX_LIBRARY_SOURCES src/format/header.cpp src/format/stream.cpp)
