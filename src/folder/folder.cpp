/*
 * The active folder: KVXActiveFolder.
 *
 * The header getters name files relative to the active folder, and bare
 * names given to KVXActiveFile2 are found there.  The folder's management
 * file is loaded here once the large-file database exists.
 */
#include <cstring>

#include "core/state.h"
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

} // namespace

extern "C" uint32_t KVXAPI KVXActiveFolder(const char *path, uint32_t folderMode)
{
    if (g_write.sessionOpen) return KVX_ERR_BUSY;
    g_folder.mode = folderMode;
    /* No file is active until the next opening. */
    close_active_handle();
    g_file.name[0] = '\0';
    g_file.lastResult = g_file.lastResult2 = KVX_OK;
    /* A path too long to be held names no folder. */
    if (path == nullptr || std::strlen(path) >= kNameBytes || path[0] == '\0' || !folder_exists(path))
        return KVX_ERR_FOLDER;
    std::memcpy(g_folder.path, path, std::strlen(path) + 1);
    if (std::strlen(path) == 2 && path[1] == ':') {
        g_folder.path[2] = '\\';
        g_folder.path[3] = '\0';
    }
    return KVX_OK;
}
