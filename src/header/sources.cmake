list(APPEND KVX_LIBRARY_SOURCES src/header/info.cpp src/header/marks.cpp)
