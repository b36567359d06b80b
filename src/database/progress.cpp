/*
 * The progress dialog: a modal dialog on the caller's thread, the job on a
 * worker thread.
 *
 * The dialog starts a 100 ms timer when it is made; the timer sets the
 * message and starts the worker.  The worker sends progress (WM_COMMAND 202,
 * lParam = (total << 16) | done), which the dialog draws into its bar as
 * "<percent> %" in white on blue up to the done part and blue on white
 * after it, and posts the completion message (WM_USER + 500) with its
 * result as lParam.  The dialog then waits for the worker to exit and ends
 * with that result, so the caller sees a failure behind the dialog.
 *
 * Off Windows the same dialog procedure runs in the platform layer's modal
 * loop, and what it would draw goes to the host's progress hook.
 */
#include "database/progress.h"

#include <cstdio>
#include <cstring>

#include "core/state.h"
#include "kvx_progress.h"

namespace kvx {

namespace {

/* Long enough for every language's message (some pass 100 bytes). */
constexpr int kTextBytes = 256;

const ProgressLanguage *g_language = nullptr;

/* The dialog and its job, while one is up.  The worker writes only through
 * the messages it sends and posts. */
struct ProgressDialog {
    volatile bool showing;
    HWND dialog;
    HANDLE worker;
    ProgressWork work;
    void *context;
    volatile uint32_t result; /* the work's result, also when its message is lost */
    volatile bool done;       /* the work has run */
    uint32_t textIndex;
#ifdef _WIN32
    HWND bar;
    HFONT font;
#endif
};
ProgressDialog g_dialog;

#ifndef _WIN32
KVXProgressHook g_hook = nullptr;
void *g_hookUser = nullptr;

void tell_hook(int event, uint32_t done, uint32_t total, uint32_t result)
{
    if (g_hook == nullptr) return;
    char text[kTextBytes];
    char percent[16];
    progress_text(g_dialog.textIndex, text, sizeof text);
    progress_percent_text(done, total, percent, sizeof percent);
    KVXProgress p{};
    p.event = event;
    p.dialog = progress_language().dialog;
    p.stringId = progress_language().stringBase | g_dialog.textIndex;
    p.text = text;
    p.done = done;
    p.total = total;
    p.percent = total == 0 ? 0 : static_cast<unsigned>(uint64_t{done} * 100 / total);
    p.percentText = percent;
    p.barPerMille = static_cast<unsigned>(progress_bar_split(0, 1000, done, total));
    p.result = result;
    g_hook(&p, g_hookUser);
}
#endif

DWORD WINAPI worker_main(LPVOID)
{
    const uint32_t result = g_dialog.work(g_dialog.context);
    g_dialog.result = result;
    g_dialog.done = true;
    PostMessageA(g_dialog.dialog, kWorkerDoneMessage, 0, static_cast<LPARAM>(result));
    return 1;
}

#ifdef _WIN32
void draw_bar(uint32_t done, uint32_t total)
{
    char text[16];
    progress_percent_text(done, total, text, sizeof text);
    const int length = static_cast<int>(std::strlen(text));
    RECT client;
    if (g_dialog.bar == nullptr || !GetClientRect(g_dialog.bar, &client)) return;
    HDC dc = GetDC(g_dialog.bar);
    if (dc == nullptr) return;
    HGDIOBJ old_font = g_dialog.font != nullptr ? SelectObject(dc, g_dialog.font) : nullptr;
    SIZE extent{};
    GetTextExtentPoint32A(dc, text, length, &extent);
    const int split = progress_bar_split(client.left, client.right, done, total);
    const int x = client.right / 2;
    const int y = (client.top + client.bottom - extent.cy) / 2;
    RECT blue{client.left, client.top, split, client.bottom};
    SetBkColor(dc, RGB(0, 0, 255));
    SetTextColor(dc, RGB(255, 255, 255));
    ExtTextOutA(dc, x, y, ETO_OPAQUE | ETO_CLIPPED, &blue, text, static_cast<UINT>(length), nullptr);
    RECT white{split, client.top, client.right, client.bottom};
    SetBkColor(dc, RGB(255, 255, 255));
    SetTextColor(dc, RGB(0, 0, 255));
    ExtTextOutA(dc, x, y, ETO_OPAQUE | ETO_CLIPPED, &white, text, static_cast<UINT>(length), nullptr);
    if (old_font != nullptr) SelectObject(dc, old_font);
    ReleaseDC(g_dialog.bar, dc);
}
#endif

/* The font goes with the dialog, also with one that ended early. */
void release_drawing()
{
#ifdef _WIN32
    if (g_dialog.font != nullptr) DeleteObject(g_dialog.font);
    g_dialog.font = nullptr;
    g_dialog.bar = nullptr;
#endif
}

INT_PTR CALLBACK dialog_procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        g_dialog.showing = true;
        g_dialog.dialog = dialog;
#ifdef _WIN32
        g_dialog.bar = GetDlgItem(dialog, kProgressBarControl);
        g_dialog.font = CreateFontA(14, 5, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                                    CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH, "Arial");
#endif
        SetTimer(dialog, kProgressTimer, 100, nullptr);
        return TRUE;
    case WM_TIMER: {
        if (wParam != kProgressTimer) return FALSE;
        KillTimer(dialog, kProgressTimer);
#ifdef _WIN32
        char text[kTextBytes];
        progress_text(g_dialog.textIndex, text, sizeof text);
        SetDlgItemTextA(dialog, kProgressTextControl, text);
#else
        tell_hook(KVX_PROGRESS_OPEN, 0, 0, 0);
#endif
        DWORD id = 0;
        g_dialog.worker = CreateThread(nullptr, 0, worker_main, nullptr, 0, &id);
        /* No worker: the job runs here, and ends the dialog the same way. */
        if (g_dialog.worker == nullptr) worker_main(nullptr);
        return TRUE;
    }
    case WM_COMMAND:
        if (wParam != kProgressCommand) return FALSE;
#ifdef _WIN32
        draw_bar(static_cast<uint32_t>(lParam) & 0xFFFF, (static_cast<uint32_t>(lParam) >> 16) & 0xFFFF);
#else
        tell_hook(KVX_PROGRESS_STEP, static_cast<uint32_t>(lParam) & 0xFFFF,
                  (static_cast<uint32_t>(lParam) >> 16) & 0xFFFF, 0);
#endif
        return TRUE;
    case kWorkerDoneMessage: {
        if (g_dialog.worker != nullptr) {
            DWORD code = 0;
            while (GetExitCodeThread(g_dialog.worker, &code) && code != 1) Sleep(1);
            CloseHandle(g_dialog.worker);
            g_dialog.worker = nullptr;
        }
        release_drawing();
#ifndef _WIN32
        tell_hook(KVX_PROGRESS_CLOSE, 0, 0, static_cast<uint32_t>(lParam));
#endif
        g_dialog.showing = false;
        EndDialog(dialog, static_cast<INT_PTR>(lParam));
        return TRUE;
    }
    default: return FALSE;
    }
}

} // namespace

