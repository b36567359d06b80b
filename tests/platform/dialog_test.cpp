// Threads of CreateThread, and the modal dialog that runs a worker.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "helpers.h"

namespace {

constexpr UINT kDone = WM_USER + 2;

// Thread-local cleanup that takes its time once the routine returned; made
// after the window, it runs before the queue's own.
struct SlowEnd {
    ~SlowEnd() { Sleep(50); }
};
thread_local SlowEnd t_slow_end;
std::atomic<HWND> g_window{nullptr};
std::atomic<bool> g_release{false};

DWORD WINAPI worker_main(LPVOID)
{
    static kvxtest::WindowLog log;
    g_window = KVXPosixCreateWindow(kvxtest::log_proc, &log);
    (void)&t_slow_end;
    while (!g_release) Sleep(1);
    return 33;
}

TEST(Threads, CreateThreadKeepsTheExitCodeForTheHandle)
{
    DWORD id = 0, code = 0;
    g_window = nullptr, g_release = false;
    HANDLE thread = CreateThread(nullptr, 0, worker_main, nullptr, 0, &id);
    while (g_window.load() == nullptr) Sleep(1);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_TRUE(GetExitCodeThread(thread, &code) && code == STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
    // A message sent to the thread's window, which never takes it, is
    // answered with 0 when the thread ends.
    std::atomic<LRESULT> sent{-1};
    std::thread sender([&] { sent = SendMessageA(g_window, kDone, 0, 0); });
    Sleep(20);
    EXPECT_EQ(sent.load(), -1);
    g_release = true;
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_FALSE(IsWindow(g_window)) << "the thread's windows went before the handle was signalled";
    sender.join();
    EXPECT_EQ(sent.load(), 0);
    EXPECT_TRUE(GetExitCodeThread(thread, &code) && code == 33u);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_FALSE(CloseHandle(thread));
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
}

TEST(Threads, PriorityIsKeptPerThreadAndNeverRefusedForPermission)
{
    // Raising needs a privilege that a plain user lacks: it succeeds anyway.
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_HIGHEST);
    std::thread([] { EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL); }).join();
    EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 7));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL));
}

// As the library's progress dialog: a worker sends WM_COMMAND and posts
// kDone; the dialog then polls on a timer until the worker has ended and
// ends with kDone's lParam.
struct DialogRun {
    DWORD thread = GetCurrentThreadId();
    HANDLE worker = nullptr;
    std::vector<WPARAM> commands;
    bool otherThread = false;
    LPARAM done = 0;
    DWORD exitCode = 0;
} *g_run;

DWORD WINAPI sender_main(LPVOID dialog)
{
    for (WPARAM i = 0; i < 50; ++i) SendMessageA(static_cast<HWND>(dialog), WM_COMMAND, i, 0);
    PostMessageA(static_cast<HWND>(dialog), kDone, 0, 4242);
    return 17;
}

INT_PTR CALLBACK worker_dialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    DialogRun &run = *g_run;
    run.otherThread |= GetCurrentThreadId() != run.thread;
    if (message == WM_INITDIALOG) run.worker = CreateThread(nullptr, 0, sender_main, dialog, 0, nullptr);
    if (message == WM_COMMAND) run.commands.push_back(wParam);
    if (message == kDone) {
        run.done = lParam;
        SetTimer(dialog, 1, 5, nullptr);
    }
    if (message == WM_TIMER && GetExitCodeThread(run.worker, &run.exitCode) && run.exitCode != STILL_ACTIVE) {
        KillTimer(dialog, 1);
        EndDialog(dialog, run.done);
    }
    return TRUE;
}

TEST(Dialog, RunsUntilEndDialogTakingMessagesSentFromAWorker)
{
    kvxtest::drain_queue();
    DialogRun run;
    g_run = &run;
    EXPECT_EQ(DialogBoxParamA(nullptr, "ANY", nullptr, worker_dialog, 0), 4242);
    ASSERT_EQ(run.commands.size(), 50u);
    for (WPARAM i = 0; i < 50; ++i) EXPECT_EQ(run.commands[i], i);
    EXPECT_FALSE(run.otherThread) << "the procedure runs on the dialog's thread";
    EXPECT_EQ(run.exitCode, 17u);
    EXPECT_TRUE(CloseHandle(run.worker));
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

// Ends at once with lParam as the result, or quits with lParam's code.
INT_PTR CALLBACK short_dialog(HWND dialog, UINT message, WPARAM, LPARAM lParam)
{
    if (message != WM_INITDIALOG) return FALSE;
    if (lParam < 0) PostQuitMessage(static_cast<int>(-lParam));
    else EndDialog(dialog, lParam);
    return TRUE;
}

TEST(Dialog, EndsAtOnceOnQuitAndRefusesBadArguments)
{
    kvxtest::drain_queue();
    kvxtest::WindowLog log;
    HWND window = KVXPosixCreateWindow(kvxtest::log_proc, &log), gone = KVXPosixCreateWindow(kvxtest::log_proc, &log);
    KVXPosixDestroyWindow(gone);
    const struct {
        HWND owner;
        DLGPROC proc;
        LPARAM param;
        INT_PTR result;
    } cases[] = {{nullptr, short_dialog, 9, 9}, {window, short_dialog, 3, 3},
                 {nullptr, short_dialog, -5, 0}, // WM_QUIT ends it with 0
                 {gone, short_dialog, 1, -1},    {window, nullptr, 1, -1}};
    for (const auto &c : cases) EXPECT_EQ(DialogBoxParamA(nullptr, nullptr, c.owner, c.proc, c.param), c.result);
    // The quit is posted again for the loop outside.
    MSG msg;
    EXPECT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) && msg.message == WM_QUIT && msg.wParam == 5u);
    EXPECT_FALSE(EndDialog(window, 1)) << "no dialog";
    EXPECT_TRUE(log.messages.empty());
    KVXPosixDestroyWindow(window);
}

} // namespace
