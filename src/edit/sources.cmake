list(APPEND KVX_LIBRARY_SOURCES src/edit/tree.cpp src/edit/engine.cpp src/edit/api.cpp src/edit/close.cpp)
