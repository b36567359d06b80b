# CLI11 reads the tool's command line.  It is header-only: a native build
# takes its CMake package; a cross build, which looks for packages in the
# target's root only, takes the build machine's headers, searched after the
# cross compiler's own so that none of the target's headers is replaced.
find_package(CLI11 2.1 CONFIG QUIET)
if(TARGET CLI11::CLI11)
  target_link_libraries(kvx_tool PRIVATE CLI11::CLI11)
else()
  find_path(KVX_CLI11_INCLUDE_DIR CLI/CLI.hpp PATHS /usr/include /usr/local/include NO_CMAKE_FIND_ROOT_PATH)
  if(NOT KVX_CLI11_INCLUDE_DIR)
    message(FATAL_ERROR "CLI11 not found: install libcli11-dev (scripts/deps.sh libcli11-dev)")
  endif()
  target_compile_options(kvx_tool PRIVATE -idirafter ${KVX_CLI11_INCLUDE_DIR})
endif()
