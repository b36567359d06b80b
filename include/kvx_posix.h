/*
 * kvx_posix.h - the message window, the wave sink and the confirmation of
 * deletions for Linux callers.
 *
 * On Windows the library reports to a window of the caller's through the
 * system's message queue, and plays through the system's wave-output device.
 * Off Windows the library brings both along: a caller creates a message
 * window with its own window procedure, runs a message loop on the thread
 * that created it, and hands the window to KVXInitDecoder as a Windows caller
 * would.  The messages, their numbers and their parameters are the Windows
 * ones (MSG, WM_QUIT, MM_WOM_DONE, ...).
 *
 * - Each thread has its own message queue.  A window belongs to the thread
 *   that created it; messages posted to it queue on that thread, and its
 *   procedure runs on that thread only (from KVXPosixDispatchMessage, or
 *   from a message sent by another thread while the owner waits in
 *   KVXPosixGetMessage or KVXPosixPeekMessage).
 * - A window ends with KVXPosixDestroyWindow on its thread, or when its
 *   thread ends.  No creation or destruction messages are sent.
 * - KVXPosixPostQuitMessage makes KVXPosixGetMessage return 0 (with WM_QUIT
 *   and the exit code as wParam) once no posted message that passes the
 *   filter is waiting.  As on Windows, WM_QUIT passes every filter, of
 *   window and of message range alike.
 *
 * The wave sink says where played sound goes:
 *   "alsa"     the sound card, through libasound.so.2 when it is installed
 *              and a device opens (ALSA's "default", or the device that the
 *              environment variable KVX_ALSA_DEVICE names); else as "null".
 *              The default.
 *   "null"     nowhere, in real time: n bytes take n / nAvgBytesPerSec s.
 *   "capture"  into memory, as fast as buffers come: every byte played and
 *              the sample rate of every open can be read back (for tests).
 *   "none"     no device at all: waveOutGetNumDevs reports 0.
 * KVXPosixSetWaveSink chooses; until it is called the environment variable
 * KVX_WAVE_SINK, read when the device is first used, does.  A device that
 * is open keeps the sink it was opened with.
 *
 * The confirmation hook stands in for the question that Windows asks the
 * user before the library deletes files.  It is asked once for each file
 * that is there, on the thread that deletes, with whether the file is
 * read-only (locked: no write permission bit), and answers IDYES (delete
 * it, read-only or not), IDNO (keep it, go on with the next) or IDCANCEL
 * (keep it and all the rest); any other answer keeps the file.  Without a
 * hook, files that are not read-only are deleted and read-only ones kept:
 * a locked recording is never deleted unasked.  Deletions that Windows
 * makes without asking the user do not ask the hook either.
 *
 * The file-fault hook makes chosen file calls fail: reads, writes,
 * creations, openings, renames and deletions.
 *
 * This header declares nothing on Windows.
 */
#ifndef KVX_POSIX_H
#define KVX_POSIX_H

#include "kvx_win32.h"

#ifndef _WIN32
#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define KVX_POSIX_EXPORT __attribute__((visibility("default")))
#else
#define KVX_POSIX_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifndef CALLBACK
#define CALLBACK
#endif

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT, *LPPOINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *LPMSG;

typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);

#define WM_QUIT 0x0012
#define WM_COMMAND 0x0111
#define WM_USER 0x0400

#define MM_WOM_OPEN 0x3BB
#define MM_WOM_CLOSE 0x3BC
#define MM_WOM_DONE 0x3BD

#ifndef IDCANCEL
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7
#endif

#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define PM_NOYIELD 0x0002

/* A message window on the calling thread; NULL when proc is NULL.  `user`
 * is kept for the caller (KVXPosixGetWindowUser). */
KVX_POSIX_EXPORT HWND KVXPosixCreateWindow(WNDPROC proc, void *user);
/* The same, as the host's top-level window of class `className` with the
 * title `title` (NULL: empty), which the library can look for by its class
 * (FindWindowA; the class "Vantrex" tells that the host application runs).
 * NULL when className or proc is NULL. */
KVX_POSIX_EXPORT HWND KVXPosixCreateClassWindow(const char *className, const char *title, WNDPROC proc,
                                                void *user);
/* FALSE for a window that is not one, or of another thread. */
KVX_POSIX_EXPORT BOOL KVXPosixDestroyWindow(HWND window);
KVX_POSIX_EXPORT void *KVXPosixGetWindowUser(HWND window);

/* GetMessageA, PeekMessageA, DispatchMessageA, PostMessageA, SendMessageA
 * and PostQuitMessage, with their Windows meaning. */
