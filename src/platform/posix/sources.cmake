list(APPEND KVX_LIBRARY_SOURCES
  src/platform/posix/error.cpp
  src/platform/posix/files.cpp
  src/platform/posix/memory.cpp
  src/platform/posix/objects.cpp
)
