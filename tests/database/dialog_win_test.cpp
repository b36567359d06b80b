// The real progress dialog of the DLL, as a Windows caller sees it: a
// database build of a large file in folder mode 1 shows the template of the
// system's language with its message, draws the bar, and ends with the
// pass's result.  A watcher thread finds the dialog and reads it.
//
// With KVX_SCREENSHOT=<folder> set, the watcher also saves what the dialog
// looks like (BMP files) while it is up.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "kvx.h"
#include "kvx_gen.h"

namespace {

struct Seen {
    std::atomic<bool> stop{false};
    std::atomic<int> polls{0};
    bool found = false, bar = false;
    std::string text;
    int shots = 0;
};

void save_bitmap(HWND window, const std::string &file)
{
    RECT r;
    GetWindowRect(window, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC source = GetWindowDC(window), memory = CreateCompatibleDC(source);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof info.bmiHeader, w, h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, source, 0, 0, SRCCOPY);
    GdiFlush();
    const DWORD row = static_cast<DWORD>((w * 3 + 3) & ~3);
    BITMAPFILEHEADER head{};
    head.bfType = 0x4D42;
    head.bfOffBits = sizeof head + sizeof info.bmiHeader;
    head.bfSize = head.bfOffBits + row * static_cast<DWORD>(h);
    if (FILE *f = std::fopen(file.c_str(), "wb")) {
        std::fwrite(&head, sizeof head, 1, f);
        std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, f);
        std::fwrite(bits, row, static_cast<size_t>(h), f);
        std::fclose(f);
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(window, source);
}

BOOL CALLBACK visit(HWND window, LPARAM user)
{
    auto *seen = reinterpret_cast<Seen *>(user);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char caption[64] = {};
    GetWindowTextA(window, caption, sizeof caption);
    if (pid != GetCurrentProcessId() || std::string(caption) != "Creating Database...") return TRUE;
    char text[512] = {};
    GetDlgItemTextA(window, 1003, text, sizeof text);
    seen->found = true;
    if (text[0] != '\0') seen->text = text;
    seen->bar = GetDlgItem(window, 201) != nullptr;
    const char *folder = std::getenv("KVX_SCREENSHOT");
    if (folder != nullptr && text[0] != '\0' && seen->shots < 40)
        save_bitmap(window, std::string(folder) + "\\dialog-" + std::to_string(seen->shots++) + ".bmp");
    return TRUE;
}

// The message of string table entry `id` of the DLL, as the dialog shows it.
std::string library_string(unsigned id)
{
    char text[512] = {};
    LoadStringA(GetModuleHandleA("kvx.dll"), id, text, sizeof text);
    return text;
}

// Text of the system's code page, as Unicode.
std::wstring wide(const std::string &text)
{
    std::wstring out(text.size() + 1, L'\0');
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0],
                                      static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

TEST(ProgressDialogWindow, DatabaseBuildShowsTheRealDialog)
{
    const std::string dir = ::testing::TempDir() + "kvx-dialog";
    CreateDirectoryA(dir.c_str(), nullptr);
    const std::string management = dir + "\\KVXMANAGEMENT.DAT";
    DeleteFileA(management.c_str());
    // Many chunks, so that the bar is seen moving: 40000 frames, repeated.
    kvxgen::File file;
    file.tail = kvxgen::Tail::PadBlock;
    file.segments.push_back(kvxgen::random_segment(1, 40000, 3));
    kvxgen::Layout layout;
    kvxgen::Bytes bytes = kvxgen::build(file, &layout);
    const size_t audio = bytes.size() - layout.headerBytes;
    for (int copy = 0; copy < 20; ++copy) bytes.insert(bytes.end(), bytes.begin() + 1024, bytes.begin() + 1024 + audio);
    const std::string path = dir + "\\large.kvx";
    ASSERT_TRUE(kvxgen::write(path, bytes));

    ASSERT_EQ(KVXActiveFolder(dir.c_str(), 1), 0u);
    Seen seen;
    std::thread watcher([&seen] {
        while (!seen.stop) {
            EnumWindows(visit, reinterpret_cast<LPARAM>(&seen));
            ++seen.polls;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    uint32_t length = 0;
    uint16_t codecs = 0;
    const uint32_t result = KVXActiveFile(path.c_str(), &length, &codecs);
    seen.stop = true;
    watcher.join();
    ASSERT_EQ(result, 0u);
    EXPECT_EQ(length, 21u * layout.totalMs);
    EXPECT_NE(GetFileAttributesA(management.c_str()), INVALID_FILE_ATTRIBUTES);

    ASSERT_TRUE(seen.found) << "no dialog seen in " << seen.polls << " polls";
    EXPECT_TRUE(seen.bar);
    // The template and text of the system's language, as the locale of the
    // run says: Japanese and Chinese in their code pages, the others from
    // the string table.
    const WORD language = PRIMARYLANGID(LANGIDFROMLCID(GetSystemDefaultLCID()));
    if (language == LANG_JAPANESE || language == LANG_CHINESE) {
        const std::wstring expected = language == LANG_JAPANESE
            ? L"高速 ｱｸｾｽ のための ﾃﾞｰﾀ ﾍﾞｰｽを作成しています。\nしばらくお待ちください。"
            : L"由於這是一個大容量檔案，正在建立供高速存取用的數據庫，請稍候。";
        EXPECT_TRUE(wide(seen.text) == expected) << "not the text of the language " << language;
        return;
    }
    const bool german = language == LANG_GERMAN;
    const std::string expected = library_string(german ? 1792 : 2304);
    EXPECT_EQ(seen.text, expected);
    EXPECT_EQ(expected.rfind(german ? "Da dies eine gro\xdf" "e Datei" : "Since this is a large file", 0), 0u);
}

} // namespace
