/*
 * Modal dialogs without a window system.
 *
 * There are no dialog templates here: DialogBoxParamA ignores the template's
 * name and makes a message window on the calling thread, whose procedure
 * calls the DLGPROC and answers with what it returns.  WM_INITDIALOG is sent
 * to it, and then a message loop runs until EndDialog is called for it; the
 * loop takes all of the thread's messages, so other windows of the thread,
 * messages sent from other threads and timers go on working.  As on
 * Windows, the loop ends on WM_QUIT too, returns 0 and posts the quit again
 * for the loop around it.  The window gets no messages at its end.
 */
#include <mutex>
#include <vector>

#include "objects.h"

namespace {

struct Dialog {
    HWND window = nullptr;
    DLGPROC proc = nullptr;
    bool ended = false; /* guarded by g_dialogs_lock */
    INT_PTR result = 0; /* guarded by g_dialogs_lock */
};

/* The running dialogs, so that EndDialog, which may come from any thread,
 * finds only a dialog that still runs. */
std::mutex g_dialogs_lock;
std::vector<Dialog *> g_dialogs; /* guarded by g_dialogs_lock */

LRESULT CALLBACK dialog_window(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *dialog = static_cast<Dialog *>(posix::window_user(window));
    return dialog != nullptr ? dialog->proc(window, message, wParam, lParam) : 0;
}

bool ended(const Dialog &dialog)
{
    std::lock_guard<std::mutex> guard(g_dialogs_lock);
    return dialog.ended;
}

/* Whether the dialog's window is still there: its procedure may destroy it,
 * and a new window may then get its address. */
bool alive(Dialog &dialog)
{
    return IsWindow(dialog.window) && posix::window_user(dialog.window) == &dialog;
}

void forget(Dialog *dialog)
{
    std::lock_guard<std::mutex> guard(g_dialogs_lock);
    for (auto it = g_dialogs.begin(); it != g_dialogs.end(); ++it) {
        if (*it == dialog) {
            g_dialogs.erase(it);
            break;
        }
    }
}

} // namespace

INT_PTR WINAPI DialogBoxParamA(HINSTANCE, LPCSTR, HWND owner, DLGPROC proc, LPARAM param)
{
    if (owner != nullptr && !IsWindow(owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    if (proc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    Dialog dialog;
    dialog.proc = proc;
    dialog.window = posix::create_window(dialog_window, &dialog);
    if (dialog.window == nullptr) return -1;
    {
        std::lock_guard<std::mutex> guard(g_dialogs_lock);
        g_dialogs.push_back(&dialog);
    }
    SendMessageA(dialog.window, WM_INITDIALOG, 0, param);

    bool quit = false;
    int quitCode = 0;
    while (!ended(dialog) && alive(dialog)) {
        MSG msg;
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) {
            quit = true;
            quitCode = static_cast<int>(msg.wParam);
            break;
        }
        if (got < 0) break;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }

    forget(&dialog);
    if (alive(dialog)) posix::destroy_window(dialog.window);
    if (quit) {
        PostQuitMessage(quitCode);
        return 0;
    }
    return dialog.result; /* 0 when the window went without EndDialog */
}

BOOL WINAPI EndDialog(HWND window, INT_PTR result)
{
    const bool otherThread = !posix::window_of_this_thread(window);
    {
        std::lock_guard<std::mutex> guard(g_dialogs_lock);
        Dialog *dialog = nullptr;
        for (Dialog *running : g_dialogs)
            if (running->window == window) dialog = running;
        if (dialog == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        dialog->ended = true;
        dialog->result = result;
    }
    /* The dialog's loop may be waiting for a message. */
    if (otherThread) PostMessageA(window, WM_NULL, 0, 0);
    return TRUE;
}
