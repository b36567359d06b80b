/*
 * Files with Windows meaning over POSIX.
 *
 * - A file without any write permission bit carries the read-only attribute:
 *   opening it for writing, and deleting it, are refused with
 *   ERROR_ACCESS_DENIED, also for root, as Windows refuses them.
 * - Share modes are kept for the handles of this process: an opening that
 *   the share modes of another open handle of the same file forbid fails
 *   with ERROR_SHARING_VIOLATION, and so does deleting a file that is open
 *   without FILE_SHARE_DELETE.  Other processes are not seen.
 * - A directory cannot be opened as a file: ERROR_ACCESS_DENIED.
 * - FILE_FLAG_DELETE_ON_CLOSE asks for delete access: it is refused beside a
 *   handle without FILE_SHARE_DELETE, and a handle opened with it refuses
 *   later openings without FILE_SHARE_DELETE.  Once that handle is closed
 *   the file is pending deletion: opening, deleting or renaming it fails
 *   with ERROR_ACCESS_DENIED, and it is unlinked, under the name it has
 *   then, when the last handle of this process to it closes.  A process
 *   that dies leaves it behind.
 */
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "objects.h"

namespace {

struct FileObject : posix::Object {
    int fd;
    dev_t dev;
    ino_t ino;
    DWORD access;
    DWORD share;
    bool deleteOnClose;
    bool pending;     /* the file is to be deleted: no new openings */
    std::string path; /* absolute; kept for deleteOnClose only */
};

/* Planned faults (KVXPosixSetFileFault). */
struct FaultPlan {
    long after = -1; /* calls that still go through; negative: no fault */
    long count = 0;  /* calls to fail then; negative: all */
    long failed = 0; /* calls failed under this plan */
    bool half = false; /* a short read or write rather than a failure */
};
std::mutex g_fault_lock;
/* guarded by g_fault_lock */
FaultPlan g_read_fault, g_write_fault, g_create_fault, g_open_fault, g_rename_fault, g_delete_fault;

/* Whether this call is to fail; counts it against the plan.  `half` tells
 * whether the failure is a short transfer. */
bool fault_now(FaultPlan &plan, bool *half = nullptr)
{
    std::lock_guard<std::mutex> guard(g_fault_lock);
    if (plan.after < 0) return false;
    if (plan.after > 0) {
        --plan.after;
        return false;
    }
    if (plan.count == 0) return false;
    if (plan.count > 0) --plan.count;
    ++plan.failed;
    if (half != nullptr) *half = plan.half;
    return true;
}

std::mutex g_files_lock;
std::vector<FileObject *> g_open_files; /* guarded by g_files_lock */

bool read_only_mode(mode_t mode)
{
    return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

/* Whether an opening with `access`/`share` (and delete access with
 * FILE_FLAG_DELETE_ON_CLOSE) may stand beside `other`. */
bool shares_with(const FileObject &other, DWORD access, DWORD share, bool deletes)
{
    if ((access & GENERIC_READ) && !(other.share & FILE_SHARE_READ)) return false;
    if ((access & GENERIC_WRITE) && !(other.share & FILE_SHARE_WRITE)) return false;
    if (deletes && !(other.share & FILE_SHARE_DELETE)) return false;
    if ((other.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return false;
    if ((other.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return false;
    if (other.deleteOnClose && !(share & FILE_SHARE_DELETE)) return false;
    return true;
}

/* Whether the open handles of a file let it be deleted or renamed: not
 * while it is pending deletion (ERROR_ACCESS_DENIED), nor while a handle is
 * open without FILE_SHARE_DELETE (ERROR_SHARING_VIOLATION).  Takes
 * g_files_lock. */
DWORD handles_refuse_delete(const struct stat &st)
{
    std::lock_guard<std::mutex> guard(g_files_lock);
    DWORD error = ERROR_SUCCESS;
    for (const FileObject *other : g_open_files) {
        if (other->dev != st.st_dev || other->ino != st.st_ino) continue;
        if (other->pending) return ERROR_ACCESS_DENIED;
        if (!(other->share & FILE_SHARE_DELETE)) error = ERROR_SHARING_VIOLATION;
    }
    return error;
}

/* The working folder; empty, with errno set, when there is none. */
std::string current_folder()
{
    for (size_t size = 256; size <= (1u << 20); size *= 2) {
        std::vector<char> buffer(size);
        if (getcwd(buffer.data(), size) != nullptr) return buffer.data();
        if (errno != ERANGE) break;
    }
    return std::string();
}

/* The absolute form of `name`, lexically. */
std::string absolute_path(const char *name)
{
    if (name[0] == '/') return name;
    const std::string cwd = current_folder();
    return cwd.empty() ? std::string(name) : cwd + (cwd == "/" ? "" : "/") + name;
}

/* fsync of a file or folder by name. */
bool sync_path(const char *name, int extra_flags)
{
    int fd = open(name, O_RDONLY | O_CLOEXEC | extra_flags);
    if (fd < 0) return false;
    int err = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    errno = err;
    return err == 0;
}

DWORD missing_file_error(const char *name)
{
    /* ENOENT: the file is missing (2) or a folder on its path is (3). */
    std::string folder(name);
    size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;
    folder.resize(slash == 0 ? 1 : slash);
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

FileObject *file_of(HANDLE handle)
{
    if (posix::object_kind(handle) != posix::kObjectFile) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<FileObject *>(handle);
}

} // namespace

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                          DWORD flags, HANDLE)
{
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (name[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
        (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == OPEN_EXISTING ? fault_now(g_open_fault) : fault_now(g_create_fault)) {
        SetLastError(disposition == OPEN_EXISTING ? ERROR_SHARING_VIOLATION : ERROR_DISK_FULL);
        return INVALID_HANDLE_VALUE;
    }
    const bool deletes = (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0;

    struct stat before;
    bool existed = stat(name, &before) == 0;
    if (existed) {
        if (S_ISDIR(before.st_mode)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (disposition == CREATE_NEW) {
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        if (read_only_mode(before.st_mode) && ((access & GENERIC_WRITE) || deletes || disposition == CREATE_ALWAYS ||
                                               disposition == TRUNCATE_EXISTING)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
    } else if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
        SetLastError(missing_file_error(name));
        return INVALID_HANDLE_VALUE;
    }

    int oflags = O_CLOEXEC;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) oflags |= O_RDWR;
    else if (access & GENERIC_WRITE) oflags |= O_WRONLY;
    else oflags |= O_RDONLY;
    if (disposition == CREATE_NEW) oflags |= O_CREAT | O_EXCL;
    if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) oflags |= O_CREAT;
    mode_t mode = (flags & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;

    int fd;
    do {
        fd = open(name, oflags, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        SetLastError(errno == ENOENT ? missing_file_error(name) : posix::error_from_errno(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }

    auto *file = new (std::nothrow) FileObject;
    if (file == nullptr) {
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    file->kind = posix::kObjectFile;
    file->fd = fd;
    file->dev = st.st_dev;
    file->ino = st.st_ino;
    file->access = access;
    file->share = share;
    file->deleteOnClose = deletes;
    file->pending = false;
    if (deletes) file->path = absolute_path(name);
    {
        std::lock_guard<std::mutex> guard(g_files_lock);
        for (const FileObject *other : g_open_files) {
            if (other->dev == st.st_dev && other->ino == st.st_ino &&
                (other->pending || !shares_with(*other, access, share, deletes))) {
                close(fd);
                delete file;
                SetLastError(other->pending ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION);
                return INVALID_HANDLE_VALUE;
            }
        }
        g_open_files.push_back(file);
    }
    posix::register_object(file);
    /* Truncate only once the share modes have allowed the opening. */
    if (existed && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) && ftruncate(fd, 0) != 0) {
        DWORD err = posix::error_from_errno(errno);
        posix::close_file(file);
        SetLastError(err);
        return INVALID_HANDLE_VALUE;
    }
#ifdef POSIX_FADV_SEQUENTIAL
    if (flags & FILE_FLAG_SEQUENTIAL_SCAN) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                          : ERROR_SUCCESS);
    return file;
}

namespace posix {

bool close_file(HANDLE handle)
{
    FileObject *file = file_of(handle);
    if (file == nullptr) return false;
    {
        std::lock_guard<std::mutex> guard(g_files_lock);
        FileObject *heir = nullptr; /* another handle of the same file */
        for (size_t i = 0; i < g_open_files.size(); ++i) {
            if (g_open_files[i] == file) {
                g_open_files.erase(g_open_files.begin() + static_cast<long>(i--));
            } else if (g_open_files[i]->dev == file->dev && g_open_files[i]->ino == file->ino) {
                heir = g_open_files[i];
            }
        }
        if (file->deleteOnClose && heir != nullptr) {
            /* The last handle to close deletes the file. */
            heir->deleteOnClose = true;
            heir->pending = true;
            heir->path = file->path;
        } else if (file->deleteOnClose && heir == nullptr) {
            /* Only the name that still leads to this file: it may have been
             * deleted, or replaced by a rename. */
            struct stat st;
            if (stat(file->path.c_str(), &st) == 0 && st.st_dev == file->dev && st.st_ino == file->ino)
                unlink(file->path.c_str());
        }
    }
    unregister_object(file);
    close(file->fd);
    delete file;
    return true;
}

} // namespace posix

BOOL WINAPI CloseHandle(HANDLE handle)
{
    switch (posix::object_kind(handle)) {
    case posix::kObjectFile: return posix::close_file(handle) ? TRUE : FALSE;
    case posix::kObjectThread: return posix::close_thread(handle) ? TRUE : FALSE;
    default: SetLastError(ERROR_INVALID_HANDLE); return FALSE;
    }
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED)
{
    if (read != nullptr) *read = 0;
    FileObject *file = file_of(handle);
    if (file == nullptr) return FALSE;
    if (!(file->access & GENERIC_READ)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    bool short_read = false;
    if (fault_now(g_read_fault, &short_read)) {
        if (!short_read) {
            SetLastError(ERROR_READ_FAULT);
            return FALSE;
        }
        toRead /= 2;
    }
    DWORD done = 0;
    auto *out = static_cast<unsigned char *>(buffer);
    while (done < toRead) {
        ssize_t n = ::read(file->fd, out + done, toRead - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (read != nullptr) *read = done;
            SetLastError(posix::error_from_errno(errno));
            return FALSE;
        }
        if (n == 0) break;
        done += static_cast<DWORD>(n);
    }
    if (read != nullptr) *read = done;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED)
{
    if (written != nullptr) *written = 0;
    FileObject *file = file_of(handle);
    if (file == nullptr) return FALSE;
    if (!(file->access & GENERIC_WRITE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    bool short_write = false;
    if (fault_now(g_write_fault, &short_write)) {
        if (!short_write) {
            SetLastError(ERROR_DISK_FULL);
            return FALSE;
        }
        toWrite /= 2;
    }
    DWORD done = 0;
    const auto *in = static_cast<const unsigned char *>(buffer);
    while (done < toWrite) {
        ssize_t n = ::write(file->fd, in + done, toWrite - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (written != nullptr) *written = done;
            SetLastError(posix::error_from_errno(errno));
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (written != nullptr) *written = done;
    return TRUE;
}

long KVXPosixSetFileFault(int kind, long after, long count)
{
    FaultPlan *const plans[] = {&g_read_fault,   &g_read_fault, &g_write_fault,  &g_write_fault,
                                &g_create_fault, &g_open_fault, &g_rename_fault, &g_delete_fault};
    if (kind < 0 || kind >= static_cast<int>(sizeof plans / sizeof plans[0])) return -1;
    FaultPlan &plan = *plans[kind];
    std::lock_guard<std::mutex> guard(g_fault_lock);
    const long failed = plan.failed;
    plan = FaultPlan();
    plan.after = after;
    plan.count = count;
    plan.half = kind == KVX_FAULT_SHORT_READ || kind == KVX_FAULT_SHORT_WRITE;
    return failed;
}

BOOL WINAPI FlushFileBuffers(HANDLE handle)
{
    FileObject *file = file_of(handle);
    if (file == nullptr) return FALSE;
    if (!(file->access & GENERIC_WRITE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (fsync(file->fd) != 0) {
        SetLastError(posix::error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buffer)
{
    const std::string cwd = current_folder();
    if (cwd.empty()) {
        SetLastError(posix::error_from_errno(errno));
        return 0;
    }
    const DWORD length = static_cast<DWORD>(cwd.size());
    if (buffer == nullptr || size <= length) return length + 1;
    memcpy(buffer, cwd.c_str(), cwd.size() + 1);
    return length;
}

DWORD WINAPI SetFilePointer(HANDLE handle, LONG distance, PLONG distanceHigh, DWORD method)
{
    FileObject *file = file_of(handle);
    if (file == nullptr) return INVALID_SET_FILE_POINTER;
    int64_t offset = distanceHigh != nullptr
                         ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                                                static_cast<uint32_t>(distance))
                         : static_cast<int64_t>(distance);
    int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : method == FILE_END ? SEEK_END : -1;
    if (whence < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    off_t base = 0;
    if (whence == SEEK_CUR) base = lseek(file->fd, 0, SEEK_CUR);
    if (whence == SEEK_END) {
        struct stat st;
        base = fstat(file->fd, &st) == 0 ? st.st_size : -1;
    }
    if (base < 0 || (offset < 0 && base + offset < 0)) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    off_t position = lseek(file->fd, static_cast<off_t>(base + offset), SEEK_SET);
    if (position < 0) {
        SetLastError(posix::error_from_errno(errno));
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceHigh != nullptr) *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(static_cast<uint64_t>(position) & 0xFFFFFFFFu);
}

BOOL WINAPI SetEndOfFile(HANDLE handle)
{
    FileObject *file = file_of(handle);
    if (file == nullptr) return FALSE;
    if (!(file->access & GENERIC_WRITE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    off_t position = lseek(file->fd, 0, SEEK_CUR);
    struct stat st;
    if (position < 0 || fstat(file->fd, &st) != 0) {
        SetLastError(posix::error_from_errno(errno));
        return FALSE;
    }
    /* Growing a file takes its disk space, as on Windows, so that a full
     * disk says so here and not at a later write.  File systems that cannot
     * reserve space get the length alone. */
    if (position > st.st_size) {
        const int reserved = posix_fallocate(file->fd, st.st_size, position - st.st_size);
        if (reserved == ENOSPC || reserved == EDQUOT || reserved == EFBIG) {
            SetLastError(posix::error_from_errno(reserved));
            return FALSE;
        }
    }
    if (ftruncate(file->fd, position) != 0) {
        SetLastError(posix::error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetFileSize(HANDLE handle, LPDWORD sizeHigh)
{
    FileObject *file = file_of(handle);
    struct stat st;
    if (file == nullptr || fstat(file->fd, &st) != 0) {
        if (file != nullptr) SetLastError(posix::error_from_errno(errno));
        return INVALID_FILE_SIZE;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (sizeHigh != nullptr) *sizeHigh = static_cast<DWORD>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size & 0xFFFFFFFFu);
}

namespace {

FILETIME file_time(const struct timespec &t)
{
    /* 100 ns steps since 1601. */
    const uint64_t steps = (static_cast<uint64_t>(t.tv_sec) + 11644473600ull) * 10000000ull +
                           static_cast<uint64_t>(t.tv_nsec) / 100;
    return FILETIME{static_cast<DWORD>(steps & 0xFFFFFFFFu), static_cast<DWORD>(steps >> 32)};
}

} // namespace

BOOL WINAPI GetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info)
{
    FileObject *file = file_of(handle);
    struct stat st;
    if (file == nullptr || info == nullptr || fstat(file->fd, &st) != 0) {
        if (file != nullptr) SetLastError(info == nullptr ? ERROR_INVALID_PARAMETER : posix::error_from_errno(errno));
        return FALSE;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const uint64_t index = static_cast<uint64_t>(st.st_ino);
    info->dwFileAttributes = read_only_mode(st.st_mode) ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
    info->ftCreationTime = file_time(st.st_ctim);
    info->ftLastAccessTime = file_time(st.st_atim);
    info->ftLastWriteTime = file_time(st.st_mtim);
    info->dwVolumeSerialNumber = static_cast<DWORD>(st.st_dev);
    info->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    info->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
    info->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    info->nFileIndexHigh = static_cast<DWORD>(index >> 32);
    info->nFileIndexLow = static_cast<DWORD>(index & 0xFFFFFFFFu);
    return TRUE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR name)
{
    struct stat st;
    if (name == nullptr || name[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (stat(name, &st) != 0) {
        SetLastError(errno == ENOENT ? missing_file_error(name) : posix::error_from_errno(errno));
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    return read_only_mode(st.st_mode) ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
}

BOOL WINAPI SetFileAttributesA(LPCSTR name, DWORD attributes)
{
    struct stat st;
    if (name == nullptr || stat(name, &st) != 0) {
        SetLastError(name == nullptr ? ERROR_INVALID_PARAMETER
                                     : errno == ENOENT ? missing_file_error(name) : posix::error_from_errno(errno));
        return FALSE;
    }
    if (S_ISDIR(st.st_mode)) return TRUE; /* Windows keeps no read-only mark on folders */
    mode_t mode = st.st_mode & 07777;
    mode = (attributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~static_cast<mode_t>(0222))
                                                  : (read_only_mode(mode) ? (mode | S_IWUSR) : mode);
    if (chmod(name, mode) != 0) {
        SetLastError(posix::error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR name)
{
    if (name != nullptr && fault_now(g_delete_fault)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    struct stat st;
    if (name == nullptr || stat(name, &st) != 0) {
        SetLastError(name == nullptr ? ERROR_INVALID_PARAMETER
                                     : errno == ENOENT ? missing_file_error(name) : posix::error_from_errno(errno));
        return FALSE;
    }
    if (S_ISDIR(st.st_mode) || read_only_mode(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (DWORD error = handles_refuse_delete(st)) {
        SetLastError(error);
        return FALSE;
    }
    if (unlink(name) != 0) {
        SetLastError(posix::error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags)
{
    if (from == nullptr || to == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (fault_now(g_rename_fault)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    struct stat st;
    if (stat(from, &st) != 0) {
        SetLastError(errno == ENOENT ? missing_file_error(from) : posix::error_from_errno(errno));
        return FALSE;
    }
    /* Windows opens the source with delete access first. */
    if (DWORD error = handles_refuse_delete(st)) {
        SetLastError(error);
        return FALSE;
    }
    struct stat target;
    if (stat(to, &target) == 0) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING)) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        /* Windows will not replace a read-only file, nor one that is open
         * without FILE_SHARE_DELETE. */
        if (S_ISDIR(target.st_mode) || read_only_mode(target.st_mode)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (DWORD error = handles_refuse_delete(target)) {
            SetLastError(error);
            return FALSE;
        }
    }
    /* Write-through: the data is on disk before the new name is, and the
     * name before the call returns. */
    if ((flags & MOVEFILE_WRITE_THROUGH) && !S_ISDIR(st.st_mode) && !sync_path(from, 0)) {
        SetLastError(posix::error_from_errno(errno));
        return FALSE;
    }
    if (rename(from, to) != 0) {
        SetLastError(posix::error_from_errno(errno));
        return FALSE;
    }
    {
        /* A file to delete on close goes under its new name. */
        std::lock_guard<std::mutex> guard(g_files_lock);
        for (FileObject *file : g_open_files)
            if (file->dev == st.st_dev && file->ino == st.st_ino && file->deleteOnClose) file->path = absolute_path(to);
    }
    if (flags & MOVEFILE_WRITE_THROUGH) {
        std::string folder(to);
        const size_t slash = folder.find_last_of('/');
        folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
        if (!sync_path(folder.c_str(), O_DIRECTORY)) {
            SetLastError(posix::error_from_errno(errno));
            return FALSE;
        }
    }
    return TRUE;
}
