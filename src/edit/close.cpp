/*
 * Closing a write session: KVXCloseFile and KVXCloseFileEx.
 *
 * The commit merges the edited audio, as the walker yields it, behind the
 * session's header image into one new file.  That file is written under a
 * name of the session's own in the target's folder, flushed and closed, and
 * only then renamed over the target in one step; until that moment the
 * target is as it was, and after any failure the session keeps its tree and
 * every file of it, so that a second close can succeed.  The session's files
 * are deleted only once the target has been replaced.
 *
 * There is no low-space mode: the edited file and the session's files hold
 * the only copies of the user's audio until the new file is safe, so none of
 * them is consumed to make room.  When the space test fails the close
 * answers 519 and the session stays open for the caller to free space.
 */
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "core/state.h"
#include "database/build.h"
#include "database/progress.h"
#include "decode/open.h"
#include "decode/session.h"
#include "edit/edit.h"
#include "edit/session.h"
#include "format/header.h"
#include "header/marks.h"
#include "kvx.h"
#include "playback/playback.h"

namespace kvx {
namespace edit {

namespace {

constexpr uint32_t kDialogChunks = 11;        /* results of 11 chunks or more: under the dialog */
constexpr uint32_t kHeaderBytes = 2 * kBlockBytes;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr int kReplaceTries = 20;             /* 20 x 50 ms for a reader to let go */

inline bool is_separator(char c)
{
    return c == '\\' || c == '/';
}

std::string folder_of(const std::string &path)
{
    const size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

/* A name as one spelling: absolute, one kind of separator, no "." parts,
 * ".." resolved, letter case folded on Windows. */
std::string canonical(const std::string &name)
{
    std::string path = name;
    const bool rooted = !path.empty() && (is_separator(path[0]) || (path.size() > 1 && path[1] == ':'));
    if (!rooted) {
        char cwd[kNameBytes];
        const DWORD got = GetCurrentDirectoryA(sizeof cwd, cwd);
        if (got != 0 && got < sizeof cwd) path = std::string(cwd) + "/" + path;
    }
    std::vector<std::string> parts;
    std::string prefix;
    size_t i = 0;
    if (path.size() > 1 && path[1] == ':') {
        prefix = path.substr(0, 2);
        i = 2;
    }
    std::string part;
    for (; i <= path.size(); ++i) {
        if (i == path.size() || is_separator(path[i])) {
            if (part == "..") {
                if (!parts.empty()) parts.pop_back();
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += path[i];
        }
    }
    std::string out = prefix;
    for (const std::string &p : parts) out += "/" + p;
#ifdef _WIN32
    for (char &c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
#endif
    return out;
}

bool exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

/* Whether two names lead to the same file: one spelling, or, where both
 * exist, one file (volume and file index). */
bool same_file(const std::string &a, const std::string &b)
{
    if (canonical(a) == canonical(b)) return true;
    HANDLE fa = CreateFileA(a.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (fa == INVALID_HANDLE_VALUE) return false;
    HANDLE fb = CreateFileA(b.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool same = false;
    if (fb != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION ia, ib;
        same = GetFileInformationByHandle(fa, &ia) && GetFileInformationByHandle(fb, &ib) &&
               ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
               ia.nFileIndexLow == ib.nFileIndexLow;
        CloseHandle(fb);
    }
    CloseHandle(fa);
    return same;
}

bool read_only(const std::string &path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

/* The lock byte of a KVX file's header; 0xFF when it cannot be read. */
uint8_t lock_byte(const std::string &path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0xFF;
    uint8_t header[hdr::kLock + 1];
    DWORD got = 0;
    const bool read = ReadFile(file, header, sizeof header, &got, nullptr) && got == sizeof header;
    CloseHandle(file);
    return read && header[0] >= 1 && header[0] <= 2 && hdr::magic_ok(header) ? header[hdr::kLock] : 0xFF;
}

/* A name of the session's own in `folder` that no file has yet. */
std::string own_name(Session &s, const std::string &folder, const char *what)
{
    const std::string base = folder + s.prefix.substr(s.folder.size());
    std::string path = base + what;
    while (exists(path)) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, "~%u", ++s.serial);
        path = base + what + suffix;
    }
    return path;
}

bool seek(HANDLE file, uint64_t offset)
{
    LONG high = static_cast<LONG>(offset >> 32);
    const DWORD low = SetFilePointer(file, static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN);
    return !(low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS);
}

bool write_all(HANDLE file, const uint8_t *data, uint32_t bytes)
{
    DWORD put = 0;
    if (!WriteFile(file, data, bytes, &put, nullptr)) return false;
    if (put != bytes) {
        SetLastError(ERROR_DISK_FULL);
        return false;
    }
    return true;
}

/* Chunks the result will have: the tree's leaves that hold audio. */
uint32_t result_chunks(const Table *table)
{
    uint32_t n = 0;
    for (const Entry &entry : table->entries) {
        if (entry.erased) continue;
        n += entry.repl != nullptr ? result_chunks(entry.repl) : (entry.dur != 0 ? 1 : 0);
    }
    return n;
}

/* Room for the result: a file of the needed size is made and dropped.
 * 0; 519 when the disk says it is full; 522 for any other failure. */
uint32_t space_test(Session &s, const std::string &folder, uint32_t chunks)
{
    const std::string path = own_name(s, folder, "961019.tmp");
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return write_error_result(GetLastError()) == KVX_ERR_DISK_FULL ? KVX_ERR_DISK_FULL : KVX_ERR_CREATE;
    const uint64_t bytes = static_cast<uint64_t>(chunks) * kChunkBytes + kHeaderBytes;
    uint32_t result = 0;
    if (!seek(file, bytes) || !SetEndOfFile(file))
        result = write_error_result(GetLastError()) == KVX_ERR_DISK_FULL ? KVX_ERR_DISK_FULL : KVX_ERR_CREATE;
    CloseHandle(file);
    return result;
}

struct Commit {
    Session *s = nullptr;
    std::string temp;               /* the output, under the session's name */
    HANDLE out = INVALID_HANDLE_VALUE;
    uint8_t header[kHeaderBytes];
    uint64_t blocks = 0;
    uint32_t ms = 0;
    std::vector<uint32_t> table;    /* ms at the end of each chunk */
    uint16_t codecFlags = 0;
    uint32_t chunks = 0;            /* expected, for the progress */
    uint32_t marks[16];
    uint32_t markBlock[16];
    uint32_t markFrame[16];
    uint32_t markCount = 0;
    uint32_t result = 0;
    DWORD error = 0;
};

/* Takes a run of blocks of the edited audio: their times, the marks they
 * hold and the codecs go into the commit's accounts, the blocks straight
 * into the output. */
bool take_blocks(const uint8_t *blocks, uint32_t count, void *user)
{
    Commit &c = *static_cast<Commit *>(user);
    for (uint32_t b = 0; b < count; ++b) {
        const uint8_t *block = blocks + b * kBlockBytes;
        const uint32_t d = hdr::block_ms(block);
        /* A mark lies in the first block whose end passes it. */
        for (uint32_t i = 0; i < c.markCount; ++i) {
            if (c.markBlock[i] != 0xFFFFFFFFu || c.marks[i] < c.ms || c.marks[i] >= c.ms + d) continue;
            c.markBlock[i] = static_cast<uint32_t>(c.blocks + 1);
            c.markFrame[i] = (c.marks[i] - c.ms) / hdr::frame_ms(block[hdr::kBlockCodec]);
        }
        c.codecFlags |= hdr::codec_flag(block[hdr::kBlockCodec]);
        c.ms += d;
        ++c.blocks;
        if (c.blocks % kBlocksPerChunk == 0) {
            c.table.push_back(c.ms);
            if (progress_showing())
                progress_report(std::max<uint32_t>(c.chunks, static_cast<uint32_t>(c.table.size())),
                                static_cast<uint32_t>(c.table.size()));
        }
    }
    if (!write_all(c.out, blocks, count * kBlockBytes)) {
        c.error = GetLastError();
        c.result = write_error_result(c.error);
        return false;
    }
    return true;
}

/* The header of the result: the session's image with the lock lifted, the
 * length, the commit's date and time as the recording's end, and the
 * marks with their blocks and frames. */
void finish_header(Commit &c)
{
    uint8_t *first = c.header;
    uint8_t *second = c.header + kBlockBytes;
    first[hdr::kBlockCount] = 2;
    hdr::put32(first + hdr::kExtendedMark, hdr::kExtendedMarkValue);
    first[hdr::kLock] = 0xFF;
    hdr::put32(first + hdr::kLengthMs, c.ms);
    const uint32_t seconds = c.ms / 1000;
    const uint32_t hours = std::min<uint32_t>(seconds / 3600, 99);
    hdr::put_digits(first + hdr::kLengthDigits, hours, seconds / 60 % 60, seconds % 60);
    const std::time_t now = std::time(nullptr);
    const std::tm *local = std::localtime(&now);
    if (local != nullptr) {
        hdr::put_digits(first + hdr::kEndDate, local->tm_year % 100, local->tm_mon + 1, local->tm_mday);
        hdr::put_digits(first + hdr::kEndTime, local->tm_hour, local->tm_min, local->tm_sec);
    }
    hdr::put32(second, c.ms);
    /* Extended marks, then the short marks made from those whose block
     * fits 16 bits. */
    uint8_t *ext = c.header + hdr::kExtMarks;
    std::memset(ext, 0xFF, hdr::kMarkCount * hdr::kExtMarkBytes);
    uint8_t *shorts = first + hdr::kShortMarks;
    std::memset(shorts, 0xFF, hdr::kMarkCount * hdr::kShortMarkBytes);
    bool short_run = true;
    for (uint32_t i = 0; i < c.markCount && i < hdr::kMarkCount; ++i) {
        uint8_t *entry = ext + i * hdr::kExtMarkBytes;
        const bool placed = c.markBlock[i] != 0xFFFFFFFFu;
        const uint32_t frame = placed ? (c.markFrame[i] != 0 ? c.markFrame[i] - 1 : 0) : 0xFFFF;
        hdr::put32(entry, c.markBlock[i]);
        hdr::put16(entry + 4, static_cast<uint16_t>(frame));
        hdr::put32(entry + 6, c.marks[i]);
        if (!placed || c.markBlock[i] > 0xFFFF) short_run = false;
        if (short_run) {
            hdr::put16(shorts + i * hdr::kShortMarkBytes, static_cast<uint16_t>(c.markBlock[i]));
            shorts[i * hdr::kShortMarkBytes + 2] = static_cast<uint8_t>(frame);
        }
    }
}

/* Writes the whole output and closes it.  0 or a result code; the output
 * file is left for the caller to delete on failure. */
uint32_t write_output(void *context)
{
    Commit &c = *static_cast<Commit *>(context);
    Session &s = *c.s;
    c.out = CreateFileA(c.temp.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (c.out == INVALID_HANDLE_VALUE) {
        c.error = GetLastError();
        return c.error == ERROR_ACCESS_DENIED ? static_cast<uint32_t>(KVX_ERR_READ_ONLY)
                                              : static_cast<uint32_t>(KVX_ERR_CREATE);
    }
    std::memcpy(c.header, s.header, kHeaderBytes);
    c.markCount = std::min<uint32_t>(s.markCount, 16);
    for (uint32_t i = 0; i < c.markCount; ++i) {
        c.marks[i] = s.marks[i];
        c.markBlock[i] = 0xFFFFFFFFu;
        c.markFrame[i] = 0;
    }
    uint32_t result = 0;
    if (!write_all(c.out, c.header, kHeaderBytes)) {
        c.error = GetLastError();
        result = write_error_result(c.error);
    }
    if (result == 0) {
        result = walk_chunks(take_blocks, &c);
        if (result == 0) result = c.result;
    }
    if (result == 0) {
        if (c.blocks % kBlocksPerChunk != 0 || c.blocks == 0) c.table.push_back(c.ms);
        finish_header(c);
        if (!seek(c.out, 0) || !write_all(c.out, c.header, kHeaderBytes) || !FlushFileBuffers(c.out)) {
            c.error = GetLastError();
            result = write_error_result(c.error);
        }
    }
    if (!CloseHandle(c.out) && result == 0) {
        c.error = GetLastError();
        result = write_error_result(c.error);
    }
    c.out = INVALID_HANDLE_VALUE;
    return result;
}

/* Puts the output in the target's place in one step; a reader that holds
 * the target open for a moment is waited for. */
uint32_t replace_target(const std::string &temp, const std::string &target)
{
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExA(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION || attempt + 1 >= kReplaceTries)
            return error == ERROR_ACCESS_DENIED ? static_cast<uint32_t>(KVX_ERR_READ_ONLY)
                                                : static_cast<uint32_t>(KVX_ERR_CREATE);
        Sleep(50);
    }
}

/* Lets go of the active file: a decoding session that reads it ends, and
 * the library's handle on it is closed. */
void release_active_file()
{
    if (decoding_session_running()) KVXEndDecoding(nullptr);
    close_active_handle();
}

void remake_reservation(Session &s)
{
    if (s.reservation != INVALID_HANDLE_VALUE) return;
    HANDLE file = CreateFileA((s.prefix + "kvxedit.tmp").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                              nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_RANDOM_ACCESS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    if (SetFilePointer(file, 550000, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !SetEndOfFile(file)) {
        CloseHandle(file);
        return;
    }
    s.reservation = file;
}

/* The commit: the output written and put in the target's place, the
 * session's files deleted, the target made the active file with the
 * commit's table.  On failure nothing of the session has changed. */
uint32_t commit(Session &s, const std::string &target)
{
    const std::string folder = folder_of(target);
    const uint32_t chunks = result_chunks(s.root);
    uint32_t result = space_test(s, folder, chunks);
    if (result != 0) return result;
    /* The reservation's room is the commit's now. */
    if (s.reservation != INVALID_HANDLE_VALUE) CloseHandle(s.reservation);
    s.reservation = INVALID_HANDLE_VALUE;

    Commit c;
    c.s = &s;
    c.chunks = chunks;
    c.temp = own_name(s, folder, "out.tmp");
    result = chunks >= kDialogChunks ? run_under_progress(kJobEdit, 0, write_output, &c) : write_output(&c);
    if (result == 0) {
        release_active_file();
        result = replace_target(c.temp, target);
    }
    if (result != 0) {
        DeleteFileA(c.temp.c_str());
        remake_reservation(s);
        if (c.error != 0) SetLastError(c.error);
        return result;
    }
    /* The target holds the whole edit: the session's files go. */
    std::vector<std::string> files = session_files();
    for (const std::string &path : files) DeleteFileA(path.c_str());
    s.leftovers.clear();
    s.workPath.clear();

    /* The committed file becomes the active file, known from the commit. */
    offer_chunk_table(c.table.data(), static_cast<uint16_t>(std::min<size_t>(c.table.size(), kMaxChunks)),
                      c.codecFlags);
    g_write.sessionOpen = false;
    /* A large file's record goes to its own folder's management file. */
    if (g_folder.path[0] == '\0' || canonical(g_folder.path) != canonical(folder))
        KVXActiveFolder(folder.c_str(), g_folder.mode);
    g_file.name[0] = '\0';
    uint32_t ms = 0;
    uint16_t flags = 0;
    const uint32_t opened = KVXActiveFile2(target.c_str(), &ms, &flags);
    offer_chunk_table(nullptr, 0, 0);
    g_write.sessionOpen = true;
    return opened == KVX_OK ? 0u : opened | 0x80000000u; /* saved; the opening's result is kept apart */
}

/* Writes the session's header image and marks into its file, in place: a
 * change of header fields or marks alone. */
uint32_t write_header_only(Session &s)
{
    HANDLE file = CreateFileA(s.finalPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return KVX_ERR_OPEN_FOR_WRITE;
    const bool written = write_all(file, s.header, kHeaderBytes);
    CloseHandle(file);
    if (!written) return write_error_result(GetLastError());
    g_write.sessionOpen = false;
    const uint32_t result = write_marks_of(s.marks, s.markCount);
    g_write.sessionOpen = true;
    return result;
}

/* Opens the session again on the committed file, as an edit of the active
 * file. */
uint32_t reopen(Session &s)
{
    free_tree(s.root);
    s.root = nullptr;
    s.kind = 2;
    s.pointerState = 255;
    s.activity = 0;
    s.written = false;
    s.headerChanged = false;
    s.limitReached = false;
    s.restartPlayback = true;
    g_write.sessionOpen = false;
    const uint32_t result = open_session_on_active(s);
    g_write.sessionOpen = true;
    if (result != 0) return result;
    /* Without room in reserve the session goes on all the same: the file
     * is saved. */
    remake_reservation(s);
    s.handle->tag = kTagActive;
    s.handle->length = s.length;
    s.handle->root = s.root;
    return 0;
}

uint32_t close_session(WriteHandle *handle, const char *name, uint32_t flags, bool extended)
{
    if (!handle_ok(handle)) return KVX_ERR_HANDLE;
    playback::stop_edit();
    Session &s = *g_edit;
    const bool discard = extended && (flags & 1) != 0;
    const bool keep = extended && (flags & 2) != 0 && !discard;
    if (s.activity == 2 && !discard) {
        /* A segment still records: it ends here, as with `last`. */
        const uint32_t ended = end_recording(s);
        if (ended != 0 && ended != KVX_ERR_LENGTH_LIMIT) return ended;
    }
    if (discard) return discard_session(handle);

    const size_t length = name != nullptr ? name_length(name, kNameBytes) : 0;
    if (length >= kNameBytes) return KVX_ERR_CREATE;
    std::string target = s.finalPath;
    bool same = true;
    if (length != 0) {
        std::string given;
        if (!absolute_name(std::string(name, length), &given)) return KVX_ERR_CREATE;
        same = same_file(given, s.finalPath);
        if (!same) target = given;
    }

    bool commit_needed = s.written;
    if (extended && !same) commit_needed = true;          /* saving under another name */
    if (extended && s.kind == 0) commit_needed = true;    /* a new file is always made */
    /* A header change of a one-block file needs its second block: the
     * whole file is written anew. */
    if (s.headerChanged && s.kind != 0 && g_file.headerBlocks == 1) commit_needed = true;

    uint32_t result = 0;
    if (commit_needed) {
        /* A locked recording is not written over, whether it is the edited
         * file or another one a save would replace. */
        if (exists(target)) {
            if (read_only(target)) return KVX_ERR_READ_ONLY;
            if (lock_byte(target) == 0) return KVX_ERR_LOCKED;
        }
        result = commit(s, target);
        if (result != 0 && (result & 0x80000000u) == 0) return result; /* nothing changed: the session stays */
        const uint32_t opened = result & 0x7FFFFFFFu;
        s.finalPath = target;
        if (keep) {
            result = opened != 0 ? opened : reopen(s);
            if (result == 0) return 0;
        } else {
            result = 0;
        }
    } else if (s.headerChanged && s.kind != 0) {
        if (read_only(s.finalPath)) return KVX_ERR_READ_ONLY;
        if (lock_byte(s.finalPath) == 0) return KVX_ERR_LOCKED;
        result = write_header_only(s);
        if (result != 0) return result;
        s.headerChanged = false;
        if (keep) return 0;
    } else if (keep) {
        return 0;
    }
    discard_session(handle);
    return result;
}

} // namespace

} // namespace edit
} // namespace kvx

using namespace kvx;
using namespace kvx::edit;

extern "C" uint32_t KVXAPI KVXCloseFile(WriteHandle *handle, const char *name)
{
    try {
        return close_session(handle, name, 0, false);
    } catch (const std::bad_alloc &) {
        return KVX_ERR_EDIT_MEMORY;
    }
}

extern "C" uint32_t KVXAPI KVXCloseFileEx(WriteHandle *handle, const char *name, uint32_t flags)
{
    try {
        return close_session(handle, name, flags, true);
    } catch (const std::bad_alloc &) {
        return KVX_ERR_EDIT_MEMORY;
    }
}
