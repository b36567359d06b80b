/*
 * objects.h - what a HANDLE of the posix layer points to.
 *
 * Every object starts with a kind tag, so that CloseHandle and the calls
 * that take a handle can refuse a stale one or one of the wrong kind with
 * ERROR_INVALID_HANDLE as Windows does.
 */
#ifndef KVX_POSIX_OBJECTS_H
#define KVX_POSIX_OBJECTS_H

#include <stdint.h>

#include "win32.h"

namespace posix {

enum ObjectKind : uint32_t {
    kObjectFree = 0,
    kObjectFile = 0x454C4946u,    /* "FILE" */
    kObjectWindow = 0x444E4957u,  /* "WIND" */
    kObjectWaveOut = 0x45564157u, /* "WAVE" */
    kObjectMmio = 0x4F494D4Du,    /* "MMIO" */
    kObjectThread = 0x44524854u,  /* "THRD" */
    kObjectModule = 0x4C444F4Du,  /* "MODL" */
};

struct Object {
    uint32_t kind;
};

/* Live objects are registered, so that a handle that was closed or never
 * issued is told apart without touching memory it does not own. */
void register_object(Object *object);
void unregister_object(Object *object);

/* The kind of the live object behind a handle, or kObjectFree for none. */
uint32_t object_kind(HANDLE handle);

/* Closes a file handle; false (with the error set) when it is not one. */
bool close_file(HANDLE handle);

/* Message windows (messages.cpp).  A window belongs to the thread that
 * creates it, and only that thread destroys it. */
HWND create_window(WNDPROC proc, void *user);
bool destroy_window(HWND window);
void *window_user(HWND window);
/* A message window with a class name and a title, which FindWindowA finds
 * (null class: ERROR_INVALID_PARAMETER). */
HWND create_class_window(const char *className, const char *title, WNDPROC proc, void *user);
/* Whether `window` is a live window of the calling thread. */
bool window_of_this_thread(HWND window);
/* Ends the calling thread's queue and windows now, as its end would. */
void end_thread_messages();

/* Closes a thread handle of CreateThread (threads.cpp); the thread runs on. */
bool close_thread(HANDLE handle);

/* Maps an errno value to the Win32 error that the same failure gives. */
DWORD error_from_errno(int err);

} // namespace posix

#endif /* KVX_POSIX_OBJECTS_H */
