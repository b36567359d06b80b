list(APPEND KVX_LIBRARY_SOURCES src/core/state.cpp)
