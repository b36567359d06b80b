list(APPEND KVX_LIBRARY_SOURCES src/transfer/shared.cpp)
list(APPEND KVX_LIBRARY_SOURCES src/transfer/settings.cpp)
list(APPEND KVX_LIBRARY_SOURCES src/transfer/feed.cpp)
list(APPEND KVX_LIBRARY_SOURCES src/transfer/download.cpp)
