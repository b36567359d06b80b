// Window messages: per-thread queues, filters and WM_QUIT against a model,
// sending across threads, windows that end, and timers.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <random>
#include <thread>

#include "helpers.h"

using kvxtest::log_proc;
using kvxtest::pump_until;
using kvxtest::WindowLog;

namespace {

constexpr UINT kPing = WM_USER + 1;
constexpr UINT kPong = WM_USER + 2;
const HWND kThreadOnly = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));

struct Posted {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
};

bool passes(const Posted &p, HWND filter, UINT first, UINT last)
{
    if (filter == kThreadOnly ? p.hwnd != nullptr : filter != nullptr && p.hwnd != filter) return false;
    return (first == 0 && last == 0) || (p.message >= first && p.message <= last);
}

// Random posts (from this thread and others), quits, and Peek/Get/Dispatch
// with random filters, against a deque: posted messages come in order,
// the first one that passes the filter is taken, and WM_QUIT comes after
// them whatever the filter.
TEST(Messages, QueueFollowsAModel)
{
    kvxtest::drain_queue();
    WindowLog logA, logB;
    HWND a = KVXPosixCreateWindow(log_proc, &logA), b = KVXPosixCreateWindow(log_proc, &logB);
    HWND gone = KVXPosixCreateWindow(log_proc, &logA);
    ASSERT_TRUE(KVXPosixDestroyWindow(gone));
    const HWND targets[] = {a, b, nullptr}, filters[] = {nullptr, a, b, kThreadOnly};
    std::deque<Posted> model;
    bool quit = false;
    int quitCode = 0;
    size_t dispatched = 0;
    std::mt19937 rng(7);
    auto pick = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
    for (int step = 0; step < 3000; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const unsigned op = pick(20);
        const UINT message = WM_USER + pick(6);
        const auto wParam = static_cast<WPARAM>(step);
        if (op < 8) {
            HWND to = targets[pick(3)];
            ASSERT_TRUE(PostMessageA(to, message, wParam, 0));
            model.push_back({to, message, wParam});
        } else if (op == 8) {
            // From another thread: to this thread's window it queues here;
            // a thread message stays on that thread.
            std::thread([&] {
                EXPECT_TRUE(PostMessageA(b, message, wParam, 0));
                EXPECT_TRUE(PostMessageA(nullptr, kPing, 0, 0));
                EXPECT_FALSE(PostMessageA(gone, kPing, 0, 0));
                EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
            }).join();
            model.push_back({b, message, wParam});
        } else if (op == 9) {
            quitCode = static_cast<int>(pick(100));
            KVXPosixPostQuitMessage(quitCode);
            quit = true;
        } else {
            const HWND filter = filters[pick(4)];
            const UINT first = pick(2) ? 0 : WM_USER + pick(6), last = first == 0 ? 0 : first + pick(3);
            const bool remove = pick(3) != 0;
            auto it = model.begin();
            while (it != model.end() && !passes(*it, filter, first, last)) ++it;
            const bool expected = it != model.end() || quit;
            MSG msg{};
            if (expected && remove && pick(2)) {
                EXPECT_EQ(GetMessageA(&msg, filter, first, last), it == model.end() ? FALSE : TRUE);
            } else {
                ASSERT_EQ(PeekMessageA(&msg, filter, first, last, remove ? PM_REMOVE : PM_NOREMOVE), expected);
                if (!expected) continue;
            }
            if (it == model.end()) {
                EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
                EXPECT_EQ(msg.wParam, static_cast<WPARAM>(quitCode));
                EXPECT_EQ(msg.hwnd, nullptr);
                quit = quit && !remove;
                continue;
            }
            EXPECT_EQ(msg.hwnd, it->hwnd);
            EXPECT_EQ(msg.message, it->message);
            EXPECT_EQ(msg.wParam, it->wParam);
            if (!remove) continue;
            model.erase(it);
            if (msg.hwnd != nullptr) {
                // Posting never calls the procedure; dispatching does, on this thread.
                EXPECT_EQ(DispatchMessageA(&msg), static_cast<LRESULT>(msg.message));
                ++dispatched;
            }
        }
    }
    EXPECT_EQ(logA.messages.size() + logB.messages.size(), dispatched);
    for (WindowLog *log : {&logA, &logB})
        for (const auto &r : log->messages) EXPECT_EQ(r.thread, GetCurrentThreadId());
    EXPECT_TRUE(KVXPosixDestroyWindow(a));
    EXPECT_TRUE(KVXPosixDestroyWindow(b));
    kvxtest::drain_queue();
}

// Answers kPing by first sending kPong to the window that wParam names.
LRESULT CALLBACK bounce_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kPing) return SendMessageA(reinterpret_cast<HWND>(wParam), kPong, 0, 0) + 1;
    return log_proc(window, message, wParam, lParam);
}

