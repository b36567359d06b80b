// Edit playback through the system's wave device, driven by a real window's
// messages: an edited file plays to its end and the stop reports its length.
// Off Windows the platform layer's window and null sink stand in.
#include <gtest/gtest.h>

#include <string>

#include "kvx.h"
#include "kvx_gen.h"
#ifdef _WIN32
#include <windows.h>
#else
#include "kvx_posix.h"
#endif

namespace {

uint32_t g_word = 0;
bool g_finished = false;
size_t g_buffers = 0;

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *buffer = reinterpret_cast<WAVEHDR *>(lParam);
    if (message == KVX_MSG_BUFFER_REQUEST) {
        if (KVXPlaying(buffer) == 0) g_finished = true;
        else ++g_buffers;
        return 0;
    }
    if (message == KVX_MSG_BUFFER_DONE) {
        KVXPlayBufferReturn(buffer);
        return 0;
    }
#ifdef _WIN32
    return DefWindowProcA(window, message, wParam, lParam);
#else
    (void)window, (void)wParam;
    return 0;
#endif
}

HWND make_window()
{
#ifdef _WIN32
    WNDCLASSA type{};
    type.lpfnWndProc = window_proc;
    type.hInstance = GetModuleHandleA(nullptr);
    type.lpszClassName = "kvx-playback-test";
    RegisterClassA(&type);
    return CreateWindowA(type.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, type.hInstance, nullptr);
#else
    KVXPosixSetWaveSink("null");
    return KVXPosixCreateWindow(window_proc, nullptr);
#endif
}

// Pumps the thread's messages until the playback has ended, for at most
// `limit_ms` of real time.
bool run_until_finished(DWORD limit_ms)
{
#ifdef _WIN32
    const DWORD start = GetTickCount();
    MSG msg;
    while (!g_finished && GetTickCount() - start < limit_ms) {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        if (!g_finished) MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
#else
    (void)limit_ms;
    MSG msg;
    for (long guard = 0; !g_finished && guard < 1000000 && KVXPosixGetMessage(&msg, nullptr, 0, 0); ++guard)
        KVXPosixDispatchMessage(&msg);
#endif
    return g_finished;
}

TEST(DevicePlayback, AnEditedFilePlaysToItsEnd)
{
    HWND window = make_window();
    ASSERT_NE(window, nullptr);
    const uint32_t init = KVXInitDecoder(window, &g_word);
    if (init == KVX_ERR_NO_DEVICE) GTEST_SKIP() << "no wave-output device";
    ASSERT_EQ(init, 0u);

    // About 2.4 s of SP and 1.5 s of LP; the erase takes a stretch across
    // the change of codec, so that the device is opened again at the LP rate.
    kvxgen::File file;
    file.segments.push_back(kvxgen::random_segment(0, 100, 3));
    file.segments.push_back(kvxgen::random_segment(2, 50, 4));
    const std::string path = ::testing::TempDir() + "kvx-device-playback.kvx";
    ASSERT_TRUE(kvxgen::write(path, kvxgen::build(file)));
    uint32_t length = 0;
    ASSERT_EQ(KVXActiveFile(path.c_str(), &length, nullptr), 0u);

    uint32_t result = 0;
    WriteHandle *handle = KVXCreateFile(nullptr, 2, &result);
    ASSERT_NE(handle, nullptr) << result;
    EraseResult erased{};
    ASSERT_EQ(KVXPartialErase(handle, 2000, 2600, &erased), 0u);
    ASSERT_LT(erased.length, length);

    g_word = KVX_CW_RESET;
    g_finished = false;
    ASSERT_EQ(KVXStartPlayback(0, 0), 0u);
    EXPECT_TRUE(run_until_finished(30000)) << "the playback did not end";
    uint32_t stop = 0;
    EXPECT_EQ(KVXStopPlayback(&stop), 0u);
    EXPECT_EQ(stop, erased.length) << "played to the end";
    EXPECT_GT(g_buffers, 10u);

    EXPECT_EQ(KVXCloseFileEx(handle, nullptr, 1), 0u); // discarded: the file stays as it was
    uint32_t after = 0;
    EXPECT_EQ(KVXActiveFile(path.c_str(), &after, nullptr), 0u);
    EXPECT_EQ(after, length);
}

} // namespace
