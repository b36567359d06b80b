// Window messages: per-thread queues, filters and WM_QUIT against a model,
// and timers.
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <thread>

#include "helpers.h"

using kvxtest::log_proc;
using kvxtest::WindowLog;

namespace {

constexpr UINT kPing = WM_USER + 1;
const HWND kThreadOnly = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));

bool passes(const MSG &m, HWND filter, UINT first, UINT last)
{
    if (filter == kThreadOnly ? m.hwnd != nullptr : filter != nullptr && m.hwnd != filter) return false;
    return (first == 0 && last == 0) || (m.message >= first && m.message <= last);
}

// Random posts (from this thread and others), quits, and Peek/Get/Dispatch
// with random filters, against a deque: posted messages come in order,
// the first one that passes the filter is taken, and WM_QUIT comes after
// them whatever the filter.
TEST(Messages, QueueFollowsAModel)
{
    kvxtest::drain_queue();
    WindowLog log;
    HWND a = KVXPosixCreateWindow(log_proc, &log), b = KVXPosixCreateWindow(log_proc, &log);
    HWND gone = KVXPosixCreateWindow(log_proc, &log);
    ASSERT_TRUE(KVXPosixDestroyWindow(gone));
    const HWND targets[] = {a, b, nullptr}, filters[] = {nullptr, a, b, kThreadOnly};
    std::deque<MSG> model;
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
            model.push_back(MSG{targets[pick(3)], message, wParam, 0, 0, {}});
            ASSERT_TRUE(PostMessageA(model.back().hwnd, message, wParam, 0));
        } else if (op == 8) {
            // From another thread: to this thread's window it queues here;
            // a thread message stays on that thread.
            std::thread([&] {
                EXPECT_TRUE(PostMessageA(b, message, wParam, 0));
                EXPECT_TRUE(PostMessageA(nullptr, kPing, 0, 0));
                EXPECT_FALSE(PostMessageA(gone, kPing, 0, 0));
                EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
            }).join();
            model.push_back(MSG{b, message, wParam, 0, 0, {}});
        } else if (op == 9) {
            KVXPosixPostQuitMessage(quitCode = static_cast<int>(pick(100)));
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
            const MSG want = it == model.end() ? MSG{nullptr, WM_QUIT, static_cast<WPARAM>(quitCode), 0, 0, {}} : *it;
            EXPECT_EQ(msg.hwnd, want.hwnd);
            EXPECT_EQ(msg.message, want.message);
            EXPECT_EQ(msg.wParam, want.wParam);
            if (!remove) continue;
            if (it == model.end()) {
                quit = false;
                continue;
            }
            model.erase(it);
            if (msg.hwnd == nullptr) continue;
            // Posting never calls the procedure; dispatching does, on this thread.
            EXPECT_EQ(DispatchMessageA(&msg), static_cast<LRESULT>(msg.message));
            ++dispatched;
        }
    }
    EXPECT_EQ(log.messages.size(), dispatched);
    for (const MSG &r : log.messages) EXPECT_EQ(r.time, GetCurrentThreadId());
    EXPECT_TRUE(KVXPosixDestroyWindow(a));
    EXPECT_TRUE(KVXPosixDestroyWindow(b));
    kvxtest::drain_queue();
}

// As the progress dialog's polling: GetMessageA sleeps until the timer is
// due; a late timer has one WM_TIMER, after the posted messages.
TEST(Timers, FireThroughTheQueueAfterPostedMessagesWithoutPilingUp)
{
    kvxtest::drain_queue();
    WindowLog log;
    HWND window = KVXPosixCreateWindow(log_proc, &log);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(SetTimer(window, 7, 30, nullptr), 7u);
    MSG msg;
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));
    EXPECT_TRUE(msg.hwnd == window && msg.message == WM_TIMER && msg.wParam == 7u);
    Sleep(100);
    PostMessageA(window, kPing, 0, 0);
    EXPECT_TRUE(GetMessageA(&msg, nullptr, 0, 0) && msg.message == kPing);
    EXPECT_TRUE(PeekMessageA(&msg, window, 0, 0, PM_REMOVE) && msg.message == WM_TIMER);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "a late timer does not pile up";

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
