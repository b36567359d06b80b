// Threads of CreateThread, and the modal dialog that runs a worker.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "helpers.h"

using kvxtest::drain_queue;
using kvxtest::log_proc;
using kvxtest::WindowLog;

namespace {

constexpr UINT kDone = WM_USER + 2;

struct Worker {
    std::atomic<HWND> window{nullptr};
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
    DWORD id = 0;
};

LRESULT CALLBACK quiet_proc(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}

// Other thread-local cleanup that takes its time once the routine returned;
// made after the window, it runs before the queue's own.
struct SlowEnd {
    ~SlowEnd() { Sleep(50); }
};
thread_local SlowEnd t_slow_end;

DWORD WINAPI worker_main(LPVOID param)
{
    auto *worker = static_cast<Worker *>(param);
    worker->id = GetCurrentThreadId();
    worker->window = KVXPosixCreateWindow(quiet_proc, nullptr);
    (void)&t_slow_end;
    while (!worker->release) Sleep(1);
    worker->finished = true;
    return 33;
}

} // namespace

TEST(Threads, CreateThreadKeepsTheExitCodeForTheHandle)
{
    Worker worker;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, worker_main, &worker, 0, &id);
    ASSERT_NE(thread, nullptr);
    while (worker.window.load() == nullptr) Sleep(1);
    EXPECT_EQ(id, worker.id);
    EXPECT_NE(id, GetCurrentThreadId());

    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
    worker.release = true;
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 33u);
    EXPECT_FALSE(IsWindow(worker.window)) << "the thread's windows went before the handle was signalled";

    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_FALSE(CloseHandle(thread));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);

    // Closing the handle does not stop the thread.
    Worker detached;
    thread = CreateThread(nullptr, 0, worker_main, &detached, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    detached.release = true;
    while (!detached.finished) Sleep(1);
}

namespace {

constexpr int kCommands = 50;

// What the dialog's procedure saw.
struct DialogRun {
    DWORD thread = 0;
    HANDLE worker = nullptr;
    std::vector<WPARAM> commands;
    bool otherThread = false;
    LPARAM done = 0;
    DWORD exitCode = 0;
};

DWORD WINAPI sender_main(LPVOID param)
{
    HWND dialog = static_cast<HWND>(param);
    for (int i = 0; i < kCommands; ++i) SendMessageA(dialog, WM_COMMAND, static_cast<WPARAM>(i), 0);
    PostMessageA(dialog, kDone, 0, 4242);
    return 17;
}

// Starts a worker that sends WM_COMMAND; once it posts kDone, polls on a
// timer until the worker has ended and ends with kDone's lParam.
INT_PTR CALLBACK worker_dialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    static DialogRun *run = nullptr;
    if (message == WM_INITDIALOG) {
        run = reinterpret_cast<DialogRun *>(lParam);
        run->worker = CreateThread(nullptr, 0, sender_main, dialog, 0, nullptr);
        return TRUE;
    }
    if (run == nullptr) return FALSE;
    run->otherThread |= GetCurrentThreadId() != run->thread;
    switch (message) {
    case WM_COMMAND: run->commands.push_back(wParam); return TRUE;
    case kDone:
        run->done = lParam;
        SetTimer(dialog, 1, 5, nullptr);
        return TRUE;
    case WM_TIMER:
        GetExitCodeThread(run->worker, &run->exitCode);
        if (run->exitCode != STILL_ACTIVE) {
            KillTimer(dialog, 1);
            EndDialog(dialog, run->done);
        }
        return TRUE;
    default: return FALSE;
    }
}

// Ends at once with lParam as the result, or quits with lParam's code.
INT_PTR CALLBACK short_dialog(HWND dialog, UINT message, WPARAM, LPARAM lParam)
{
    if (message != WM_INITDIALOG) return FALSE;
    if (lParam < 0) PostQuitMessage(static_cast<int>(-lParam));
    else EndDialog(dialog, lParam);
    return TRUE;
}

} // namespace

TEST(Dialog, RunsUntilEndDialogTakingMessagesSentFromAWorker)
{
    drain_queue();
    DialogRun run;
    run.thread = GetCurrentThreadId();
    EXPECT_EQ(DialogBoxParamA(nullptr, "ANY", nullptr, worker_dialog, reinterpret_cast<LPARAM>(&run)), 4242);
    ASSERT_EQ(run.commands.size(), static_cast<size_t>(kCommands));
    for (int i = 0; i < kCommands; ++i) EXPECT_EQ(run.commands[i], static_cast<WPARAM>(i));
    EXPECT_FALSE(run.otherThread) << "the procedure runs on the dialog's thread";
    EXPECT_EQ(run.exitCode, 17u);
    EXPECT_TRUE(CloseHandle(run.worker));
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST(Dialog, EndsAtOnceOnQuitAndRefusesBadArguments)
{
    drain_queue();
    EXPECT_EQ(DialogBoxParamA(nullptr, nullptr, nullptr, short_dialog, 9), 9) << "ended in WM_INITDIALOG";

    // WM_QUIT ends the loop with 0 and is posted again for the loop outside.
    EXPECT_EQ(DialogBoxParamA(nullptr, nullptr, nullptr, short_dialog, -5), 0);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(msg.wParam, 5u);

    WindowLog log;
    HWND window = KVXPosixCreateWindow(log_proc, &log);
    HWND gone = KVXPosixCreateWindow(log_proc, &log);
    KVXPosixDestroyWindow(gone);
    EXPECT_EQ(DialogBoxParamA(nullptr, nullptr, gone, short_dialog, 1), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(DialogBoxParamA(nullptr, nullptr, window, nullptr, 1), -1);
    EXPECT_EQ(DialogBoxParamA(nullptr, nullptr, window, short_dialog, 3), 3) << "a live owner";
    EXPECT_FALSE(EndDialog(window, 1));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_TRUE(log.messages.empty());
    KVXPosixDestroyWindow(window);
}
