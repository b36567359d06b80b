/*
 * win32.h - the Win32 calls that the library makes, for POSIX systems.
 *
 * Each call keeps its Windows meaning: access and share modes, creation
 * dispositions, attributes and the GetLastError codes.  Where POSIX cannot do
 * what Windows does, the call fails the way Windows would.
 */
#ifndef KVX_POSIX_WIN32_H
#define KVX_POSIX_WIN32_H

#include <stdint.h>

#include "kvx_posix.h"
#include "kvx_win32.h"

#define WINAPI
#define MAX_PATH 260

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)0xFFFFFFFFu)
#define INVALID_SET_FILE_POINTER ((DWORD)0xFFFFFFFFu)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFFu)

/* Error codes (GetLastError). */
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_ACCESS 12u
#define ERROR_NOT_SAME_DEVICE 17u
#define ERROR_WRITE_PROTECT 19u
#define ERROR_READ_FAULT 30u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_HANDLE_EOF 38u
#define ERROR_HANDLE_DISK_FULL 39u
#define ERROR_NETWORK_ACCESS_DENIED 65u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_DISK_FULL 112u
#define ERROR_CALL_NOT_IMPLEMENTED 120u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_NEGATIVE_SEEK 131u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_NOT_LOCKED 158u
#define ERROR_DIRECTORY 267u
#define ERROR_INVALID_WINDOW_HANDLE 1400u
#define ERROR_INVALID_THREAD_ID 1444u

/* CreateFileA */
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#define FILE_FLAG_RANDOM_ACCESS 0x10000000u   /* accepted, no effect */
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u /* unlinked when the last handle closes */
#define FILE_FLAG_WRITE_THROUGH 0x80000000u

/* MoveFileExA */
#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_COPY_ALLOWED 0x00000002u
#define MOVEFILE_WRITE_THROUGH 0x00000008u

/* SetFilePointer */
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u

/* GlobalAlloc */
#define GMEM_FIXED 0x0000u
#define GMEM_MOVEABLE 0x0002u
#define GMEM_ZEROINIT 0x0040u
#define GMEM_SHARE 0x2000u
#define GMEM_DDESHARE GMEM_SHARE
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)

typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;
typedef DWORD *LPDWORD;
typedef LONG *PLONG;
typedef const void *LPCVOID;
typedef size_t SIZE_T;
typedef uintptr_t UINT_PTR;
typedef intptr_t INT_PTR;

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL WINAPI CloseHandle(HANDLE handle);
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped);
DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
BOOL WINAPI SetEndOfFile(HANDLE file);
DWORD WINAPI GetFileSize(HANDLE file, LPDWORD sizeHigh);
DWORD WINAPI GetFileAttributesA(LPCSTR name);
BOOL WINAPI SetFileAttributesA(LPCSTR name, DWORD attributes);
BOOL WINAPI DeleteFileA(LPCSTR name);
BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
/* fsync; the handle needs GENERIC_WRITE, as on Windows. */
BOOL WINAPI FlushFileBuffers(HANDLE file);
/* The length without the NUL when it fits in `size`, else the size needed
 * with the NUL (nothing stored); 0 on failure. */
DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buffer);
DWORD WINAPI GetCurrentProcessId(void);

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

/* The identity of a file: its volume serial number and file index. */
typedef struct _BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;

BOOL WINAPI GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes);
LPVOID WINAPI GlobalLock(HGLOBAL memory);
BOOL WINAPI GlobalUnlock(HGLOBAL memory);
HGLOBAL WINAPI GlobalFree(HGLOBAL memory);

/* ------------------------------------------------------------------------
 * Windows messages.  MSG, POINT, WNDPROC and the message numbers come from
 * kvx_posix.h, where Linux callers see them too.  As the filter of
 * PeekMessageA and GetMessageA, (HWND)-1 takes only the thread's messages
 * that were posted to no window.
 * ---------------------------------------------------------------------- */
BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT first, UINT last, UINT remove);
BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT first, UINT last);
BOOL WINAPI TranslateMessage(const MSG *msg);
LRESULT WINAPI DispatchMessageA(const MSG *msg);
void WINAPI PostQuitMessage(int exitCode);
BOOL WINAPI IsWindow(HWND window);
DWORD WINAPI GetCurrentThreadId(void);

/* The top-level window of a class, and with windowName not NULL also of
 * that title, both compared without regard to case; a NULL class takes any.
 * Only windows made with KVXPosixCreateClassWindow, of this process, have a
 * class: plain message windows are never found, as message-only windows on
 * Windows are not.  Of several, the one made last.  NULL when none is. */
HWND WINAPI FindWindowA(LPCSTR className, LPCSTR windowName);

#ifndef WM_NULL
#define WM_NULL 0x0000
#endif

/* Timers of a window.  WM_TIMER (wParam the timer's id, lParam 0) comes
 * from GetMessageA and PeekMessageA once the timer is due and no posted
 * message passes the filter; a timer has at most one WM_TIMER pending. */
