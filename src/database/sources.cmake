list(APPEND KVX_LIBRARY_SOURCES
  src/database/build.cpp
  src/database/convert.cpp
  src/database/drives.cpp
  src/database/management.cpp
  src/database/progress.cpp
  src/database/progress_texts.cpp
)