void choose_progress_language()
{
    g_language = &progress_language_for(static_cast<uint32_t>(GetSystemDefaultLCID()));
}

const ProgressLanguage &progress_language()
{
    if (g_language == nullptr) choose_progress_language();
    return *g_language;
}

uint32_t progress_text_index(int job, int32_t conversion_request)
{
    if (job == kJobEdit) return 1;
    return conversion_request == 2 ? 2 : 0;
}

void progress_text(uint32_t text_index, char *out, size_t out_bytes)
{
    if (out_bytes == 0) return;
    if (text_index > 2) text_index = 0;
    const ProgressLanguage &language = progress_language();
    const char *text = language.utf8[text_index];
#ifdef _WIN32
    if (language.stringBase == 4352) {
        text = kShiftJisTexts[text_index];
    } else if (language.stringBase == 1024) {
        text = kBig5Text;
    } else if (LoadStringA(g_instance, language.stringBase | text_index, out, static_cast<int>(out_bytes)) > 0) {
        return;
    }
#endif
    std::snprintf(out, out_bytes, "%s", text);
}

void progress_percent_text(uint32_t done, uint32_t total, char *out, size_t out_bytes)
{
    const uint64_t percent = total == 0 ? 0 : uint64_t{done} * 100 / total;
    std::snprintf(out, out_bytes, "%u %%", static_cast<unsigned>(percent));
}

int32_t progress_bar_split(int32_t left, int32_t right, uint32_t done, uint32_t total)
{
    if (total == 0) return left;
    return static_cast<int32_t>(left + static_cast<int64_t>(right - left) * done / total);
}

uint32_t run_under_progress(int job, int32_t conversion_request, ProgressWork work, void *context)
{
    /* One dialog at a time: a job asked for while one runs runs directly. */
    if (g_dialog.showing) return work(context);
    g_dialog.work = work;
    g_dialog.context = context;
    g_dialog.textIndex = progress_text_index(job, conversion_request);
    g_dialog.worker = nullptr;
    g_dialog.done = false;
    g_dialog.result = 0;
    DialogBoxParamA(g_instance, progress_language().dialog, g_decoder.window, dialog_procedure, 0);
    if (g_dialog.worker != nullptr) {
        /* The dialog ended before the completion message (a quit message
         * ends a modal loop): the work owns the file until it ends. */
        WaitForSingleObject(g_dialog.worker, INFINITE);
        CloseHandle(g_dialog.worker);
        g_dialog.worker = nullptr;
    }
    release_drawing();
    g_dialog.showing = false;
    /* The dialog could not be made, or ended before its timer started the
     * work: the work is not to fail for that, it runs here. */
    if (!g_dialog.done) return work(context);
    return g_dialog.result;
}

void progress_report(uint32_t total, uint32_t done)
{
    if (!g_dialog.showing) return;
    SendMessageA(g_dialog.dialog, WM_COMMAND, kProgressCommand,
                 static_cast<LPARAM>((static_cast<uint32_t>(total & 0xFFFF) << 16) | (done & 0xFFFF)));
}

bool progress_showing()
{
    return g_dialog.showing;
}

} // namespace kvx

#ifndef _WIN32
extern "C" KVX_PROGRESS_EXPORT void KVXPosixSetProgressHook(KVXProgressHook hook, void *user)
{
    kvx::g_hook = hook;
    kvx::g_hookUser = user;
}
#endif
