list(APPEND KVX_LIBRARY_SOURCES src/folder/folder.cpp src/folder/delete.cpp)
