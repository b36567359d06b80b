# Installs the built tree into a prefix of its own and uses it as a caller
# would.
#   Linux:   the library's SONAME, the tool and its man page; a C program
#            built with pkg-config and one built with find_package(kvx),
#            both run on a generated file.
#   Windows: the DLL, both import libraries (kvx.lib for the DLL's
#            architecture, with every export) and the headers.
# -D: BUILD (the built tree), WORK (an empty folder is made there), VERSION,
# LIBDIR (lib, or where GNUInstallDirs puts libraries), OBJDUMP; on Linux
# GEN (kvxgen), CC, CFLAGS, and GENERATOR and MAKE (the build's); on Windows
# NM, DEF and BITS (32 or 64).
# A half that lacks a tool is skipped with a message ctest counts as a skip.
file(REMOVE_RECURSE ${WORK})
set(prefix ${WORK}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix}
  OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${out}")
endif()

function(expect_files)
  foreach(f IN LISTS ARGN)
    if(NOT EXISTS ${prefix}/${f})
      file(GLOB_RECURSE there RELATIVE ${prefix} ${prefix}/*)
      message(FATAL_ERROR "not installed: ${f}\ninstalled:\n${there}")
    endif()
  endforeach()
endfunction()

# Runs a command; fails the test unless it exits 0 and its output matches.
function(check what pattern)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "${pattern}")
    message(FATAL_ERROR "${what}: exit ${rc}, wanted 0 and '${pattern}' in:\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

if(BITS)
  # Nothing runs here: what is there is what is checked.
  expect_files(bin/kvx.dll bin/kvx.exe ${LIBDIR}/libkvx.dll.a ${LIBDIR}/kvx.lib include/kvx.h include/kvx_win32.h
    ${LIBDIR}/cmake/kvx/kvxConfig.cmake ${LIBDIR}/cmake/kvx/kvxConfigVersion.cmake
    ${LIBDIR}/cmake/kvx/kvxTargets.cmake ${LIBDIR}/pkgconfig/kvx.pc)
  # MSVC's 32-bit __cdecl names begin with an underscore, its 64-bit ones do not.
  if(BITS EQUAL 64)
    set(format pe-x86-64)
    set(under "")
  else()
    set(format pe-i386)
    set(under "_")
  endif()
  check("objdump kvx.lib" "" ${OBJDUMP} -f ${prefix}/${LIBDIR}/kvx.lib)
  string(REGEX MATCHALL "file format [^\n]*" formats "${out}")
  list(REMOVE_DUPLICATES formats)
  if(NOT formats STREQUAL "file format ${format}")
    message(FATAL_ERROR "kvx.lib is not all ${format}:\n${out}")
  endif()
  check("nm kvx.lib" "" ${NM} ${prefix}/${LIBDIR}/kvx.lib)
  file(STRINGS ${DEF} lines REGEX "^[ \t]+[A-Za-z_]")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" name)
    if(NOT out MATCHES "T ${under}${name}\n" OR NOT out MATCHES "I __imp_${under}${name}\n")
      message(FATAL_ERROR "kvx.lib lacks ${under}${name} or __imp_${under}${name}")
    endif()
  endforeach()
  if(EXISTS ${prefix}/include/kvx_posix.h OR EXISTS ${prefix}/include/kvx_progress.h)
    message(FATAL_ERROR "the Linux headers were installed on Windows")
  endif()
  return()
endif()

string(REGEX MATCH "^[0-9]+" major ${VERSION})
# The rest is checked by using it: the headers and the library by the
# consumers, the tool by running it.
expect_files(share/man/man1/kvx.1)
check("SONAME" "SONAME +libkvx\\.so\\.${major}\n" ${OBJDUMP} -p ${prefix}/${LIBDIR}/libkvx.so.${VERSION})

set(sample ${WORK}/sample.kvx)
check("kvxgen" "" ${GEN} ${sample} --seconds 3)
# The installed tool runs without the build tree.
check("installed kvx info" "length: +0:00:0[23]\\." ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH
  ${prefix}/bin/kvx info ${sample})
# What the consumer prints: 3 s of SP (codec flag 1).
set(consumed "^length (29[0-9][0-9]|3000) codecs 1\n$")
separate_arguments(cflags UNIX_COMMAND "${CFLAGS}")

set(skipped "")
find_program(PKG_CONFIG NAMES pkg-config pkgconf)
if(PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
  check("pkg-config --modversion" "^${VERSION}\n$" ${PKG_CONFIG} --modversion kvx)
  check("pkg-config" "" ${PKG_CONFIG} --cflags --libs kvx)
  separate_arguments(pc_flags UNIX_COMMAND "${out}")
  check("pkg-config libdir" "" ${PKG_CONFIG} --variable=libdir kvx)
  string(STRIP "${out}" libdir)
  check("cc with pkg-config" "" ${CC} ${cflags} ${CMAKE_CURRENT_LIST_DIR}/consumer.c -o ${WORK}/consumer_pc
    ${pc_flags} -Wl,-rpath,${libdir})
  check("consumer (pkg-config)" "${consumed}" ${WORK}/consumer_pc ${sample} ${WORK}/missing.kvx)
else()
  list(APPEND skipped "pkg-config not found")
endif()

check("configure with find_package(kvx)" "" ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR} -B ${WORK}/consumer
  -G ${GENERATOR} -DCMAKE_MAKE_PROGRAM=${MAKE} -DCMAKE_PREFIX_PATH=${prefix} -DKVX_VERSION=${VERSION}
  -DCMAKE_C_COMPILER=${CC} "-DCMAKE_C_FLAGS=${CFLAGS}")
check("build with find_package(kvx)" "" ${CMAKE_COMMAND} --build ${WORK}/consumer)
check("consumer (CMake)" "${consumed}" ${WORK}/consumer/consumer ${sample} ${WORK}/missing.kvx)

if(skipped)
  message("[  SKIPPED ] ${skipped}")
endif()
