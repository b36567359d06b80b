list(APPEND KVX_LIBRARY_SOURCES src/playback/edited.cpp src/playback/playback.cpp)
