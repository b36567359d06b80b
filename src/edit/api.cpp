/*
 * The write session's exports: KVXCreateFile, KVXSetWritePointer,
 * KVXWriteFile, KVXPartialErase, and the session's index marks.
 *
 * Frames arrive coded, one per call, and are packed into 512-byte blocks:
 * a 6-byte block header (first-frame offset, frame count, codec byte) and
 * 506 bytes of frame stream, SP with the bytes of every 16-bit pair
 * exchanged.  A frame that does not fit runs on into the next block.  A
 * segment (the frames from a write pointer to the call with `last`) is
 * written into a replacement file and becomes part of the edit tree when it
 * ends; in overwrite mode the old audio behind it is then erased in the
 * same change, so either both happen or neither.
 */
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "codec_lp/lp_decoder.h"
#include "codec_sp/sp_decoder.h"
#include "core/state.h"
#include "decode/open.h"
#include "edit/edit.h"
#include "edit/session.h"
#include "format/header.h"
#include "kvx.h"
#include "playback/playback.h"

namespace kvx {
namespace edit {

namespace {

constexpr uint32_t kReservationBytes = 550000;
constexpr uint32_t kMarkSpacingMs = 1000;
constexpr uint32_t kEmpty = 0xFFFFFFFFu;
constexpr size_t kRetiredHandles = 4096;

uint32_t s_sessions = 0;                 /* sessions opened by this process */
/* Handles of closed sessions; the list itself is never freed, so that the
 * handles it keeps stay reachable to the end. */
std::vector<WriteHandle *> *s_retired = nullptr;

inline bool is_separator(char c)
{
    return c == '\\' || c == '/';
}

/* The absolute form of a name: names without a root are taken from the
 * current directory now, once. */
bool absolute(const std::string &name, std::string *out)
{
    const bool rooted = !name.empty() && (is_separator(name[0]) || (name.size() > 1 && name[1] == ':'));
    if (rooted) {
        *out = name;
        return true;
    }
    char cwd[kNameBytes];
    const DWORD got = GetCurrentDirectoryA(sizeof cwd, cwd);
    if (got == 0 || got >= sizeof cwd) return false;
    std::string folder = cwd;
#ifdef _WIN32
    if (!is_separator(folder.back())) folder += '\\';
#else
    if (!is_separator(folder.back())) folder += '/';
#endif
    *out = folder + name;
    return true;
}

/* The folder of a path, with its separator; empty for a bare name. */
std::string folder_of(const std::string &path)
{
    const size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

bool handle_valid(const WriteHandle *handle)
{
    return g_edit != nullptr && handle != nullptr && handle == g_edit->handle &&
           (handle->tag == kTagNew || handle->tag == kTagNamed || handle->tag == kTagActive);
}

void retire(WriteHandle *handle)
{
    /* A closed session's handle keeps its memory for a while, so that a new
     * session's handle never has its address and the old one fails. */
    handle->tag = 0;
    if (s_retired == nullptr) s_retired = new std::vector<WriteHandle *>;
    s_retired->push_back(handle);
    if (s_retired->size() > kRetiredHandles) {
        delete s_retired->front();
        s_retired->erase(s_retired->begin());
    }
}

void close_reservation(Session &s)
{
    if (s.reservation != INVALID_HANDLE_VALUE) CloseHandle(s.reservation);
    s.reservation = INVALID_HANDLE_VALUE;
}

void free_session(Session *s)
{
    if (s == nullptr) return;
    close_reservation(*s);
    if (s->out.file != INVALID_HANDLE_VALUE) CloseHandle(s->out.file);
    free_tree(s->out.table);
    free_tree(s->change.snapshot);
    free_tree(s->root);
    delete[] s->level;
    delete s;
}

/* The header image of a new file. */
void new_header(Session &s)
{
    uint8_t *first = s.header;
    uint8_t *second = s.header + kBlockBytes;
    std::memset(first, 0xFF, kBlockBytes);
    first[0] = 2;
    std::memcpy(first + 1, "kvx", 3);
    hdr::put16(first + 4, 1);
    hdr::put16(first + 6, 1);
    hdr::put32(first + 8, 2);
    std::memset(first + 12, ' ', 16);
    hdr::put32(first + 28, 0);
    const uint8_t word32[6] = {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::memcpy(first + 32, word32, 6);
    std::memset(first + 38, '0', 30);
    first[68] = 0xFF;
    first[69] = 0x07;
    const std::time_t now = std::time(nullptr);
    const std::tm *local = std::localtime(&now);
    if (local != nullptr) {
        hdr::put_digits(first + hdr::kStartDate, local->tm_year % 100, local->tm_mon + 1, local->tm_mday);
        hdr::put_digits(first + hdr::kStartTime, local->tm_hour, local->tm_min, local->tm_sec);
        std::memcpy(first + hdr::kEndDate, first + hdr::kStartDate, 6);
        std::memcpy(first + hdr::kEndTime, first + hdr::kStartTime, 6);
    }
    first[hdr::kCodecMode] = s.mode;
    std::memset(second, 0, kBlockBytes);
    second[164] = s.mode;
    second[280] = 0xFF;
    second[281] = 0;
    std::memset(second + 4, 0xFF, 160);
}

/* The session's extended marks into the header image's second block. */
void marks_to_header(Session &s)
{
    uint8_t *slots = s.header + kBlockBytes + 4;
    std::memset(slots, 0xFF, 160);
    for (uint32_t i = 0; i < s.markCount; ++i) hdr::put32(slots + i * 10 + 6, s.marks[i]);
}

void sort_marks(uint32_t *marks, uint32_t count)
{
    std::sort(marks, marks + count);
}

void remove_mark(uint32_t *marks, uint32_t *count, uint32_t i)
{
    for (uint32_t j = i + 1; j < *count; ++j) marks[j - 1] = marks[j];
    --*count;
    marks[*count] = kEmpty;
}

/* The edited file's own marks: the extended table, or for a header without
 * one the short marks, worked out as a header conversion does. */
void load_marks(Session &s)
{
    uint32_t positions[16];
    uint32_t count = 0;
    std::fill(positions, positions + 16, kEmpty);
    if (KVXGetExtIndexMark(positions, &count) != KVX_OK) std::fill(positions, positions + 16, kEmpty);
    s.markCount = 0;
    for (uint32_t i = 0; i < 16; ++i)
        if (positions[i] != kEmpty) s.marks[s.markCount++] = positions[i];
    sort_marks(s.marks, s.markCount);
    for (uint32_t i = s.markCount; i < 16; ++i) s.marks[i] = kEmpty;
}

bool read_at(const std::string &path, uint32_t offset, uint8_t *buffer, uint32_t bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD got = 0;
    const bool ok = SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
                    ReadFile(file, buffer, bytes, &got, nullptr) && got == bytes;
    CloseHandle(file);
    return ok;
}

/* Opens the session of an edited file on the active file.  0 or a result. */
uint32_t open_edit(Session &s)
{
    std::string path;
    if (!absolute(g_file.name, &path)) return KVX_ERR_CREATE;
    s.finalPath = path;
    s.root = new_table(nullptr, path, path, kBlockBytes * g_file.headerBlocks);
    s.root->root = true;
    uint32_t before = 0;
    const uint32_t chunks = std::max<uint32_t>(g_file.chunkCount, 1);
    for (uint32_t i = 0; i < chunks; ++i) {
        const uint32_t t = g_file.chunkTimes != nullptr && i < g_file.chunkCount ? g_file.chunkTimes[i] : 0;
        s.root->entries.push_back(Entry{0, t > before ? t - before : 0, nullptr, false});
        before = std::max(before, t);
    }
    update_times(s);
    s.fileEmpty = s.length == 0;
    s.mode = g_file.codecFlags == 1 ? 0 : 2;
    load_marks(s);
    /* The header image: the file's first block, and its second block or a
     * fresh one that the committed file will carry. */
    std::memset(s.header + kBlockBytes, 0, kBlockBytes);
    s.header[kBlockBytes + 280] = 0xFF;
    s.header[kBlockBytes + 281] = 0;
    if (!read_at(path, 0, s.header, kBlockBytes)) return KVX_ERR_READ;
    if (s.header[0] == 1) s.header[0] = 2;
    else if (!read_at(path, kBlockBytes, s.header + kBlockBytes, kBlockBytes)) return KVX_ERR_READ;
    return 0;
}

uint32_t create(const char *path, uint32_t kind, WriteHandle **made)
{
    if (g_edit != nullptr) return KVX_ERR_BUSY;
    const size_t length = path != nullptr ? name_length(path, kNameBytes) : 0;
    if (length >= kNameBytes) return KVX_ERR_CREATE;
    const std::string name = path != nullptr ? std::string(path, length) : std::string();
    if (kind == 0 && name.empty()) return KVX_ERR_EDIT_MEMORY;

    /* The file the session works on, and so its folder. */
    if (kind == 1 && !name.empty()) {
        if (g_file.name[0] == '\0' || !same_file_name(name.c_str(), g_file.name)) {
            std::string folder = folder_of(name);
            if (!folder.empty()) {
                const uint32_t result = KVXActiveFolder(folder.c_str(), 1);
                if (result != KVX_OK) return result;
            }
            uint32_t ms = 0;
            uint16_t flags = 0;
            const uint32_t result = KVXActiveFile2(name.c_str(), &ms, &flags);
            if (result != KVX_OK) return result;
        } else if (g_file.lastResult != KVX_OK) {
            /* The name is the active file's, but its last opening failed:
             * open it again rather than edit what the failure left. */
            g_file.name[0] = '\0';
            uint32_t ms = 0;
            uint16_t flags = 0;
            const uint32_t result = KVXActiveFile2(name.c_str(), &ms, &flags);
            if (result != KVX_OK) return result;
        }
    }
    if (kind != 0) {
        if (g_file.name[0] == '\0') return KVX_ERR_NO_ACTIVE_FILE;
        if (g_file.lastResult != KVX_OK) return static_cast<uint32_t>(g_file.lastResult);
    }
    std::string target;
    if (!absolute(kind == 0 ? name : std::string(g_file.name), &target)) return KVX_ERR_CREATE;

    Session *s = new (std::nothrow) Session;
    if (s == nullptr) return KVX_ERR_EDIT_MEMORY;
    s->kind = kind;
    s->folder = folder_of(target);
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "~kvx%lu-%u-", static_cast<unsigned long>(GetCurrentProcessId()),
                  ++s_sessions);
    s->prefix = s->folder + prefix;
    /* The longest name the session makes for itself must fit. */
    if (s->prefix.size() + 24 >= kNameBytes || target.size() >= kNameBytes) {
        free_session(s);
        return KVX_ERR_CREATE;
    }
    std::fill(s->marks, s->marks + 16, kEmpty);
    std::fill(s->sessionMarks, s->sessionMarks + 16, kEmpty);

    /* Room for finishing a segment after a write error: 550,000 bytes held
     * until then, in a file of the session's own. */
    s->reservation = CreateFileA((s->prefix + "kvxedit.tmp").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                 nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_RANDOM_ACCESS, nullptr);
    if (s->reservation == INVALID_HANDLE_VALUE) {
        free_session(s);
        return KVX_ERR_RESERVE;
    }
    if (SetFilePointer(s->reservation, static_cast<LONG>(kReservationBytes), nullptr, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER ||
        !SetEndOfFile(s->reservation)) {
        free_session(s);
        return KVX_ERR_RESERVE;
    }

    uint32_t result = 0;
    if (kind == 0) {
        result = KVXActiveFolder(s->folder.c_str(), 1);
        if (result == KVX_OK) {
            s->workPath = s->prefix + "new.tmp";
            HANDLE work = CreateFileA(s->workPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (work == INVALID_HANDLE_VALUE) {
                s->workPath.clear();
                result = KVX_ERR_CREATE;
            } else {
                CloseHandle(work);
            }
        }
        if (result == KVX_OK) {
            s->finalPath = target;
            s->root = new_table(nullptr, s->workPath, s->workPath, 0);
            s->root->root = true;
            s->root->entries.push_back(Entry{0, 0, nullptr, false});
            s->fileEmpty = true;
            s->markCount = 0;
            new_header(*s);
        }
    } else {
        result = open_edit(*s);
    }
    if (result == KVX_OK) {
        s->handle = new (std::nothrow) WriteHandle;
        if (s->handle == nullptr) result = KVX_ERR_EDIT_MEMORY;
    }
    if (result != KVX_OK) {
        if (!s->workPath.empty()) DeleteFileA(s->workPath.c_str());
        free_session(s);
        return result;
    }
    s->handle->tag = kind == 0 ? kTagNew : kind == 1 ? kTagNamed : kTagActive;
    s->handle->length = s->length;
    s->handle->root = s->root;
    g_edit = s;
    tree_changed();
    g_write.sessionOpen = true;
    *made = s->handle;
    return 0;
}

/* ---- frame packing -------------------------------------------------- */

/* Takes the last frame out of the segment's last block, whose rest was
 * never written: the block goes back with one frame less, or, if that
 * cannot be written, goes altogether. */
void drop_cut_frame(Session &s)
{
    uint8_t block[kBlockBytes];
    std::memcpy(block, s.lastPacked, kBlockBytes);
    --block[hdr::kBlockFrameCount];
    const uint32_t gone = output_replace_last(s.out, s.lastPacked, block);
    s.segmentMs -= gone;
    s.position -= gone;
    s.length -= gone;
}

/* Emits blocks from the accumulator: one when 506 bytes wait, and with
 * `last` every byte left, the final block short. */
uint32_t pack(Session &s, bool last)
{
    while (s.pending >= kPayloadBytes || (last && s.pending != 0)) {
        const uint32_t payload = std::min(s.pending, kPayloadBytes);
        uint8_t block[kBlockBytes];
        std::memset(block, 0, sizeof block);
        uint32_t frames = 0, p = s.overhang;
        while (p < payload) {
            p += s.frameBytes;
            ++frames;
        }
        hdr::put16(block, static_cast<uint16_t>(((s.overhang + 6) << 7) | 0x0F));
        block[2] = static_cast<uint8_t>(frames);
        block[3] = 0xFF;
        block[4] = s.mode;
        block[5] = 0xFF;
        std::memcpy(block + 6, s.accumulator, payload);
        /* SP: every 16-bit pair exchanged; an odd last byte of a short
         * payload is paired with a zero byte, so that the reader, which
         * takes SP bytes pairwise, finds it where it looks. */
        if (s.mode <= 1)
            for (uint32_t i = 0; i < payload; i += 2) std::swap(block[6 + i], block[7 + i]);
        const uint32_t result = output_put(s.out, block, 1);
        if (result != 0) {
            /* The block before ends with a frame whose rest was to come in
             * this one: that frame is not kept. */
            const DWORD error = GetLastError();
            if (s.overhang != 0 && s.lastPacked[hdr::kBlockFrameCount] != 0) drop_cut_frame(s);
            SetLastError(error);
            return result;
        }
        std::memcpy(s.lastPacked, block, kBlockBytes);
        const uint32_t d = frames * s.frameMs;
        s.segmentMs += d;
        s.position += d;
        s.length += d;
        std::memmove(s.accumulator, s.accumulator + payload, s.pending - payload);
        s.pending -= payload;
        s.overhang = p > payload ? p - payload : 0;
        if (!last) break;
    }
    return 0;
}

float level_of(Session &s, const uint8_t *frame)
{
    if (s.level == nullptr) return 0.0f;
    uint32_t dummy = 0;
    uint32_t *control = g_decoder.control != nullptr ? g_decoder.control : &dummy;
    uint32_t samples = 240;
    if (s.mode <= 1) {
        sp_level_decode(frame, control, s.level);
        samples = 288;
    } else {
        lp_level_decode(frame, control, s.level);
    }
    uint64_t sum = 0;
    for (uint32_t i = 0; i < samples; ++i) sum += static_cast<uint32_t>(std::abs(static_cast<int32_t>(s.level[i])));
    uint64_t mean = sum / samples;
    if (mean == 0) mean = 1;
    return static_cast<float>(20.0 * std::log10(static_cast<double>(mean) / 32768.0));
}

void restore_marks(Session &s)
{
    std::memcpy(s.marks, s.savedMarks, sizeof s.marks);
    s.markCount = s.savedMarkCount;
}

/* Ends the segment: the rest of the split chunk goes behind the new audio,
 * the tree takes the replacement, an overwrite erases what the new audio
 * replaced.  Either all of it is kept or none. */
uint32_t end_segment(Session &s)
{
    s.pointerState = 1;
    s.activity = 0;
    if (s.savedError != 0) close_reservation(s); /* its room is for this */
    uint32_t result = segment_close(s);
    if (result != 0) {
        restore_marks(s);
        return result;
    }
    if (!s.insert && s.length != s.position) {
        const uint32_t n = s.lengthAtStart < s.position ? s.lengthAtStart - s.splitTime : s.segmentMs;
        const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(s.position) + n, s.length));
        uint32_t ignored = 0;
        if (end > s.position) result = erase_range(s, s.position, end, &ignored);
        if (result != 0) {
            change_abandon(s);
            restore_marks(s);
            return result;
        }
    }
    result = change_keep(s);
    if (result != 0) {
        restore_marks(s);
        return result;
    }
    s.requestedStart = std::min(s.position, s.length);
    s.fileEmpty = s.length == 0;
    /* The marks set while recording join the table. */
    for (uint32_t i = 0; i < s.sessionMarkCount && s.markCount < 16; ++i) s.marks[s.markCount++] = s.sessionMarks[i];
    sort_marks(s.marks, s.markCount);
    s.sessionMarkCount = 0;
    std::fill(s.sessionMarks, s.sessionMarks + 16, kEmpty);
    marks_to_header(s);
    return 0;
}

} // namespace

bool handle_ok(const WriteHandle *handle)
{
    return handle_valid(handle);
}

bool absolute_name(const std::string &name, std::string *out)
{
    return absolute(name, out);
}

uint32_t open_session_on_active(Session &s)
{
    return open_edit(s);
}

uint32_t end_recording(Session &s)
{
    s.savedError = 0;
    if (pack(s, true) != 0) {
        s.savedError = GetLastError();
        if (s.savedError == 0) s.savedError = ERROR_DISK_FULL;
    }
    const uint32_t result = end_segment(s);
    if (result != 0) return result;
    if (s.savedError != 0) return write_error_result(s.savedError);
    return s.limitReached ? static_cast<uint32_t>(KVX_ERR_LENGTH_LIMIT) : 0u;
}

uint32_t discard_session(void *handle)
{
    if (!handle_valid(static_cast<WriteHandle *>(handle))) return KVX_ERR_HANDLE;
    playback::stop_edit();
    Session *s = g_edit;
    if (s->out.file != INVALID_HANDLE_VALUE) CloseHandle(s->out.file);
    s->out.file = INVALID_HANDLE_VALUE;
    for (const std::string &path : s->change.created) DeleteFileA(path.c_str());
    for (const std::string &path : session_files()) DeleteFileA(path.c_str());
    retire(s->handle);
    s->handle = nullptr;
    g_edit = nullptr;
    tree_changed();
    g_write.sessionOpen = false;
    free_session(s);
    return 0;
}

uint8_t *header_image()
{
    return g_edit != nullptr ? g_edit->header : nullptr;
}

void header_changed()
{
    if (g_edit != nullptr) g_edit->headerChanged = true;
}

/* ---- the session's index marks -------------------------------------- */

uint32_t session_get_marks(uint32_t *positions, uint32_t *count)
{
    Session &s = *g_edit;
    uint32_t all[32];
    uint32_t n = 0;
    for (uint32_t i = 0; i < s.markCount; ++i) all[n++] = s.marks[i];
    if (s.activity == 2)
        for (uint32_t i = 0; i < s.sessionMarkCount; ++i) all[n++] = s.sessionMarks[i];
    sort_marks(all, n);
    if (n > 16) n = 16;
    if (positions != nullptr)
        for (uint32_t i = 0; i < 16; ++i) positions[i] = i < n ? all[i] : kEmpty;
    if (count != nullptr) *count = n;
    return 0;
}

uint32_t session_write_mark(int32_t position)
{
    Session &s = *g_edit;
    s.headerChanged = true;
    if (s.activity == 2) {
        const uint32_t c = s.position;
        if (s.markCount + s.sessionMarkCount >= 16) return KVX_ERR_MARKS_FULL;
        const uint32_t last = s.sessionMarkCount != 0 ? s.sessionMarks[s.sessionMarkCount - 1] : 0;
        if (static_cast<uint64_t>(last) + kMarkSpacingMs >= c) return KVX_ERR_MARKS_FULL;
        s.sessionMarks[s.sessionMarkCount++] = c;
        return 0;
    }
    if (s.markCount >= 16 || position < 0) return KVX_ERR_MARKS_FULL;
    const int64_t p = position;
    for (uint32_t i = 0; i < s.markCount; ++i) {
        const int64_t q = s.marks[i];
        if (q - kMarkSpacingMs < p && p < q + kMarkSpacingMs) return KVX_ERR_MARKS_FULL;
    }
    s.marks[s.markCount++] = static_cast<uint32_t>(position);
    sort_marks(s.marks, s.markCount);
    marks_to_header(s);
    return 0;
}

uint32_t session_delete_mark(uint32_t position)
{
    Session &s = *g_edit;
    s.headerChanged = true;
    if (s.activity == 2) {
        for (uint32_t i = 0; i < s.sessionMarkCount; ++i) {
            if (s.sessionMarks[i] != position) continue;
            remove_mark(s.sessionMarks, &s.sessionMarkCount, i);
            return 0;
        }
    }
    for (uint32_t i = 0; i < s.markCount; ++i) {
        if (s.marks[i] != position) continue;
        remove_mark(s.marks, &s.markCount, i);
        marks_to_header(s);
        return 0;
    }
    return KVX_ERR_NO_SUCH_MARK;
}

} // namespace edit
} // namespace kvx

/* The exports: at file scope, where their declarations give them to callers. */
using namespace kvx;
using namespace kvx::edit;

extern "C" WriteHandle *KVXAPI KVXCreateFile(const char *path, uint32_t kind, uint32_t *result)
{
    if (result != nullptr) *result = 0;
    if (kind > 2) return nullptr;
    WriteHandle *handle = nullptr;
    uint32_t code;
    try {
        code = create(path, kind, &handle);
    } catch (const std::bad_alloc &) {
        code = KVX_ERR_EDIT_MEMORY;
    }
    if (code != 0) {
        if (result != nullptr) *result = code;
        return nullptr;
    }
    return handle;
}

extern "C" uint32_t KVXAPI KVXSetWritePointer(WriteHandle *handle, uint32_t positionMs, uint8_t *mode, uint8_t insert,
                                              uint8_t meter)
{
    if (!handle_valid(handle)) return KVX_ERR_HANDLE;
    edit::Session &s = *g_edit;
    if (s.activity == 2) return KVX_ERR_BUSY;
    const uint32_t position = s.fileEmpty ? 0 : std::min(positionMs, s.length);
    if (meter != 0) {
        if (s.level == nullptr) {
            s.level = new (std::nothrow) int16_t[288];
            if (s.level == nullptr) return KVX_ERR_EDIT_MEMORY;
        }
        if (g_decoder.control != nullptr) *g_decoder.control = KVX_CW_RESET;
    } else {
        delete[] s.level;
        s.level = nullptr;
    }
    s.insert = insert != 0;
    s.requestedStart = position;
    s.pointerState = 1;
    if (s.kind == 0) {
        if (!(s.fileEmpty || s.length == 0)) return KVX_OK;
        s.mode = mode != nullptr ? *mode : 0;
        g_file.codecFlags = s.mode <= 1 ? 1 : 2;
        s.requestedStart = 0;
        s.header[hdr::kCodecMode] = s.mode;
    } else {
        s.mode = g_file.codecFlags == 1 ? 0 : 2;
        if (mode != nullptr) *mode = s.mode;
    }
    s.header[kBlockBytes + 164] = s.mode;
    return KVX_OK;
}

extern "C" uint32_t KVXAPI KVXWriteFile(WriteHandle *handle, const uint8_t *frame, uint32_t last, WriteStatus *status)
{
    if (!handle_valid(handle)) return KVX_ERR_HANDLE;
    edit::Session &s = *g_edit;
    if (s.pointerState == 255) return KVX_ERR_NO_WRITE_POINTER;
    if (frame == nullptr) return KVX_ERR_WRITE;
    s.savedError = 0;
    const bool ending = last != 0;
    try {
        if (s.pointerState == 1) {
            if (s.limitReached) return KVX_ERR_LENGTH_LIMIT;
            /* Playback reads the tree that the segment is about to change. */
            playback::stop_edit();
            std::memcpy(s.savedMarks, s.marks, sizeof s.marks);
            s.savedMarkCount = s.markCount;
            const uint32_t result = segment_open(s);
            if (result != 0) return result;
            s.pointerState = 0;
            s.lastPacked[hdr::kBlockFrameCount] = 0;
            s.frameBytes = s.mode <= 1 ? 41 : 24;
            s.frameMs = s.mode <= 1 ? hdr::kSpFrameMs : hdr::kLpFrameMs;
            s.pending = 0;
            s.overhang = 0;
            s.segmentMs = 0;
            s.position = s.splitTime = s.startSplit.time;
            s.lengthAtStart = s.length;
            s.markShift = 0;
            s.sessionMarkCount = 0;
            std::fill(s.sessionMarks, s.sessionMarks + 16, kEmpty);
        }
        s.activity = 2;
        std::memcpy(s.accumulator + s.pending, frame, s.frameBytes);
        s.pending += s.frameBytes;
        bool end = ending;
        uint32_t packed = pack(s, end);
        s.written = true;
        if (packed != 0) {
            s.savedError = GetLastError();
            if (s.savedError == 0) s.savedError = ERROR_DISK_FULL;
            end = true;
        }
        WriteStatus report{};
        report.level = level_of(s, frame);
        /* The length limit: the frame that reaches it is kept whole. */
        uint32_t reported = s.length;
        if (!s.insert) reported = s.lengthAtStart < s.position ? s.position : s.lengthAtStart;
        if (reported > kLengthLimitMs && !s.limitReached) {
            s.limitReached = true;
            if (!end && packed == 0) {
                packed = pack(s, true);
                if (packed != 0) {
                    s.savedError = GetLastError();
                    if (s.savedError == 0) s.savedError = ERROR_DISK_FULL;
                }
            }
            end = true;
        }
        /* Marks while recording: an insert moves the marks behind the
         * split; an overwrite deletes those the new audio covers. */
        if (s.insert) {
            const uint32_t shift = s.segmentMs - s.markShift;
            for (uint32_t i = 0; i < s.markCount; ++i)
                if (s.marks[i] > s.splitTime) s.marks[i] += shift;
            s.markShift = s.segmentMs;
        } else {
            for (uint32_t i = 0; i < s.markCount;) {
                if (s.marks[i] > s.splitTime && s.marks[i] < s.position) {
                    for (uint32_t j = i + 1; j < s.markCount; ++j) s.marks[j - 1] = s.marks[j];
                    s.marks[--s.markCount] = kEmpty;
                } else {
                    ++i;
                }
            }
        }
        report.position = s.position;
        report.length = s.insert ? s.length : (s.lengthAtStart < s.position ? s.position : s.lengthAtStart);
        if (status != nullptr) *status = report;
        if (!end) return KVX_OK;
        const uint32_t result = end_segment(s);
        if (status != nullptr) {
            status->position = s.position;
            status->length = s.length;
        }
        if (result != 0) return result;
        if (s.savedError != 0) {
            SetLastError(s.savedError);
            return write_error_result(s.savedError);
        }
        return s.limitReached ? static_cast<uint32_t>(KVX_ERR_LENGTH_LIMIT) : static_cast<uint32_t>(KVX_OK);
    } catch (const std::bad_alloc &) {
        return KVX_ERR_EDIT_MEMORY;
    }
}

extern "C" uint32_t KVXAPI KVXPartialErase(WriteHandle *handle, uint32_t startMs, uint32_t endMs, EraseResult *out)
{
    if (!handle_valid(handle)) return KVX_ERR_HANDLE;
    edit::Session &s = *g_edit;
    if (s.activity == 2) return KVX_ERR_BUSY;
    if (startMs >= endMs) return KVX_ERR_ERASE_RANGE;
    const uint32_t end = std::min(endMs, s.length);
    if (startMs >= end) return KVX_ERR_ERASE_RANGE;
    playback::stop_edit();
    try {
        const uint32_t before = s.length;
        uint32_t split_start = 0;
        uint32_t result = erase_range(s, startMs, end, &split_start);
        if (result != 0) {
            change_abandon(s);
            return result;
        }
        result = change_keep(s);
        if (result != 0) return result;
        const uint32_t erased = before - s.length;
        const uint32_t split_end = split_start + erased;
        s.restartPlayback = true;
        /* Marks inside the erased stretch go, marks behind it move back. */
        for (uint32_t i = 0; i < s.markCount;) {
            if (s.marks[i] > split_start && s.marks[i] < split_end) {
                remove_mark(s.marks, &s.markCount, i);
                continue;
            }
            if (s.marks[i] > split_end) s.marks[i] -= erased;
            ++i;
        }
        marks_to_header(s);
        /* Writing goes on where it would have, in the audio as it is now. */
        if (s.requestedStart >= split_end) s.requestedStart -= erased;
        else if (s.requestedStart > split_start) s.requestedStart = split_start;
        s.requestedStart = std::min(s.requestedStart, s.length);
        if (s.length == 0) s.fileEmpty = true;
        s.written = true;
        if (out != nullptr) {
            out->position = split_start;
            out->length = s.length;
        }
        return KVX_OK;
    } catch (const std::bad_alloc &) {
        change_abandon(s);
        return KVX_ERR_EDIT_MEMORY;
    }
}