TEST(Messages, SendRunsTheProcedureOnTheOwnerThread)
{
    kvxtest::drain_queue();
    WindowLog log;
    log.answer = 1000;
    HWND window = KVXPosixCreateWindow(log_proc, &log);
    // On the owner thread: called at once, nothing queued.
    EXPECT_EQ(SendMessageA(window, kPing, 5, 6), static_cast<LRESULT>(1000 + kPing));
    EXPECT_EQ(log.count(kPing), 1u);
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));

    // From another thread: it waits until the owner peeks, whatever the filter.
    std::atomic<bool> returned{false};
    LRESULT result = 0;
    std::thread sender([&] {
        result = SendMessageA(window, kPing, 1, 2);
        returned = true;
    });
    Sleep(30);
    EXPECT_FALSE(returned.load());
    EXPECT_EQ(log.count(kPing), 1u);
    ASSERT_TRUE(pump_until([&] {
        PeekMessageA(&msg, window, kPong, kPong, PM_NOREMOVE);
        return returned.load();
    }));
    sender.join();
    EXPECT_EQ(result, static_cast<LRESULT>(1000 + kPing));
    ASSERT_EQ(log.count(kPing), 2u);
    EXPECT_EQ(log.of(kPing)[1].thread, GetCurrentThreadId());

    // Sent to this thread, whose procedure sends back while the other thread
    // still waits: the waiting sender takes it, no deadlock.
    HWND bouncer = KVXPosixCreateWindow(bounce_proc, nullptr);
    WindowLog theirs;
    std::atomic<bool> answered{false};
    DWORD otherId = 0;
    std::thread other([&] {
        otherId = GetCurrentThreadId();
        HWND own = KVXPosixCreateWindow(log_proc, &theirs);
        EXPECT_EQ(SendMessageA(bouncer, kPing, reinterpret_cast<WPARAM>(own), 0), static_cast<LRESULT>(kPong) + 1);
        answered = true;
    });
    EXPECT_TRUE(pump_until([&] { return answered.load(); }));
    other.join();
    ASSERT_EQ(theirs.count(kPong), 1u);
    EXPECT_EQ(theirs.of(kPong)[0].thread, otherId);
    EXPECT_NE(otherId, GetCurrentThreadId());
    KVXPosixDestroyWindow(bouncer);
    KVXPosixDestroyWindow(window);
}

TEST(Messages, PostsFromManyThreadsKeepEachOrderAndGetMessageWaits)
{
    kvxtest::drain_queue();
    WindowLog log;
    HWND window = KVXPosixCreateWindow(log_proc, &log);
    constexpr int kThreads = 4, kEach = 200;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([window, t] {
            Sleep(10); // GetMessageA below is already waiting
            for (int i = 0; i < kEach; ++i) EXPECT_TRUE(PostMessageA(window, kPing, t, i));
        });
    MSG msg;
    std::vector<int> next(kThreads, 0);
    for (int n = 0; n < kThreads * kEach; ++n) {
        ASSERT_EQ(GetMessageA(&msg, window, 0, 0), TRUE);
        EXPECT_EQ(msg.lParam, next[msg.wParam]++) << "from thread " << msg.wParam;
    }
    for (auto &p : posters) p.join();
    KVXPosixDestroyWindow(window);
}

TEST(Messages, WindowsEndWithTheirThreadAndAreRefusedAfter)
{
    kvxtest::drain_queue();
    WindowLog log;
    std::atomic<HWND> window{nullptr};
    std::atomic<bool> release{false}, answered{false};
    LRESULT result = -1;
    std::thread owner([&] {
        window = KVXPosixCreateWindow(log_proc, &log);
        while (!release) Sleep(1);
        // Ends without taking the message sent to it.
    });
    while (window.load() == nullptr) Sleep(1);
    EXPECT_FALSE(KVXPosixDestroyWindow(window)) << "only the owner thread destroys a window";
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(window.load())));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
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
    EXPECT_EQ(SendMessageA(window, kPing, 0, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    MSG msg;
    EXPECT_EQ(GetMessageA(&msg, window, 0, 0), -1);

    // A message still queued for a window that went is not delivered.
    HWND mine = KVXPosixCreateWindow(log_proc, &log);
    PostMessageA(mine, kPing, 0, 0);
    KVXPosixDestroyWindow(mine);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(DispatchMessageA(&msg), 0);
    EXPECT_TRUE(log.messages.empty());
}

TEST(Timers, FireThroughTheQueueAfterPostedMessagesWithoutPilingUp)
{
    kvxtest::drain_queue();
    WindowLog log;
    HWND window = KVXPosixCreateWindow(log_proc, &log);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(SetTimer(window, 7, 30, nullptr), 7u);
    MSG msg;
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE); // sleeps until the timer is due
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));
    EXPECT_EQ(msg.hwnd, window);
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(msg.wParam, 7u);

    // Late by several intervals: posted messages first, then one WM_TIMER.
    Sleep(100);
    PostMessageA(window, kPing, 0, 0);
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, kPing);
    ASSERT_TRUE(PeekMessageA(&msg, window, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "a late timer does not pile up";
    // A filter that leaves WM_TIMER or the window out does not take it.
    Sleep(40);
    EXPECT_FALSE(PeekMessageA(&msg, window, WM_USER, WM_USER + 10, PM_REMOVE));
    EXPECT_FALSE(PeekMessageA(&msg, kThreadOnly, 0, 0, PM_REMOVE));

    // Setting the id again replaces the timer; killing it stops it.
    EXPECT_EQ(SetTimer(window, 7, 60000, nullptr), 7u);
    Sleep(40);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(KillTimer(window, 7));
    EXPECT_FALSE(KillTimer(window, 7));
    // Only a window of the calling thread has timers, and they go with it.
    std::thread([window] { EXPECT_EQ(SetTimer(window, 1, 10, nullptr), 0u); }).join();
    ASSERT_EQ(SetTimer(window, 8, 10, nullptr), 8u);
    KVXPosixDestroyWindow(window);
    Sleep(30);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(log.messages.empty());
}

} // namespace
