/*
 * Deleting recordings: KVXDeleteFiles.
 *
 * The files go through the shell's file operation, so that the user sees
 * the shell's usual confirmation.  A locked recording (lock byte 0) is made
 * read-only first, so that the shell asks about it specifically.
 */
#include <cstring>

#include "core/state.h"
#include "decode/open.h"
#include "format/header.h"
#include "kvx.h"

#ifdef _WIN32
#include <shellapi.h>
#endif

using namespace kvx;

namespace {

/* Whether the file's lock byte is 0.  A file whose byte cannot be read
 * counts as unlocked. */
bool locked(const char *path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    uint8_t head[hdr::kLock + 1];
    DWORD got = 0;
    const bool read = ReadFile(file, head, sizeof head, &got, nullptr) && got == sizeof head;
    CloseHandle(file);
    return read && head[hdr::kLock] == 0;
}

} // namespace

extern "C" int KVXAPI KVXDeleteFiles(const char *list)
{
    if (list == nullptr || list[0] == '\0') return 0;
    /* The library's own handle would keep the active file from going. */
    close_active_handle();
    for (const char *path = list; *path != '\0'; path += std::strlen(path) + 1) {
        if (!locked(path)) continue;
        const DWORD attributes = GetFileAttributesA(path);
        if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesA(path, attributes | FILE_ATTRIBUTE_READONLY);
    }

    SHFILEOPSTRUCTA operation;
    std::memset(&operation, 0, sizeof operation);
    operation.hwnd = g_decoder.window;
    operation.wFunc = FO_DELETE;
    operation.pFrom = list;
    SHFileOperationA(&operation);

    /* The answer is about the first file only. */
    HANDLE first = CreateFileA(list, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (first == INVALID_HANDLE_VALUE) return 0;
    CloseHandle(first);
    return 1;
}
