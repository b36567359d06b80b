// Window messages: per-thread queues, posting and sending across threads,
// filters and WM_QUIT, as Windows has them.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "window_log.h"

using kvxtest::log_proc;
using kvxtest::Received;
using kvxtest::WindowLog;
using kvxtest::drain_queue;

namespace {

constexpr UINT kPing = WM_USER + 1;
constexpr UINT kPong = WM_USER + 2;


constexpr UINT kQuitRequest = WM_USER + 99;

// Logs like log_proc; kQuitRequest ends the thread's loop from the thread.
LRESULT CALLBACK pump_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kQuitRequest) PostQuitMessage(7);
    return log_proc(window, message, wParam, lParam);
}

// A thread that owns a window and pumps it until WM_QUIT.
class PumpThread {
public:
    PumpThread()
    {
        std::unique_lock<std::mutex> lock(lock_);
        thread_ = std::thread([this] {
            HWND window = KVXPosixCreateWindow(pump_proc, &log_);
            {
                std::lock_guard<std::mutex> guard(lock_);
                window_ = window;
                id_ = GetCurrentThreadId();
            }
            ready_.notify_all();
            MSG msg;
            while (KVXPosixGetMessage(&msg, nullptr, 0, 0) > 0) KVXPosixDispatchMessage(&msg);
            exitCode_ = static_cast<int>(msg.wParam);
        });
        ready_.wait(lock, [this] { return window_ != nullptr; });
    }
    ~PumpThread()
    {
        if (thread_.joinable()) stop();
    }
    // Ends the loop; returns the exit code that WM_QUIT carried.
    int stop()
    {
        PostMessageA(window_, kQuitRequest, 0, 0);
        thread_.join();
        return exitCode_;
    }
    HWND window() const { return window_; }
    DWORD id() const { return id_; }
    WindowLog &log() { return log_; }

private:
    WindowLog log_;
    std::mutex lock_;
    std::condition_variable ready_;
    HWND window_ = nullptr;
    DWORD id_ = 0;
    int exitCode_ = -1;
    std::thread thread_;
};

} // namespace

TEST(Messages, EachThreadHasItsOwnQueue)
{
    drain_queue();
    WindowLog mine;
    HWND window = KVXPosixCreateWindow(log_proc, &mine);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(KVXPosixGetWindowUser(window), &mine);

    // A thread message posted on another thread stays there.
    std::thread other([] {
        ASSERT_TRUE(PostMessageA(nullptr, kPing, 1, 2));
        MSG msg;
        ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(msg.hwnd, nullptr);
        EXPECT_EQ(msg.message, kPing);
    });
    other.join();
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));

    // A message posted from another thread to this thread's window queues here.
    std::thread poster([window] { EXPECT_TRUE(PostMessageA(window, kPing, 3, 4)); });
    poster.join();
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, window);
    EXPECT_EQ(msg.message, kPing);
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_EQ(msg.lParam, 4);
    EXPECT_EQ(mine.messages.size(), 0u) << "posting does not call the procedure";
    EXPECT_EQ(DispatchMessageA(&msg), static_cast<LRESULT>(kPing));
    ASSERT_EQ(mine.messages.size(), 1u);
    EXPECT_EQ(mine.messages[0].thread, GetCurrentThreadId());
    EXPECT_TRUE(KVXPosixDestroyWindow(window));
}

TEST(Messages, PostedMessagesArriveInOrderFromManyThreads)
{
    drain_queue();
    PumpThread pump;
    constexpr int kThreads = 4, kEach = 200;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([&pump, t] {
            for (int i = 0; i < kEach; ++i) EXPECT_TRUE(PostMessageA(pump.window(), kPing, t, i));
        });
    for (auto &p : posters) p.join();
    ASSERT_TRUE(kvxtest::pump_until([&] { return pump.log().count(kPing) == kThreads * kEach; }));
    std::vector<Received> got = pump.log().of(kPing);
    std::vector<int> next(kThreads, 0);
    for (const Received &r : got) {
        EXPECT_EQ(r.thread, pump.id());
        EXPECT_EQ(r.lParam, next[r.wParam]++) << "from thread " << r.wParam;
    }
    HWND window = pump.window();
    EXPECT_EQ(pump.stop(), 7) << "GetMessage ends the loop with the quit's code";
    EXPECT_FALSE(IsWindow(window)) << "the window ended with its thread";
}

