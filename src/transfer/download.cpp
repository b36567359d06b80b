/*
 * Recorder download: KVXRV880ActiveFile, and the end of a download.
 *
 * A name that ends in ".kvx" is a finished file: it is opened and fed as it
 * is.  Any other name is a recording still on a portable recorder: the
 * library loads the recorder's device link library ("COMM.DLL" for a
 * serial link, "ZOZUVU.DLL" for USB), copies the recording's header blocks
 * to a new local file of that name, and starts a thread that appends the
 * rest block by block while the feed reads what is there.  The feed's end
 * gives the finished file its ".kvx" name, or deletes an unfinished one.
 *
 * A download touches only the file it made itself: it creates its file only
 * where none exists, and renames or deletes only that file, whatever file
 * the process made active meanwhile.  A finished download never replaces an
 * existing ".kvx" recording; it then keeps its own name.
 */
#include <cctype>
#include <cstring>

#include "core/state.h"
#include "decode/open.h"
#include "edit/edit.h"
#include "kvx.h"
#include "transfer/feed.h"
#include "transfer/shared.h"

#ifdef _WIN32
#define KVX_CDECL __cdecl
#else
#define KVX_CDECL
#endif

namespace kvx {
namespace transfer {
namespace {

constexpr int kLinkOk = 2;
constexpr uint8_t kRateAtEnd = 242;
constexpr uint32_t kPowerDown = 10;
constexpr DWORD kEndWaitMs = 30000;   /* a recorder stuck in a read is given up after this */

struct Progress {
    uint32_t totalBytes;
    uint32_t deliveredBytes;
    uint32_t finished;
};

typedef int(KVX_CDECL *SetComPortFn)(uint8_t port, uint8_t rate);
typedef int(KVX_CDECL *NoArgFn)();
typedef int(KVX_CDECL *RateFn)(uint8_t rate);
typedef int(KVX_CDECL *DeviceInfoFn)(uint32_t *w1, uint32_t *w2);
typedef int(KVX_CDECL *UsbPortFn)(uint32_t usb);
typedef int(KVX_CDECL *OpenFileFn)(uint32_t b, uint32_t a, uint32_t blockBytes, Progress *progress);
typedef int(KVX_CDECL *ReadFileFn)(uint8_t *block, Progress *progress, uint32_t *w);
typedef int(KVX_CDECL *PowerFn)(uint32_t what, uint8_t *byte);

struct Link {
    HMODULE module = nullptr;
    bool serial = false;
    SetComPortFn setComPort = nullptr;
    NoArgFn closeComPort = nullptr;
    RateFn changeComRate = nullptr;
    DeviceInfoFn getDeviceInfo = nullptr;
    UsbPortFn initUsbPort = nullptr;
    UsbPortFn closeUsbPort = nullptr;
    OpenFileFn openFile = nullptr;
    ReadFileFn readFile = nullptr;
    PowerFn setPower = nullptr;
    NoArgFn stop = nullptr;
};

struct State {
    bool started = false;          /* a download began: its end is due */
    bool created = false;          /* the local file is the download's own */
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE thread = nullptr;
    Progress progress{};
    Link link;
};

State g_state;

template <typename Fn> bool resolve(HMODULE module, const char *name, Fn *fn)
{
    *fn = reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    return *fn != nullptr;
}

/* Loads the link library that `linkKind` names and finds its entry points,
 * in the order the recorder's makers give them. */
bool load_link(Link &link)
{
    link.serial = shared_block()->linkKind != 0;
    link.module = LoadLibraryA(link.serial ? "COMM.DLL" : "ZOZUVU.DLL");
    if (link.module == nullptr) return false;
    bool ok = link.serial ? resolve(link.module, "SetCOMPort", &link.setComPort) &&
                                resolve(link.module, "CloseCOMPort", &link.closeComPort) &&
                                resolve(link.module, "ChangeCOMRate", &link.changeComRate)
                          : resolve(link.module, "GetDeviceInfo", &link.getDeviceInfo) &&
                                resolve(link.module, "InitUSBPort", &link.initUsbPort) &&
                                resolve(link.module, "CloseUSBPort", &link.closeUsbPort);
    ok = ok && resolve(link.module, "OpenKVXFile", &link.openFile) && resolve(link.module, "ReadKVXFile", &link.readFile) &&
         resolve(link.module, "SetCOMPower", &link.setPower) && resolve(link.module, "StopTZ440V", &link.stop);
    if (!ok) {
        FreeLibrary(link.module);
        link = Link();
    }
    return ok;
}

bool ends_in_kvx(const char *name)
{
    const size_t length = std::strlen(name);
    if (length < 4) return false;
    const char *tail = name + length - 4;
    return tail[0] == '.' && std::tolower(static_cast<unsigned char>(tail[1])) == 'k' &&
           std::tolower(static_cast<unsigned char>(tail[2])) == 'v' &&
           std::tolower(static_cast<unsigned char>(tail[3])) == 'x';
}

void close_local()
{
    if (g_state.file != INVALID_HANDLE_VALUE) CloseHandle(g_state.file);
    g_state.file = INVALID_HANDLE_VALUE;
}

/* Writes a block to the local file, when there is one.  A failure marks
 * the download's result for deletion. */
bool store_block(const uint8_t *block)
{
    if (g_state.file == INVALID_HANDLE_VALUE) return true;
    DWORD written = 0;
    if (WriteFile(g_state.file, block, kBlockBytes, &written, nullptr) && written == kBlockBytes) return true;
    shared_block()->transWay |= kWayDiscard;
    return false;
}

uint32_t audio_chunks(uint32_t total, uint32_t header_blocks)
{
    const uint32_t header = header_blocks * kBlockBytes;
    const uint32_t audio = total > header ? total - header : 0;
    return (audio + kFeedChunkBytes - 1) / kFeedChunkBytes;
}

DWORD WINAPI download_thread(LPVOID)
{
    const uint32_t header = g_download.headerBlocks * kBlockBytes;
    const uint32_t total = g_state.progress.totalBytes;
    const bool whole = total <= header || (total - header) % kFeedChunkBytes == 0;
    uint32_t available = 0;
    uint8_t block[kBlockBytes];
    while (g_state.progress.finished == 0) {
        if (g_download.abort) break;
        uint32_t w = 0;
        if (g_state.link.readFile(block, &g_state.progress, &w) != kLinkOk || !store_block(block)) break;
        const uint32_t delivered = g_state.progress.deliveredBytes;
        const uint32_t now = delivered > header ? (delivered - header) / kFeedChunkBytes : 0;
        if (now != available) {
            /* Closed and opened again, so that every reader that opens the
             * file sees the new chunk. */
            if (g_state.file != INVALID_HANDLE_VALUE) {
                close_local();
                g_state.file = CreateFileA(g_download.path, GENERIC_READ | GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr);
                if (g_state.file == INVALID_HANDLE_VALUE ||
                    (SetFilePointer(g_state.file, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
                     GetLastError() != ERROR_SUCCESS)) {
                    shared_block()->transWay |= kWayDiscard;
                    break;
                }
            }
            available = now;
            g_download.available = available;
        }
    }
    close_local();
    if (g_state.progress.finished == 0) {
        g_download.failed = true;
        return 1;
    }
    if (!whole) ++available;
    g_download.available = available;
    g_download.complete = true;
    return 1;
}

/* Waits for the download thread to end, for at most `limit_ms`.  True when
 * it has (or there is none). */
bool join_thread(DWORD limit_ms)
{
    if (g_state.thread == nullptr) return true;
    g_download.abort = true;
    /* Signalled once the thread has ended, not only its function: nothing of
     * it runs on in a library about to be unloaded. */
    if (WaitForSingleObject(g_state.thread, limit_ms) != WAIT_OBJECT_0) return false;
    CloseHandle(g_state.thread);
    g_state.thread = nullptr;
    return true;
}

/* A file of the recorder that is not on disk yet: header blocks first, then
 * the thread for the rest.  0, 10 or 11. */
uint32_t start_download(uint32_t a, uint32_t b)
{
    SharedBlock *const shared = shared_block();
    if (g_download.path[0] != '\0') {
        /* Made only where no file is: a download never writes over one. */
        g_state.file = CreateFileA(g_download.path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        g_state.created = g_state.file != INVALID_HANDLE_VALUE;
        if (!g_state.created) {
            /* Nothing of the recording is stored, and a file that was
             * already there is not the recording: the feed gets nothing. */
            shared->transWay |= kWayDiscard;
            g_download.path[0] = '\0';
        }
    }
    g_state.started = true;
    if (!load_link(g_state.link)) {
        g_download.failed = true;
        close_local();
        return KVX_ERR_LINK_LIBRARY;
    }
    Link &link = g_state.link;
    bool ok;
    if (link.serial) {
        ok = link.setComPort(shared->comPort, shared->comRate) == kLinkOk;
    } else {
        uint32_t w1 = 0, w2 = 0;
        ok = link.getDeviceInfo(&w1, &w2) == kLinkOk && link.initUsbPort(shared->usbPort) == kLinkOk;
    }
    g_state.progress = Progress();
    ok = ok && link.openFile(b, a, kBlockBytes, &g_state.progress) == kLinkOk;
    if (ok && link.serial && shared->linkKind == 1) ok = link.changeComRate(shared->comRate) == kLinkOk;
    uint8_t block[kBlockBytes] = {};
    uint32_t w = 0;
    ok = ok && link.readFile(block, &g_state.progress, &w) == kLinkOk && store_block(block);
    /* The first byte counts the header blocks; only 1 and 2 make a file. */
    const int8_t header_blocks = static_cast<int8_t>(block[0]);
    ok = ok && (header_blocks == 1 || header_blocks == 2);
    for (int i = 1; ok && i < header_blocks; ++i)
        ok = link.readFile(block, &g_state.progress, &w) == kLinkOk && store_block(block);
    if (!ok) {
        g_download.failed = true;
        close_local();
        return KVX_ERR_FOLDER;
    }
    g_download.headerBlocks = static_cast<uint16_t>(header_blocks);
    g_download.chunkCount = audio_chunks(g_state.progress.totalBytes, g_download.headerBlocks);
    if (g_state.file != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(g_state.file);
        /* The header on disk makes the file the active one, for the marks. */
        open_header_only(g_download.path);
    }
    DWORD id = 0;
    g_state.thread = CreateThread(nullptr, 0, download_thread, nullptr, 0, &id);
    if (g_state.thread == nullptr) {
        g_download.failed = true;
        close_local();
        return KVX_ERR_FOLDER;
    }
    return KVX_OK;
}

/* Ends the download, waiting at most `limit_ms` for its thread. */
void end_download_within(DWORD limit_ms)
{
    if (!g_state.started) return;
    if (!join_thread(limit_ms)) return; /* the recorder hangs: its file and link stay as they are */
    g_state.started = false;
    if (g_state.created) {
        if (g_download.complete) {
            g_download.complete = false;
            char finished[kvx::kNameBytes];
            const size_t length = std::strlen(g_download.path);
            if (length + 4 < sizeof finished) {
                std::memcpy(finished, g_download.path, length);
                std::memcpy(finished + length, ".kvx", 5);
                /* No existing recording is replaced: then the download keeps
                 * its own name. */
                if (MoveFileExA(g_download.path, finished, MOVEFILE_WRITE_THROUGH) &&
                    same_file_name(g_file.name, g_download.path))
                    std::memcpy(g_file.name, finished, length + 5);
            }
        } else {
            /* Failed, aborted or to be discarded: an unfinished recording
             * is not kept. */
            DeleteFileA(g_download.path);
        }
    }
    g_state.created = false;
    Link &link = g_state.link;
    if (link.module == nullptr) return;
    if (link.stop() == kLinkOk) {
        uint8_t byte = 0;
        if (FindWindowA("Vantrex", nullptr) == nullptr) link.setPower(kPowerDown, &byte);
        else if (shared_block()->linkKind == 1) link.changeComRate(kRateAtEnd);
    }
    if (link.serial) link.closeComPort();
    else link.closeUsbPort(shared_block()->usbPort);
    FreeLibrary(link.module);
    link = Link();
}

} // namespace

void end_download()
{
    end_download_within(kEndWaitMs);
}

void stop_download_thread()
{
    /* Unloading ends a download as the feed's end would. */
    end_download_within(2000);
}

} // namespace transfer
} // namespace kvx

using namespace kvx;
using namespace kvx::transfer;

extern "C" uint32_t KVXAPI KVXRV880ActiveFile(uint32_t a, uint32_t b)
{
    /* The active file is the write session's while one is open. */
    if (edit::session_open()) return KVX_ERR_BUSY;
    /* A download still running from before ends first. */
    end_download();
    g_download = Download();
    char name[kvx::transfer::kNameBytes];
    transfer_name(name);
    std::memcpy(g_download.path, name, sizeof name);
    if (name[0] != '\0' && ends_in_kvx(name)) {
        g_download.complete = true;
        g_download.alreadyComplete = true;
        if (open_header_only(name) != KVX_OK) {
            g_download.path[0] = '\0';
            return KVX_ERR_FOLDER;
        }
        g_download.headerBlocks = g_file.headerBlocks;
        g_download.chunkCount = (g_file.audioBytes + kFeedChunkBytes - 1) / kFeedChunkBytes;
        g_download.available = g_download.chunkCount;
        return KVX_OK;
    }
    return start_download(a, b);
}
