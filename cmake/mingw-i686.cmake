# Cross build for 32-bit Windows with mingw-w64 (posix thread model).
#   cmake -S . -B build-win-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# The -posix compilers are named explicitly: the -win32 ones lack std::thread
# and std::mutex with GCC 12, and win the plain alternative when installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Some build machines cannot run 32-bit code, so the test programs are
# registered with ctest only on request (-DKVX_RUN_TESTS=ON, which
# scripts/test-windows.sh passes where a 32-bit probe runs); they then run
# through Wine's 32-bit loader (wine32:i386), in a prefix of its own made
# with WINEARCH=win32.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
