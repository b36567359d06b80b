/* The message calls for Linux callers (kvx_posix.h), exported by the library. */
#include "kvx_posix.h"
#include "objects.h"

extern "C" {

KVX_POSIX_EXPORT HWND KVXPosixCreateWindow(WNDPROC proc, void *user)
{
    return posix::create_window(proc, user);
}

KVX_POSIX_EXPORT HWND KVXPosixCreateClassWindow(const char *className, const char *title, WNDPROC proc, void *user)
{
    return posix::create_class_window(className, title, proc, user);
}

KVX_POSIX_EXPORT BOOL KVXPosixDestroyWindow(HWND window)
{
    return posix::destroy_window(window) ? TRUE : FALSE;
}

KVX_POSIX_EXPORT void *KVXPosixGetWindowUser(HWND window)
{
    return posix::window_user(window);
}

KVX_POSIX_EXPORT BOOL KVXPosixGetMessage(MSG *msg, HWND window, UINT first, UINT last)
{
    return GetMessageA(msg, window, first, last);
}

KVX_POSIX_EXPORT BOOL KVXPosixPeekMessage(MSG *msg, HWND window, UINT first, UINT last, UINT remove)
{
    return PeekMessageA(msg, window, first, last, remove);
}

KVX_POSIX_EXPORT LRESULT KVXPosixDispatchMessage(const MSG *msg)
{
    return DispatchMessageA(msg);
}

KVX_POSIX_EXPORT BOOL KVXPosixPostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return PostMessageA(window, message, wParam, lParam);
}

KVX_POSIX_EXPORT LRESULT KVXPosixSendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return SendMessageA(window, message, wParam, lParam);
}

KVX_POSIX_EXPORT void KVXPosixPostQuitMessage(int exitCode)
{
    PostQuitMessage(exitCode);
}

KVX_POSIX_EXPORT DWORD KVXPosixGetLastError(void)
{
    return GetLastError();
}

} // extern "C"
