// A message window that records what its procedure receives, and a pump
// that dispatches the calling thread's messages until a condition holds.
#ifndef KVX_TESTS_PLATFORM_WINDOW_LOG_H
#define KVX_TESTS_PLATFORM_WINDOW_LOG_H

#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

#include "kvx_posix.h"
#include "platform/platform.h"

namespace kvxtest {

struct Received {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD thread;
};

// The log belongs to the window's thread; other threads read it only after
// joining that thread, or under `lock`.
struct WindowLog {
    std::mutex lock;
    std::vector<Received> messages;
    LRESULT answer = 0;

    size_t count(UINT message)
    {
        std::lock_guard<std::mutex> guard(lock);
        size_t n = 0;
        for (const Received &r : messages) n += r.message == message;
        return n;
    }
    std::vector<Received> of(UINT message)
    {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<Received> out;
        for (const Received &r : messages)
            if (r.message == message) out.push_back(r);
        return out;
    }
};

inline LRESULT CALLBACK log_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *log = static_cast<WindowLog *>(KVXPosixGetWindowUser(window));
    std::lock_guard<std::mutex> guard(log->lock);
    log->messages.push_back(Received{message, wParam, lParam, GetCurrentThreadId()});
    return log->answer + static_cast<LRESULT>(message);
}

// Dispatches the thread's messages until `done` holds; false on timeout.
inline bool pump_until(const std::function<bool()> &done, int timeoutMs = 5000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (done()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        Sleep(1);
    }
}

// Empties the calling thread's queue, so that a test starts clean.
inline void drain_queue()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

} // namespace kvxtest

#endif
