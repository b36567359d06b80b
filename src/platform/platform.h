/*
 * platform.h - the operating-system calls of the library.
 *
 * The library is written against the Win32 calls it needs.  On Windows they
 * come from the system headers; elsewhere the posix layer implements the same
 * calls, with the same meaning and the same error codes, over POSIX.
 */
#ifndef KVX_PLATFORM_H
#define KVX_PLATFORM_H

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmsystem.h>
#define KVX_PATH_SEPARATOR '\\'
#else
#include "posix/win32.h"
#define KVX_PATH_SEPARATOR '/'
#endif

#endif /* KVX_PLATFORM_H */
