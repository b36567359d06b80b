/*
 * Multimedia files, unbuffered: mmioOpenA opens (or with MMIO_CREATE creates
 * or truncates) a plain file, and mmioRead, mmioWrite and mmioSeek go
 * straight to it.  Custom I/O procedures and the RIFF calls are not here.
 */
#include <cstdio>
#include <new>

#include "objects.h"

namespace {

struct MmioObject : posix::Object {
    HANDLE file;
};

MmioObject *mmio_of(HMMIO handle)
{
    if (posix::object_kind(handle) != posix::kObjectMmio) return nullptr;
    return reinterpret_cast<MmioObject *>(handle);
}

UINT open_error(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND: return MMIOERR_FILENOTFOUND;
    case ERROR_PATH_NOT_FOUND: return MMIOERR_PATHNOTFOUND;
    case ERROR_ACCESS_DENIED: return MMIOERR_ACCESSDENIED;
    case ERROR_SHARING_VIOLATION: return MMIOERR_SHARINGVIOLATION;
    case ERROR_TOO_MANY_OPEN_FILES: return MMIOERR_TOOMANYOPENFILES;
    case ERROR_NOT_ENOUGH_MEMORY: return MMIOERR_OUTOFMEMORY;
    default: return MMIOERR_CANNOTOPEN;
    }
}

HMMIO fail(LPMMIOINFO info, UINT error)
{
    if (info != nullptr) info->wErrorRet = error;
    return nullptr;
}

} // namespace

HMMIO WINAPI mmioOpenA(LPSTR name, LPMMIOINFO info, DWORD flags)
{
    const DWORD known = MMIO_RWMODE | MMIO_SHAREMODE | MMIO_CREATE | MMIO_ALLOCBUF;
    if (flags & ~known) return fail(info, MMSYSERR_INVALFLAG);
    if (info != nullptr && (info->pIOProc != nullptr || info->fccIOProc != 0)) return fail(info, MMSYSERR_NOTSUPPORTED);
    if (name == nullptr) return fail(info, MMIOERR_CANNOTOPEN);

    DWORD access;
    switch (flags & MMIO_RWMODE) {
    case MMIO_READ: access = GENERIC_READ; break;
    case MMIO_WRITE: access = GENERIC_WRITE; break;
    case MMIO_READWRITE: access = GENERIC_READ | GENERIC_WRITE; break;
    default: return fail(info, MMSYSERR_INVALFLAG);
    }
    DWORD share;
    switch (flags & MMIO_SHAREMODE) {
    case MMIO_EXCLUSIVE: share = 0; break;
    case MMIO_DENYWRITE: share = FILE_SHARE_READ; break;
    case MMIO_DENYREAD: share = FILE_SHARE_WRITE; break;
    default: share = FILE_SHARE_READ | FILE_SHARE_WRITE; break; /* compatibility mode, deny none */
    }
    HANDLE file = CreateFileA(name, access, share, nullptr, (flags & MMIO_CREATE) ? CREATE_ALWAYS : OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return fail(info, open_error(GetLastError()));
    auto *object = new (std::nothrow) MmioObject;
    if (object == nullptr) {
        CloseHandle(file);
        return fail(info, MMIOERR_OUTOFMEMORY);
    }
    object->kind = posix::kObjectMmio;
    object->file = file;
    posix::register_object(object);
    if (info != nullptr) info->wErrorRet = MMSYSERR_NOERROR;
    return reinterpret_cast<HMMIO>(object);
}

LONG WINAPI mmioRead(HMMIO handle, HPSTR buffer, LONG bytes)
{
    MmioObject *mmio = mmio_of(handle);
    if (mmio == nullptr || bytes < 0 || (buffer == nullptr && bytes != 0)) return -1;
    DWORD read = 0;
    if (!ReadFile(mmio->file, buffer, static_cast<DWORD>(bytes), &read, nullptr)) return -1;
    return static_cast<LONG>(read);
}

LONG WINAPI mmioWrite(HMMIO handle, const char *buffer, LONG bytes)
{
    MmioObject *mmio = mmio_of(handle);
    if (mmio == nullptr || bytes < 0 || (buffer == nullptr && bytes != 0)) return -1;
    DWORD written = 0;
    if (!WriteFile(mmio->file, buffer, static_cast<DWORD>(bytes), &written, nullptr)) return -1;
    return static_cast<LONG>(written);
}

LONG WINAPI mmioSeek(HMMIO handle, LONG offset, int origin)
{
    MmioObject *mmio = mmio_of(handle);
    if (mmio == nullptr) return -1;
    const DWORD method = origin == SEEK_SET ? FILE_BEGIN : origin == SEEK_CUR ? FILE_CURRENT
                                                         : origin == SEEK_END ? FILE_END : 0xFFFFFFFFu;
    if (method == 0xFFFFFFFFu) return -1;
    const DWORD position = SetFilePointer(mmio->file, offset, nullptr, method);
    if (position == INVALID_SET_FILE_POINTER || position > 0x7FFFFFFFu) return -1;
    return static_cast<LONG>(position);
}

MMRESULT WINAPI mmioClose(HMMIO handle, UINT)
{
    MmioObject *mmio = mmio_of(handle);
    if (mmio == nullptr) return MMSYSERR_INVALHANDLE;
    posix::unregister_object(mmio);
    const BOOL closed = CloseHandle(mmio->file);
    delete mmio;
    return closed ? MMSYSERR_NOERROR : MMIOERR_CANNOTCLOSE;
}