TEST(Messages, SendMessageOnTheOwnerThreadCallsTheProcedureAtOnce)
{
    drain_queue();
    WindowLog log;
    log.answer = 1000;
    HWND window = KVXPosixCreateWindow(log_proc, &log);
    EXPECT_EQ(SendMessageA(window, kPing, 5, 6), static_cast<LRESULT>(1000 + kPing));
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.messages[0].wParam, 5u);
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) << "nothing is queued";
    KVXPosixDestroyWindow(window);
}

TEST(Messages, SendMessageFromAnotherThreadRunsOnTheOwnerAndWaitsForIt)
{
    drain_queue();
    WindowLog log;
    log.answer = 50;
    HWND window = KVXPosixCreateWindow(log_proc, &log);
    std::atomic<bool> returned{false};
    LRESULT result = 0;
    std::thread sender([&] {
        result = SendMessageA(window, kPing, 1, 2);
        returned = true;
    });
    // The owner is not pumping: the sender waits.
    Sleep(30);
    EXPECT_FALSE(returned.load());
    EXPECT_EQ(log.count(kPing), 0u);
    // A peek for something else still takes the sent message.
    MSG msg;
    ASSERT_TRUE(kvxtest::pump_until([&] {
        PeekMessageA(&msg, window, kPong, kPong, PM_NOREMOVE);
        return returned.load();
    }));
    sender.join();
    EXPECT_EQ(result, static_cast<LRESULT>(50 + kPing));
    ASSERT_EQ(log.count(kPing), 1u);
    EXPECT_EQ(log.of(kPing)[0].thread, GetCurrentThreadId());
    KVXPosixDestroyWindow(window);
}

// Answers kPing by first sending kPong to the window that wParam names.
LRESULT CALLBACK bounce_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kPing) return SendMessageA(reinterpret_cast<HWND>(wParam), kPong, 0, 0) + 1;
    return log_proc(window, message, wParam, lParam);
}

TEST(Messages, SendMessageToAPumpingThreadAndBackDoesNotDeadlock)
{
    drain_queue();
    PumpThread pump;
    EXPECT_EQ(KVXPosixSendMessage(pump.window(), kPing, 0, 0), static_cast<LRESULT>(kPing));
    EXPECT_EQ(pump.log().of(kPing).at(0).thread, pump.id());

    // The other thread sends to this one, whose procedure sends back to the
    // other while that one still waits for its answer: the waiting sender
    // takes the message sent to it.
    HWND window = KVXPosixCreateWindow(bounce_proc, nullptr);
    std::atomic<bool> answered{false};
    WindowLog theirs;
    DWORD otherId = 0;
    std::thread other([&] {
        otherId = GetCurrentThreadId();
        HWND own = KVXPosixCreateWindow(log_proc, &theirs);
        EXPECT_EQ(SendMessageA(window, kPing, reinterpret_cast<WPARAM>(own), 0), static_cast<LRESULT>(kPong) + 1);
        answered = true;
        KVXPosixDestroyWindow(own);
    });
    EXPECT_TRUE(kvxtest::pump_until([&] { return answered.load(); }));
    other.join();
    ASSERT_EQ(theirs.count(kPong), 1u);
    EXPECT_EQ(theirs.of(kPong)[0].thread, otherId);
    KVXPosixDestroyWindow(window);
}

TEST(Messages, FiltersByWindowAndRange)
{
    drain_queue();
    WindowLog a, b;
    HWND first = KVXPosixCreateWindow(log_proc, &a);
    HWND second = KVXPosixCreateWindow(log_proc, &b);
    PostMessageA(first, WM_USER + 10, 0, 0);
    PostMessageA(second, WM_USER + 11, 0, 0);
    PostMessageA(first, WM_USER + 12, 0, 0);
    PostMessageA(nullptr, WM_USER + 13, 0, 0);

    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, second, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, WM_USER + 11u);
    ASSERT_TRUE(PeekMessageA(&msg, first, WM_USER + 11, WM_USER + 20, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER + 12u) << "the first of the window's messages within the range";
    EXPECT_FALSE(PeekMessageA(&msg, first, WM_USER + 11, WM_USER + 20, PM_REMOVE));
    ASSERT_TRUE(PeekMessageA(&msg, reinterpret_cast<HWND>(static_cast<intptr_t>(-1)), 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER + 13u) << "(HWND)-1 takes thread messages only";
    EXPECT_EQ(msg.hwnd, nullptr);
    // What is left, in order.
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER + 10u);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER + 11u);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_FALSE(TranslateMessage(&msg));
    KVXPosixDestroyWindow(first);
    KVXPosixDestroyWindow(second);
}