#ifndef WM_TIMER
#define WM_TIMER 0x0113
#endif
#define USER_TIMER_MINIMUM 0x0000000Au
#define USER_TIMER_MAXIMUM 0x7FFFFFFFu
typedef void(CALLBACK *TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR id, UINT ms, TIMERPROC proc);
BOOL WINAPI KillTimer(HWND window, UINT_PTR id);

/* A modal dialog without a dialog template: a message window whose
 * procedure calls the DLGPROC and answers what it returns, and a message
 * loop until EndDialog.  The template's name is not looked at. */
#ifndef WM_INITDIALOG
#define WM_INITDIALOG 0x0110
#endif
typedef INT_PTR(CALLBACK *DLGPROC)(HWND, UINT, WPARAM, LPARAM);

INT_PTR WINAPI DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC proc, LPARAM param);
BOOL WINAPI EndDialog(HWND dialog, INT_PTR result);

/* ------------------------------------------------------------------------
 * Threads.
 * ---------------------------------------------------------------------- */
#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_ERROR_RETURN 0x7FFFFFFF

#define STILL_ACTIVE 259u
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu

typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID);

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start, LPVOID param,
                           DWORD flags, LPDWORD id);
BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD code);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD ms);
HANDLE WINAPI GetCurrentThread(void);
BOOL WINAPI SetThreadPriority(HANDLE thread, int priority);
int WINAPI GetThreadPriority(HANDLE thread);
void WINAPI Sleep(DWORD milliseconds);

/* ------------------------------------------------------------------------
 * Dynamic-link libraries (modules.cpp says where a name is looked for).
 * LoadLibraryA fails with ERROR_MOD_NOT_FOUND, GetProcAddress with
 * ERROR_PROC_NOT_FOUND, both with ERROR_INVALID_HANDLE for a handle that is
 * no module.
 * ---------------------------------------------------------------------- */
typedef INT_PTR(WINAPI *FARPROC)(void);

HMODULE WINAPI LoadLibraryA(LPCSTR name);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);
BOOL WINAPI FreeLibrary(HMODULE module);

/* ------------------------------------------------------------------------
 * The system's language, from the locale environment.
 * ---------------------------------------------------------------------- */
typedef DWORD LCID;
typedef WORD LANGID;
#ifndef MAKELANGID
#define MAKELANGID(primary, sub) ((WORD)((((WORD)(sub)) << 10) | (WORD)(primary)))
#define PRIMARYLANGID(lang) ((WORD)(lang) & 0x3ff)
#define SUBLANGID(lang) ((WORD)(lang) >> 10)
#endif

LCID WINAPI GetSystemDefaultLCID(void);
LANGID WINAPI GetSystemDefaultLangID(void);

/* ------------------------------------------------------------------------
 * The shell's file operations: deleting only.
 * ---------------------------------------------------------------------- */
#define FO_MOVE 0x0001u
#define FO_COPY 0x0002u
#define FO_DELETE 0x0003u
#define FO_RENAME 0x0004u
#define FOF_SILENT 0x0004u
#define FOF_NOCONFIRMATION 0x0010u
#define FOF_ALLOWUNDO 0x0040u
#define FOF_NOERRORUI 0x0400u

typedef WORD FILEOP_FLAGS;

typedef struct _SHFILEOPSTRUCTA {
    HWND hwnd;
    UINT wFunc;
    LPCSTR pFrom;
    LPCSTR pTo;
    FILEOP_FLAGS fFlags;
    BOOL fAnyOperationsAborted;
    LPVOID hNameMappings;
    LPCSTR lpszProgressTitle;
} SHFILEOPSTRUCTA, *LPSHFILEOPSTRUCTA;

int WINAPI SHFileOperationA(LPSHFILEOPSTRUCTA op);

/* ------------------------------------------------------------------------
 * Wave output and multimedia files.  The records are byte-packed, as the
 * Windows multimedia headers declare them.
 * ---------------------------------------------------------------------- */
typedef UINT MMRESULT;
typedef HWAVEOUT *LPHWAVEOUT;
typedef DWORD FOURCC;
typedef char *HPSTR;
typedef HANDLE HTASK;
typedef LRESULT(CALLBACK *LPMMIOPROC)(LPSTR, UINT, LPARAM, LPARAM);

#pragma pack(push, 1)
typedef struct tWAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
} WAVEFORMATEX, *PWAVEFORMATEX, *LPWAVEFORMATEX;
typedef const WAVEFORMATEX *LPCWAVEFORMATEX;

typedef struct mmtime_tag {
    UINT wType;
    union {
        DWORD ms;
        DWORD sample;
        DWORD cb;
        DWORD ticks;
        struct {
            BYTE hour;
            BYTE min;
            BYTE sec;
            BYTE frame;
            BYTE fps;
            BYTE dummy;
            BYTE pad[2];
        } smpte;
        struct {
            DWORD songptrpos;
        } midi;
    } u;
} MMTIME, *PMMTIME, *LPMMTIME;

