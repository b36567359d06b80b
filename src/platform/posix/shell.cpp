/*
 * The shell's file deletion, without the shell's dialogs.
 *
 * SHFileOperationA deletes the files of the list one by one, for good: there
 * is no recycle bin, so FOF_ALLOWUNDO changes nothing, and folders are not
 * deleted (ERROR_ACCESS_DENIED).  Where Windows would ask the user, the
 * host's confirmation hook (KVXPosixSetConfirmHook) is asked instead, once
 * for each file; without a hook, writable files go and read-only ones are
 * kept.  FOF_NOCONFIRMATION answers yes for every file without asking.  A
 * file that is missing or cannot be deleted does not stop the others; the
 * result is the error of the first such file.  Only FO_DELETE is done: the
 * other operations return ERROR_CALL_NOT_IMPLEMENTED, an unknown one
 * ERROR_INVALID_PARAMETER.
 */
#include <cstring>
#include <mutex>

#include "objects.h"

namespace {

std::mutex g_hook_lock;
KVXPosixConfirmHook g_hook = nullptr; /* guarded by g_hook_lock */
void *g_hook_user = nullptr;          /* guarded by g_hook_lock */

/* The answer for one file: IDYES, IDNO or IDCANCEL. */
int confirm(const char *path, bool readOnly, FILEOP_FLAGS flags)
{
    if (flags & FOF_NOCONFIRMATION) return IDYES;
    KVXPosixConfirmHook hook;
    void *user;
    {
        std::lock_guard<std::mutex> guard(g_hook_lock);
        hook = g_hook;
        user = g_hook_user;
    }
    if (hook == nullptr) return readOnly ? IDNO : IDYES; /* a locked file is never deleted unasked */
    const int answer = hook(path, readOnly ? TRUE : FALSE, user);
    return answer == IDYES || answer == IDCANCEL ? answer : IDNO;
}

/* Deletes one file that the user let go, read-only or not; the Win32 error. */
DWORD delete_file(const char *path, bool readOnly)
{
    if (readOnly && !SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL)) return GetLastError();
    if (DeleteFileA(path)) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    if (readOnly) SetFileAttributesA(path, FILE_ATTRIBUTE_READONLY); /* as it was */
    return error;
}

} // namespace

extern "C" KVX_POSIX_EXPORT void KVXPosixSetConfirmHook(KVXPosixConfirmHook hook, void *user)
{
    std::lock_guard<std::mutex> guard(g_hook_lock);
    g_hook = hook;
    g_hook_user = hook != nullptr ? user : nullptr;
}

int WINAPI SHFileOperationA(LPSHFILEOPSTRUCTA op)
{
    if (op == nullptr) return static_cast<int>(ERROR_INVALID_PARAMETER);
    op->fAnyOperationsAborted = FALSE;
    op->hNameMappings = nullptr;
    if (op->wFunc == FO_MOVE || op->wFunc == FO_COPY || op->wFunc == FO_RENAME)
        return static_cast<int>(ERROR_CALL_NOT_IMPLEMENTED);
    if (op->wFunc != FO_DELETE || op->pFrom == nullptr) return static_cast<int>(ERROR_INVALID_PARAMETER);

    DWORD result = ERROR_SUCCESS;
    for (const char *path = op->pFrom; *path != '\0'; path += std::strlen(path) + 1) {
        const DWORD attributes = GetFileAttributesA(path);
        DWORD error = ERROR_SUCCESS;
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            error = GetLastError();
        } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            error = ERROR_ACCESS_DENIED;
        } else {
            const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
            const int answer = confirm(path, readOnly, op->fFlags);
            if (answer == IDYES) {
                error = delete_file(path, readOnly);
            } else {
                op->fAnyOperationsAborted = TRUE;
                if (answer == IDCANCEL) break; /* the rest is kept too */
            }
        }
        if (error != ERROR_SUCCESS && result == ERROR_SUCCESS) result = error;
    }
    return static_cast<int>(result);
}