TEST(Messages, QuitComesAfterThePostedMessagesWhateverTheFilter)
{
    drain_queue();
    WindowLog log;
    HWND window = KVXPosixCreateWindow(log_proc, &log);
    PostMessageA(window, kPing, 0, 0);
    KVXPosixPostQuitMessage(3);
    PostMessageA(window, kPong, 0, 0);

    MSG msg;
    ASSERT_EQ(KVXPosixGetMessage(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, kPing);
    // The range holds no posted message: WM_QUIT is returned all the same,
    // and PM_NOREMOVE leaves it.
    ASSERT_TRUE(PeekMessageA(&msg, window, kPing, kPing, PM_NOREMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    ASSERT_EQ(KVXPosixGetMessage(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, kPong);
    EXPECT_EQ(KVXPosixGetMessage(&msg, nullptr, 0, 0), FALSE);
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "the quit is taken once";
    KVXPosixDestroyWindow(window);
}

TEST(Messages, GetMessageBlocksUntilAMessageArrives)
{
    drain_queue();
    WindowLog log;
    HWND window = KVXPosixCreateWindow(log_proc, &log);
    std::thread poster([window] {
        Sleep(20);
        PostMessageA(window, kPing, 9, 0);
    });
    MSG msg;
    ASSERT_EQ(GetMessageA(&msg, window, 0, 0), TRUE);
    EXPECT_EQ(msg.wParam, 9u);
    poster.join();
    KVXPosixDestroyWindow(window);
}

TEST(Messages, WindowsThatAreGoneAreRefused)
{
    drain_queue();
    WindowLog log;
    HWND window = KVXPosixCreateWindow(log_proc, &log);
    EXPECT_EQ(KVXPosixCreateWindow(nullptr, nullptr), nullptr);

    // Only the owner thread destroys a window; a window is no kernel handle.
    std::thread other([window] { EXPECT_FALSE(KVXPosixDestroyWindow(window)); });
    other.join();
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(window)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    ASSERT_TRUE(KVXPosixDestroyWindow(window));

    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(KVXPosixPostMessage(window, kPing, 0, 0));
    EXPECT_EQ(KVXPosixGetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(SendMessageA(window, kPing, 0, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    MSG msg;
    EXPECT_EQ(GetMessageA(&msg, window, 0, 0), -1);
    EXPECT_FALSE(KVXPosixDestroyWindow(window));

    // A message still queued for a window that went is not delivered.
    HWND again = KVXPosixCreateWindow(log_proc, &log);
    PostMessageA(again, kPing, 0, 0);
    KVXPosixDestroyWindow(again);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(DispatchMessageA(&msg), 0);
    EXPECT_TRUE(log.messages.empty());
}

TEST(Messages, AThreadThatEndsTakesItsWindowsAlong)
{
    drain_queue();
    std::atomic<HWND> window{nullptr};
    std::atomic<bool> release{false};
    std::atomic<bool> answered{false};
    LRESULT result = -1;
    WindowLog log;
    std::thread owner([&] {
        window = KVXPosixCreateWindow(log_proc, &log);
        while (!release) Sleep(1);
        // Ends without taking the message sent to it.
    });
    while (window.load() == nullptr) Sleep(1);
    std::thread sender([&] {
        result = SendMessageA(window, kPing, 0, 0);
        answered = true;
    });
    Sleep(20);
    EXPECT_FALSE(answered.load());
    release = true;
    owner.join();
    sender.join();
    EXPECT_EQ(result, 0) << "the pending send is answered with 0";
    EXPECT_TRUE(log.messages.empty());
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(PostMessageA(window, kPing, 0, 0));
}

TEST(Messages, ThreadIdentifiersDiffer)
{
    const DWORD mine = GetCurrentThreadId();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(GetCurrentThreadId(), mine);
    DWORD other = 0;
    std::thread([&] { other = GetCurrentThreadId(); }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);
}
