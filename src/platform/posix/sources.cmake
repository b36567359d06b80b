list(APPEND KVX_LIBRARY_SOURCES
  src/platform/posix/caller.cpp
  src/platform/posix/dialog.cpp
  src/platform/posix/error.cpp
  src/platform/posix/files.cpp
  src/platform/posix/locale.cpp
  src/platform/posix/memory.cpp
  src/platform/posix/messages.cpp
  src/platform/posix/mmio.cpp
  src/platform/posix/modules.cpp
  src/platform/posix/objects.cpp
  src/platform/posix/shell.cpp
  src/platform/posix/sinks.cpp
  src/platform/posix/threads.cpp
  src/platform/posix/waveout.cpp
)
