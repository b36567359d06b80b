/*
 * The active folder: KVXActiveFolder.
 *
 * The header getters name files relative to the active folder, and bare
 * names given to KVXActiveFile2 are found there.  The folder's management
 * file, the database of its large files, is loaded into memory here.
 */
#include <cstdlib>
#include <cstring>

#include "core/state.h"
#include "database/build.h"
#include "database/management.h"
#include "decode/open.h"
#include "kvx.h"

using namespace kvx;

namespace {

bool is_separator(char c)
{
    return c == '\\' || c == '/';
}

/* A drive root such as C:\ keeps its separator. */
bool is_drive_root(const char *path, size_t length)
{
    return length == 3 && path[1] == ':' && is_separator(path[2]);
}

/* Whether `path` leads to an existing folder: the path itself, or the
 * folder of a file that it names. */
bool folder_exists(const char *path)
{
    char copy[kNameBytes];
    std::memcpy(copy, path, std::strlen(path) + 1);
    for (;;) {
        size_t length = std::strlen(copy);
        while (length > 1 && is_separator(copy[length - 1]) && !is_drive_root(copy, length)) copy[--length] = '\0';
        const DWORD attributes = GetFileAttributesA(copy);
        if (attributes == INVALID_FILE_ATTRIBUTES) return false;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
        /* A file: check the folder it lies in. */
        char *cut = nullptr;
        for (char *p = copy; *p != '\0'; ++p)
            if (is_separator(*p)) cut = p;
        if (cut == nullptr) return false;
        cut[cut == copy ? 1 : 0] = '\0';
    }
}

/* More than any management file can hold (255 records of 65535 chunks):
 * a larger one is not read. */
constexpr DWORD kMaxManagementBytes = 128u << 20;

/* Loads the folder's management file, if it has one, into memory.  A file
 * that cannot be written to stops writes for this folder (mode bit 0x2); so
 * does one that is there but cannot be read whole, so that a build never
 * replaces records it could not see. */
void load_management_file()
{
    if (!management_path(g_folder.path, g_folder.managementPath, sizeof g_folder.managementPath)) {
        g_folder.managementPath[0] = '\0';
        return;
    }
    HANDLE file = CreateFileA(g_folder.managementPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) g_folder.mode |= 2;
        return;
    }
    CloseHandle(file);
    const DWORD attributes = GetFileAttributesA(g_folder.managementPath);
    const bool read_only = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
    if (read_only) g_folder.mode |= 2;
    file = CreateFileA(g_folder.managementPath, read_only ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        g_folder.mode |= 2;
        return;
    }
    DWORD high = 0;
    const DWORD size = GetFileSize(file, &high);
    bool whole = size == 0 && high == 0; /* an empty file is empty data */
    if (size != INVALID_FILE_SIZE && high == 0 && size > 0 && size <= kMaxManagementBytes) {
        auto *data = static_cast<uint8_t *>(std::malloc(size));
        DWORD got = 0;
        if (data != nullptr && ReadFile(file, data, size, &got, nullptr) && got > 0) {
            g_folder.data = data;
            g_folder.dataBytes = got;
            whole = got == size;
        } else {
            std::free(data);
        }
    }
    CloseHandle(file);
    if (!whole) g_folder.mode |= 2;
}

} // namespace

extern "C" uint32_t KVXAPI KVXActiveFolder(const char *path, uint32_t folderMode)
{
    if (g_write.sessionOpen) return KVX_ERR_BUSY;
    g_folder.mode = folderMode;
    /* No file is active until the next opening.  Its table may live in the
     * management data that goes now: it gets a copy of its own. */
    close_active_handle();
    detach_chunk_table();
    g_file.name[0] = '\0';
    g_file.lastResult = g_file.lastResult2 = KVX_OK;
    g_read.ringValid = false; /* nor is the ring's content to be played */
    std::free(g_folder.data);
    g_folder.data = nullptr;
    g_folder.dataBytes = 0;
    g_folder.managementPath[0] = '\0';
    /* A path too long to be held names no folder. */
    const size_t length = path == nullptr ? 0 : name_length(path, kNameBytes);
    if (length == 0 || length >= kNameBytes || !folder_exists(path)) return KVX_ERR_FOLDER;
    std::memcpy(g_folder.path, path, length + 1);
    if (length == 2 && path[1] == ':') {
        /* A drive: its root, and no management file is read there. */
        g_folder.path[2] = '\\';
        g_folder.path[3] = '\0';
        return KVX_OK;
    }
    load_management_file();
    return KVX_OK;
}
