list(APPEND KVX_LIBRARY_SOURCES src/database/convert.cpp)
