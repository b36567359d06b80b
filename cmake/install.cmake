# What `cmake --install` puts where, for programs that use kvx:
#   bin/       kvx.dll (Windows) and the kvx tool
#   lib/       libkvx.so.VERSION with its SONAME link and the link for the
#              linker (Linux); libkvx.dll.a for mingw and kvx.lib for MSVC
#              (Windows); pkgconfig/kvx.pc; cmake/kvx/, the package that
#              find_package(kvx) reads, with the imported target kvx::kvx
#   include/   kvx.h and the headers it and a caller need
#   share/man/ the tool's man page (tools/kvx/CMakeLists.txt installs the
#              tool and the page)
# The library's version is the project's; its SONAME carries the major
# number, which changes when a caller built against an earlier library can
# no longer run with this one.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(kvx PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})

# kvx_win32.h comes with kvx.h on both systems (it includes <windows.h>
# there).  The platform layer's headers declare nothing on Windows.
set(KVX_PUBLIC_HEADERS include/kvx.h include/kvx_win32.h)
if(NOT WIN32)
  list(APPEND KVX_PUBLIC_HEADERS include/kvx_posix.h include/kvx_progress.h)
endif()

if(WIN32)
  # MSVC links with an import library of its own format, made from the
  # export list and put beside the DLL.  For 32-bit code dlltool gives the
  # names the leading underscore of MSVC's __cdecl names.
  if(NOT CMAKE_DLLTOOL)
    message(FATAL_ERROR "dlltool not found: it makes kvx.lib for MSVC callers")
  endif()
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_kvx_machine i386:x86-64)
  else()
    set(_kvx_machine i386)
  endif()
  add_custom_command(TARGET kvx POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} -m ${_kvx_machine} -d ${KVX_DEF} -D $<TARGET_FILE_NAME:kvx> -l kvx.lib
    WORKING_DIRECTORY $<TARGET_FILE_DIR:kvx>
    COMMENT "Making the import library kvx.lib for MSVC")
endif()

install(TARGETS kvx EXPORT kvxTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${KVX_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  install(FILES $<TARGET_FILE_DIR:kvx>/kvx.lib DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# pkg-config: the paths are taken from where kvx.pc lies, so that the
# installed tree works under any prefix (cmake --install --prefix, or a
# tree copied elsewhere).
set(_kvx_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE ${CMAKE_INSTALL_LIBDIR} OR IS_ABSOLUTE ${CMAKE_INSTALL_INCLUDEDIR})
  set(KVX_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
else()
  file(RELATIVE_PATH _kvx_up /root/${_kvx_pc_dir} /root)
  string(REGEX REPLACE "/$" "" _kvx_up ${_kvx_up})
  set(KVX_PC_PREFIX "\${pcfiledir}/${_kvx_up}")
endif()
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE ${CMAKE_INSTALL_${_dir}})
    set(KVX_PC_${_dir} ${CMAKE_INSTALL_${_dir}})
  else()
    set(KVX_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/kvx.pc.in ${CMAKE_BINARY_DIR}/kvx.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kvx.pc DESTINATION ${_kvx_pc_dir})

# The CMake package.  Any version of the major number asked for will do, as
# for the SONAME.
set(_kvx_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/kvx)
install(EXPORT kvxTargets NAMESPACE kvx:: DESTINATION ${_kvx_cmake_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kvxConfig.cmake.in ${CMAKE_BINARY_DIR}/kvxConfig.cmake
  INSTALL_DESTINATION ${_kvx_cmake_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kvxConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kvxConfig.cmake ${CMAKE_BINARY_DIR}/kvxConfigVersion.cmake
  DESTINATION ${_kvx_cmake_dir})
