// Shared by the platform tests: a folder of their own under /tmp, a message
// window that records what its procedure receives, and a message pump.
#ifndef KVX_TESTS_PLATFORM_HELPERS_H
#define KVX_TESTS_PLATFORM_HELPERS_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "kvx_posix.h"
#include "platform/platform.h"

namespace kvxtest {

class TempFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kvx-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0); }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    std::string dir_;
};

// What a window's procedure received: written by the window's thread, read
// by others under `lock` or after a join.
struct WindowLog {
    std::mutex lock;
    std::vector<MSG> messages; // time: the receiving thread's id

    std::vector<MSG> of(UINT message)
    {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<MSG> out;
        for (const MSG &m : messages)
            if (m.message == message) out.push_back(m);
        return out;
    }
    size_t count(UINT message) { return of(message).size(); }
};

// Logs the message and answers with its number.
inline LRESULT CALLBACK log_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *log = static_cast<WindowLog *>(KVXPosixGetWindowUser(window));
    std::lock_guard<std::mutex> guard(log->lock);
    log->messages.push_back(MSG{window, message, wParam, lParam, GetCurrentThreadId(), {}});
    return static_cast<LRESULT>(message);
}

// Dispatches the thread's messages until `done` holds; false on timeout.
inline bool pump_until(const std::function<bool()> &done, int timeoutMs = 5000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (MSG msg;; Sleep(1)) {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        if (done()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
    }
}

// Dispatches what an earlier test left in the thread's queue.
inline void drain_queue()
{
    pump_until([] { return true; });
}

} // namespace kvxtest

#endif
