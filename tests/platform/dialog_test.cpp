// Threads of CreateThread, and the modal dialog that runs a worker.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "helpers.h"

namespace {

constexpr UINT kDone = WM_USER + 2;

struct Worker {
    std::atomic<HWND> window{nullptr};
    std::atomic<bool> release{false};
};

// Thread-local cleanup that takes its time once the routine returned; made
// after the window, it runs before the queue's own.
struct SlowEnd {
    ~SlowEnd() { Sleep(50); }
};
thread_local SlowEnd t_slow_end;

DWORD WINAPI worker_main(LPVOID param)
{
    auto *worker = static_cast<Worker *>(param);
    worker->window = KVXPosixCreateWindow(kvxtest::log_proc, nullptr);
    (void)&t_slow_end;
    while (!worker->release) Sleep(1);
    return 33;
}

TEST(Threads, CreateThreadKeepsTheExitCodeForTheHandle)
{
    Worker worker;
    DWORD id = 0, code = 0;
    HANDLE thread = CreateThread(nullptr, 0, worker_main, &worker, 0, &id);
    ASSERT_NE(thread, nullptr);
    while (worker.window.load() == nullptr) Sleep(1);
    EXPECT_NE(id, GetCurrentThreadId());
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
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
}

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
    for (WPARAM i = 0; i < 50; ++i) SendMessageA(static_cast<HWND>(param), WM_COMMAND, i, 0);
    PostMessageA(static_cast<HWND>(param), kDone, 0, 4242);
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
    run->otherThread |= GetCurrentThreadId() != run->thread;
    if (message == WM_COMMAND) run->commands.push_back(wParam);
    if (message == kDone) {
        run->done = lParam;
        SetTimer(dialog, 1, 5, nullptr);
    }
    if (message == WM_TIMER && GetExitCodeThread(run->worker, &run->exitCode) && run->exitCode != STILL_ACTIVE) {
        KillTimer(dialog, 1);
        EndDialog(dialog, run->done);
    }
    return TRUE;
}

TEST(Dialog, RunsUntilEndDialogTakingMessagesSentFromAWorker)
{
    kvxtest::drain_queue();
    DialogRun run;
    run.thread = GetCurrentThreadId();
    EXPECT_EQ(DialogBoxParamA(nullptr, "ANY", nullptr, worker_dialog, reinterpret_cast<LPARAM>(&run)), 4242);
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
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(msg.wParam, 5u);
    EXPECT_FALSE(EndDialog(window, 1)) << "no dialog";
    EXPECT_TRUE(log.messages.empty());
    KVXPosixDestroyWindow(window);
}

} // namespace