typedef struct _MMIOINFO {
    DWORD dwFlags;
    FOURCC fccIOProc;
    LPMMIOPROC pIOProc;
    UINT wErrorRet;
    HTASK htask;
    LONG cchBuffer;
    HPSTR pchBuffer;
    HPSTR pchNext;
    HPSTR pchEndRead;
    HPSTR pchEndWrite;
    LONG lBufOffset;
    LONG lDiskOffset;
    DWORD adwInfo[3];
    DWORD dwReserved1;
    DWORD dwReserved2;
    HMMIO hmmio;
} MMIOINFO, *PMMIOINFO, *LPMMIOINFO;
#pragma pack(pop)

#define WAVE_FORMAT_PCM 1
#define WAVE_MAPPER ((UINT)-1)
#define WAVE_FORMAT_QUERY 0x0001u
#define WAVE_ALLOWSYNC 0x0002u
#define WAVE_MAPPED 0x0004u
#define WAVE_FORMAT_DIRECT 0x0008u

#define CALLBACK_TYPEMASK 0x00070000u
#define CALLBACK_NULL 0x00000000u
#define CALLBACK_WINDOW 0x00010000u
#define CALLBACK_TASK 0x00020000u
#define CALLBACK_THREAD CALLBACK_TASK
#define CALLBACK_FUNCTION 0x00030000u
#define CALLBACK_EVENT 0x00050000u

#define TIME_MS 0x0001u
#define TIME_SAMPLES 0x0002u
#define TIME_BYTES 0x0004u

#define MMSYSERR_NOERROR 0u
#define MMSYSERR_ERROR 1u
#define MMSYSERR_BADDEVICEID 2u
#define MMSYSERR_INVALHANDLE 5u
#define MMSYSERR_NODRIVER 6u
#define MMSYSERR_NOMEM 7u
#define MMSYSERR_NOTSUPPORTED 8u
#define MMSYSERR_INVALFLAG 10u
#define MMSYSERR_INVALPARAM 11u
#define WAVERR_BADFORMAT 32u
#define WAVERR_STILLPLAYING 33u
#define WAVERR_UNPREPARED 34u

UINT WINAPI waveOutGetNumDevs(void);
MMRESULT WINAPI waveOutOpen(LPHWAVEOUT device, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                            DWORD_PTR instance, DWORD flags);
MMRESULT WINAPI waveOutPrepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size);
MMRESULT WINAPI waveOutUnprepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size);
MMRESULT WINAPI waveOutWrite(HWAVEOUT device, LPWAVEHDR header, UINT size);
MMRESULT WINAPI waveOutPause(HWAVEOUT device);
MMRESULT WINAPI waveOutRestart(HWAVEOUT device);
MMRESULT WINAPI waveOutReset(HWAVEOUT device);
MMRESULT WINAPI waveOutGetPosition(HWAVEOUT device, LPMMTIME time, UINT size);
MMRESULT WINAPI waveOutClose(HWAVEOUT device);

#define MMIO_READ 0x00000000u
#define MMIO_WRITE 0x00000001u
#define MMIO_READWRITE 0x00000002u
#define MMIO_RWMODE 0x00000003u
#define MMIO_COMPAT 0x00000000u
#define MMIO_EXCLUSIVE 0x00000010u
#define MMIO_DENYWRITE 0x00000020u
#define MMIO_DENYREAD 0x00000030u
#define MMIO_DENYNONE 0x00000040u
#define MMIO_SHAREMODE 0x00000070u
#define MMIO_CREATE 0x00001000u
#define MMIO_ALLOCBUF 0x00010000u

#define MMIOERR_BASE 256u
#define MMIOERR_FILENOTFOUND (MMIOERR_BASE + 1)
#define MMIOERR_OUTOFMEMORY (MMIOERR_BASE + 2)
#define MMIOERR_CANNOTOPEN (MMIOERR_BASE + 3)
#define MMIOERR_CANNOTCLOSE (MMIOERR_BASE + 4)
#define MMIOERR_CANNOTREAD (MMIOERR_BASE + 5)
#define MMIOERR_CANNOTWRITE (MMIOERR_BASE + 6)
#define MMIOERR_CANNOTSEEK (MMIOERR_BASE + 7)
#define MMIOERR_PATHNOTFOUND (MMIOERR_BASE + 11)
#define MMIOERR_ACCESSDENIED (MMIOERR_BASE + 12)
#define MMIOERR_SHARINGVIOLATION (MMIOERR_BASE + 13)
#define MMIOERR_TOOMANYOPENFILES (MMIOERR_BASE + 15)

HMMIO WINAPI mmioOpenA(LPSTR name, LPMMIOINFO info, DWORD flags);
LONG WINAPI mmioRead(HMMIO file, HPSTR buffer, LONG bytes);
LONG WINAPI mmioWrite(HMMIO file, const char *buffer, LONG bytes);
LONG WINAPI mmioSeek(HMMIO file, LONG offset, int origin);
MMRESULT WINAPI mmioClose(HMMIO file, UINT flags);

#endif /* KVX_POSIX_WIN32_H */
