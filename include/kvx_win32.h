/*
 * kvx_win32.h - the few Windows types that the kvx interface uses, for
 * builds outside Windows.  On Windows <windows.h> and <mmsystem.h> supply
 * them; elsewhere this header gives them the same sizes and layouts, so a
 * caller's code reads the same on both systems.
 */
#ifndef KVX_WIN32_H
#define KVX_WIN32_H

#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>
#else
#include <stddef.h>
#include <stdint.h>

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef void *HANDLE;
typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HWAVEOUT__ *HWAVEOUT;
typedef struct HMMIO__ *HMMIO;
typedef HANDLE HGLOBAL;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* One buffer handed to the wave-output device. */
typedef struct wavehdr_tag {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    struct wavehdr_tag *lpNext;
    DWORD_PTR reserved;
} WAVEHDR, *LPWAVEHDR;

#define WHDR_DONE 0x00000001u
#define WHDR_PREPARED 0x00000002u
#define WHDR_BEGINLOOP 0x00000004u
#define WHDR_ENDLOOP 0x00000008u
#define WHDR_INQUEUE 0x00000010u

#endif /* _WIN32 */
#endif /* KVX_WIN32_H */