KVX_POSIX_EXPORT BOOL KVXPosixGetMessage(MSG *msg, HWND window, UINT first, UINT last);
KVX_POSIX_EXPORT BOOL KVXPosixPeekMessage(MSG *msg, HWND window, UINT first, UINT last, UINT remove);
KVX_POSIX_EXPORT LRESULT KVXPosixDispatchMessage(const MSG *msg);
KVX_POSIX_EXPORT BOOL KVXPosixPostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
KVX_POSIX_EXPORT LRESULT KVXPosixSendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
KVX_POSIX_EXPORT void KVXPosixPostQuitMessage(int exitCode);
/* The calling thread's last error (ERROR_INVALID_WINDOW_HANDLE, 1400, ...). */
KVX_POSIX_EXPORT DWORD KVXPosixGetLastError(void);

/* Chooses the wave sink by name ("alsa", "null", "capture", "none");
 * FALSE, and nothing changes, for another name. */
KVX_POSIX_EXPORT BOOL KVXPosixSetWaveSink(const char *name);
/* The name of the sink that the next open uses. */
KVX_POSIX_EXPORT const char *KVXPosixGetWaveSink(void);

/* What the capture sink received since the last clear: the bytes played,
 * in order, of all devices; and for each open, its sample rate and the
 * captured size at the time of the open (where its bytes begin). */
KVX_POSIX_EXPORT size_t KVXPosixCaptureSize(void);
/* Copies up to `max` bytes from the start; returns how many. */
KVX_POSIX_EXPORT size_t KVXPosixCaptureRead(void *buffer, size_t max);
/* Stores up to `max` sample rates; returns the number of opens. */
KVX_POSIX_EXPORT size_t KVXPosixCaptureOpens(uint32_t *rates, size_t max);
/* Stores up to `max` start offsets; returns the number of opens. */
KVX_POSIX_EXPORT size_t KVXPosixCaptureOffsets(size_t *offsets, size_t max);
KVX_POSIX_EXPORT void KVXPosixCaptureClear(void);
/* Counts `bytes` more as played on an open device, as if they had been
 * heard: a test reaches a position hours into a session at once. */
KVX_POSIX_EXPORT BOOL KVXPosixWaveAddPlayed(HWAVEOUT device, uint32_t bytes);

/* File faults, for tests of what the library does when a disk fails.
 * After `after` more calls of the kind go through, the next `count` calls
 * fail (a negative count: every further one); a negative `after` ends the
 * faults of the kind.  The kinds:
 *   KVX_FAULT_READ        ReadFile reads nothing and returns FALSE with
 *                         ERROR_READ_FAULT.
 *   KVX_FAULT_SHORT_READ  ReadFile reads at most half of the bytes asked
 *                         for (rounded down) and returns TRUE.
 *   KVX_FAULT_WRITE       WriteFile writes nothing and returns FALSE with
 *                         ERROR_DISK_FULL.
 *   KVX_FAULT_SHORT_WRITE WriteFile writes at most half of the bytes asked
 *                         for (rounded down, maybe 0), reports that count
 *                         and returns TRUE.
 *   KVX_FAULT_CREATE      CreateFileA with CREATE_NEW, CREATE_ALWAYS,
 *                         OPEN_ALWAYS or TRUNCATE_EXISTING creates and
 *                         truncates nothing and fails with ERROR_DISK_FULL.
 *   KVX_FAULT_OPEN        CreateFileA with OPEN_EXISTING fails with
 *                         ERROR_SHARING_VIOLATION.
 *   KVX_FAULT_RENAME      MoveFileExA moves nothing and fails with
 *                         ERROR_ACCESS_DENIED.
 *   KVX_FAULT_DELETE      DeleteFileA deletes nothing and fails with
 *                         ERROR_SHARING_VIOLATION.
 * Reads and short reads share one plan, writes and short writes another;
 * every other kind has its own.  Calls with invalid parameters (a NULL
 * name, an unknown disposition) fail before they count.  Returns how many
 * calls the kind's previous plan failed (-1 for an unknown kind, which
 * changes nothing): a test fails the Nth call for N = 0, 1, 2, ... until
 * its operation ends with the plan having failed none. */
#define KVX_FAULT_READ 0
#define KVX_FAULT_SHORT_READ 1
#define KVX_FAULT_WRITE 2
#define KVX_FAULT_SHORT_WRITE 3
#define KVX_FAULT_CREATE 4
#define KVX_FAULT_OPEN 5
#define KVX_FAULT_RENAME 6
#define KVX_FAULT_DELETE 7
KVX_POSIX_EXPORT long KVXPosixSetFileFault(int kind, long after, long count);

/* Asked before a file is deleted: IDYES, IDNO or IDCANCEL. */
typedef int (*KVXPosixConfirmHook)(const char *path, BOOL readOnly, void *user);
/* Installs the hook, with `user` passed to every call; NULL removes it. */
KVX_POSIX_EXPORT void KVXPosixSetConfirmHook(KVXPosixConfirmHook hook, void *user);

#ifdef __cplusplus
}
#endif

#endif /* !_WIN32 */
#endif /* KVX_POSIX_H */
