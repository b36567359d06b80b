/*
 * Index marks of the active file: reading, adding and deleting short and
 * extended marks, the priority byte and the end-trans word.
 *
 * All writes go through the mark writer, which takes one request: 1 the
 * short marks, 2 the end-trans word, 4 the priority byte, 8 the extended
 * marks (and the short marks rebuilt from them).
 *
 * The tables live for the process.  A caller reads the marks before it
 * changes them; the tables also remember which opening of the active file
 * they were read from, and a change to another file's marks first reads
 * that file's own, so that one file's marks are never written into another.
 */
#include "header/marks.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/state.h"
#include "edit/edit.h"
#include "format/header.h"
#include "kvx.h"

namespace kvx {

namespace {

constexpr uint32_t kShortArea = hdr::kMarkCount * hdr::kShortMarkBytes; /* 48 */
constexpr uint32_t kExtArea = hdr::kMarkCount * hdr::kExtMarkBytes;     /* 160 */
constexpr uint32_t kMarkSpacingMs = 1000;

enum MarkRequest : uint32_t { kWriteShort = 1, kWriteEndTrans = 2, kWritePriority = 4, kWriteExtended = 8 };

struct ExtEntry {
    uint32_t block;   /* 0xFFFFFFFF: not worked out yet */
    uint16_t frame;
    uint32_t position; /* kEmptyPosition: empty */
};

struct MarkTables {
    ShortSlot slots[kMarkSlots];
    uint32_t slotCount;
    uint32_t slotGeneration;   /* the opening the slots were read from; 0 none */
    ExtEntry ext[kMarkSlots];
    uint32_t extCount;
    uint32_t extGeneration;
    uint8_t priority;
    uint16_t endTrans;
};

MarkTables g_marks;

/* Frame time of a block for mark positions: 30 ms when bit 1 of its codec
 * byte is set, else 24 ms. */
uint32_t mark_frame_ms(const uint8_t *block)
{
    return (block[hdr::kBlockCodec] & 2) ? hdr::kLpFrameMs : hdr::kSpFrameMs;
}

uint32_t chunk_start_ms(const MarkAudio &audio, uint32_t chunk)
{
    return chunk == 0 ? 0 : audio.chunkTimes[chunk - 1];
}

/* Reads up to `bytes` of chunk `chunk` into the scratch.  False when the
 * read fails or brings fewer bytes than the file holds there. */
bool read_chunk(const MarkAudio &audio, uint32_t chunk, uint32_t bytes, uint32_t *got)
{
    *got = 0;
    const uint64_t start = static_cast<uint64_t>(chunk) * kChunkBytes;
    /* An empty file counts one byte of audio, which is not there to read. */
    const uint64_t held = audio.audioBytes > 1 && audio.audioBytes > start ? audio.audioBytes - start : 0;
    const uint64_t offset = audio.audioStart + start;
    LONG high = static_cast<LONG>(offset >> 32);
    if (SetFilePointer(audio.file, static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        GetLastError() != ERROR_SUCCESS)
        return false;
    DWORD read = 0;
    if (!ReadFile(audio.file, audio.chunk, bytes, &read, nullptr)) return false;
    *got = read;
    return read >= std::min<uint64_t>(bytes, held);
}

bool slot_empty(const ShortSlot &slot)
{
    return slot.block == 0xFFFF;
}

void clear_slot(ShortSlot &slot)
{
    slot.block = 0xFFFF;
    slot.frame = 0xFF;
    slot.position = kEmptyPosition;
}

/* Exchange sorts over all 16 entries, as the stored tables are kept. */
void sort_slots_by_position(ShortSlot *slots)
{
    for (uint32_t i = 0; i < kMarkSlots; ++i)
        for (uint32_t j = i + 1; j < kMarkSlots; ++j)
            if (slots[i].position > slots[j].position) std::swap(slots[i], slots[j]);
}

void sort_ext_by_position()
{
    for (uint32_t i = 0; i < kMarkSlots; ++i)
        for (uint32_t j = i + 1; j < kMarkSlots; ++j)
            if (g_marks.ext[i].position > g_marks.ext[j].position) std::swap(g_marks.ext[i], g_marks.ext[j]);
}

void unpack_ext(const uint8_t *area)
{
    g_marks.extCount = 0;
    for (uint32_t i = 0; i < kMarkSlots; ++i) {
        const uint8_t *entry = area + i * hdr::kExtMarkBytes;
        g_marks.ext[i] = {hdr::le32(entry), hdr::le16(entry + 4), hdr::le32(entry + 6)};
        if (g_marks.ext[i].position != kEmptyPosition) ++g_marks.extCount;
    }
    /* In-use entries first, by position: a table stored out of order reads
     * as if it had been kept sorted. */
    sort_ext_by_position();
    g_marks.extGeneration = g_file.generation;
}

void pack_ext(uint8_t *area)
{
    for (uint32_t i = 0; i < kMarkSlots; ++i) {
        uint8_t *entry = area + i * hdr::kExtMarkBytes;
        hdr::put32(entry, g_marks.ext[i].block);
        hdr::put16(entry + 4, g_marks.ext[i].frame);
        hdr::put32(entry + 6, g_marks.ext[i].position);
    }
}

HANDLE open_active(DWORD access)
{
    if (g_file.name[0] == '\0') return INVALID_HANDLE_VALUE;
    return CreateFileA(g_file.name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool read_at(HANDLE file, uint32_t offset, void *buffer, uint32_t bytes)
{
    DWORD got = 0;
    if (SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return false;
    return ReadFile(file, buffer, bytes, &got, nullptr) && got == bytes;
}

bool write_at(HANDLE file, uint32_t offset, const void *buffer, uint32_t bytes)
{
    DWORD put = 0;
    if (SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return false;
    return WriteFile(file, buffer, bytes, &put, nullptr) && put == bytes;
}

MarkAudio active_audio(HANDLE file, uint8_t *chunk)
{
    return MarkAudio{file, kBlockBytes * g_file.headerBlocks, g_file.audioBytes, g_file.chunkTimes, g_file.chunkCount,
                     chunk};
}

/* The tables no longer say what the file holds: the next change reads them
 * again. */
void forget_tables()
{
    g_marks.slotGeneration = 0;
    g_marks.extGeneration = 0;
}

/* Reads the short marks of the active file into the slot table with their
 * positions.  0; 3 without memory for the chunk scratch; 521 when a read
 * failed (the table is then empty and not taken for the file's). */
uint32_t read_short_marks(HANDLE file)
{
    uint8_t area[kShortArea];
    uint32_t result = read_at(file, hdr::kShortMarks, area, kShortArea) ? KVX_OK : KVX_ERR_READ;
    auto *chunk = result == KVX_OK ? static_cast<uint8_t *>(std::malloc(kChunkBytes)) : nullptr;
    if (result == KVX_OK && chunk == nullptr) result = KVX_ERR_MEMORY;
    g_marks.slotCount = result == KVX_OK ? load_short_slots(area, g_file.audioBytes, g_marks.slots) : 0;
    const MarkAudio audio = active_audio(file, chunk);
    /* The slots lie in the audio: a position not worked out is a failed read. */
    for (uint32_t i = 0; i < g_marks.slotCount && result == KVX_OK; ++i)
        if (!mark_position(audio, g_marks.slots[i].block, g_marks.slots[i].frame, &g_marks.slots[i].position))
            result = KVX_ERR_READ;
    std::free(chunk);
    if (result != KVX_OK) {
        for (ShortSlot &slot : g_marks.slots) clear_slot(slot);
        g_marks.slotCount = 0;
        forget_tables();
        return result;
    }
    for (uint32_t i = g_marks.slotCount; i < kMarkSlots; ++i) g_marks.slots[i].position = kEmptyPosition;
    g_marks.slotGeneration = g_file.generation;
    return KVX_OK;
}

/* The mark writer.  Returns 0; KVX_ERR_LOCKED when a short mark could not
 * be stored; KVX_ERR_READ_ONLY when the file could not be opened for
 * writing (nothing was written); KVX_ERR_READ when the audio could not be
 * read to place a mark (nothing was written). */
uint32_t write_marks(uint32_t request)
{
    HANDLE file = open_active(g_file.access);
    if (file == INVALID_HANDLE_VALUE) return KVX_ERR_READ_ONLY;
    uint32_t result = KVX_OK;
    uint8_t *chunk = nullptr;
    auto scratch = [&]() -> uint8_t * {
        if (chunk == nullptr) chunk = static_cast<uint8_t *>(std::malloc(kChunkBytes));
        return chunk;
    };

    if (request == kWriteEndTrans) {
        uint8_t word[2];
        hdr::put16(word, g_marks.endTrans);
        if (!write_at(file, hdr::kEndTrans, word, 2)) result = KVX_ERR_READ_ONLY;
    } else if (request == kWritePriority) {
        if (!write_at(file, hdr::kPriority, &g_marks.priority, 1)) result = KVX_ERR_READ_ONLY;
    }

    if (request == kWriteExtended) {
        sort_ext_by_position();
        for (uint32_t i = 0; i < kMarkSlots; ++i) {
            ExtEntry &entry = g_marks.ext[i];
            if (entry.position == kEmptyPosition || entry.block != 0xFFFFFFFFu) continue;
            uint32_t block = 0, frame = 0;
            const MarkSearch found = scratch() != nullptr
                                         ? mark_block_frame(active_audio(file, chunk), entry.position, &block, &frame)
                                         : kMarkNotFound;
            if (found == kMarkReadFailed) {
                result = KVX_ERR_READ;
                break;
            }
            if (found == kMarkFound) {
                entry.block = block;
                /* Stored one less when not 0: the form the stored tables have. */
                const uint32_t stored = frame == 0 ? 0 : frame - 1;
                entry.frame = static_cast<uint16_t>(stored > 0xFFFF ? 0xFFFF : stored);
            }
        }
        uint8_t area[kExtArea];
        pack_ext(area);
        if (result == KVX_OK && !write_at(file, hdr::kExtMarks, area, kExtArea)) result = KVX_ERR_READ_ONLY;
        /* The short marks are rebuilt from the extended ones. */
        for (ShortSlot &slot : g_marks.slots) clear_slot(slot);
        g_marks.slotCount = 0;
        for (uint32_t i = 0; i < kMarkSlots; ++i) {
            const ExtEntry &entry = g_marks.ext[i];
            if (entry.position == kEmptyPosition || entry.block >= 0xFFFF) break;
            g_marks.slots[i] = {static_cast<uint16_t>(entry.block), static_cast<uint8_t>(entry.frame), entry.position};
            ++g_marks.slotCount;
        }
        g_marks.slotGeneration = g_file.generation;
        request = kWriteShort;
    }

    if (request == kWriteShort && result != KVX_ERR_READ) {
        sort_slots_by_position(g_marks.slots);
        for (uint32_t i = 0; i < g_marks.slotCount;) {
            ShortSlot &slot = g_marks.slots[i];
            if (slot.block == 0xFFFF) {
                uint32_t block = 0, frame = 0;
                const MarkSearch found = scratch() != nullptr ? mark_block_frame(active_audio(file, chunk),
                                                                                 slot.position, &block, &frame)
                                                              : kMarkNotFound;
                if (found == kMarkReadFailed) {
                    result = KVX_ERR_READ;
                    break;
                }
                if (found == kMarkFound && block < 0xFFFF && frame < 0xFF) {
                    slot.block = static_cast<uint16_t>(block);
                    slot.frame = static_cast<uint8_t>(frame);
                } else {
                    /* It cannot be stored: drop it from the short list. */
                    for (uint32_t j = i; j + 1 < kMarkSlots; ++j) g_marks.slots[j] = g_marks.slots[j + 1];
                    clear_slot(g_marks.slots[kMarkSlots - 1]);
                    --g_marks.slotCount;
                    result = KVX_ERR_LOCKED;
                    continue;
                }
            }
            ++i;
        }
        uint8_t area[kShortArea];
        std::memset(area, 0xFF, sizeof area);
        for (uint32_t i = 0; i < g_marks.slotCount; ++i) {
            hdr::put16(area + i * hdr::kShortMarkBytes, g_marks.slots[i].block);
            area[i * hdr::kShortMarkBytes + 2] = g_marks.slots[i].frame;
        }
        if (result != KVX_ERR_READ && !write_at(file, hdr::kShortMarks, area, kShortArea) && result == KVX_OK)
            result = KVX_ERR_READ_ONLY;
    }
    std::free(chunk);
    CloseHandle(file);
    if (result == KVX_ERR_READ) forget_tables();
    return result;
}

/* The checks of the writers, in order: write session, no active file,
 * read-only access, lock byte. */
uint32_t check_writable()
{
    if (g_write.sessionOpen) return KVX_ERR_BUSY;
    if (g_file.name[0] == '\0' || g_file.lastResult != KVX_OK) return KVX_ERR_NO_ACTIVE_FILE;
    if (g_file.access == GENERIC_READ) return KVX_ERR_READ_ONLY;
    if (g_file.lock == 0) return KVX_ERR_LOCKED;
    return KVX_OK;
}

/* The extended marks need a second header block that is valid. */
uint32_t check_extended()
{
    if (g_file.headerBlocks != 2 || !g_file.extended) return KVX_ERR_NOT_EXTENDED;
    return KVX_OK;
}

/* Makes sure the tables hold the active file's marks before a change. */
uint32_t current_short_marks()
{
    if (g_marks.slotGeneration == g_file.generation) return KVX_OK;
    HANDLE file = open_active(GENERIC_READ);
    if (file == INVALID_HANDLE_VALUE) return KVX_ERR_READ_ONLY;
    const uint32_t result = read_short_marks(file);
    CloseHandle(file);
    return result;
}

uint32_t current_ext_marks()
{
    if (g_marks.extGeneration == g_file.generation) return KVX_OK;
    HANDLE file = open_active(GENERIC_READ);
    if (file == INVALID_HANDLE_VALUE) return KVX_ERR_READ_ONLY;
    uint8_t area[kExtArea];
    const bool read = read_at(file, hdr::kExtMarks, area, kExtArea);
    CloseHandle(file);
    if (!read) return KVX_ERR_READ;
    unpack_ext(area);
    return KVX_OK;
}

} // namespace

uint32_t write_marks_of(const uint32_t *positions, uint32_t count)
{
    if (count > kMarkSlots) count = kMarkSlots;
    for (uint32_t i = 0; i < kMarkSlots; ++i)
        g_marks.ext[i] = i < count ? ExtEntry{0xFFFFFFFFu, 0xFFFF, positions[i]} : ExtEntry{0xFFFFFFFFu, 0xFFFF, kEmptyPosition};
    g_marks.extCount = count;
    g_marks.extGeneration = g_file.generation;
    const uint32_t written = write_marks(kWriteExtended);
    return written == KVX_ERR_LOCKED ? static_cast<uint32_t>(KVX_OK) : written;
}

uint32_t load_short_slots(const uint8_t *area, uint32_t audio_bytes, ShortSlot slots[kMarkSlots])
{
    for (uint32_t i = 0; i < kMarkSlots; ++i) {
        const uint8_t *entry = area + i * hdr::kShortMarkBytes;
        slots[i] = {hdr::le16(entry), entry[2], kEmptyPosition};
        /* Block 0 lies before the audio; a block past the audio's end is
         * gone: both read as empty. */
        if (slots[i].block == 0 || static_cast<uint64_t>(slots[i].block) * kBlockBytes > audio_bytes)
            clear_slot(slots[i]);
    }
    /* By block number, empty slots last; equal blocks keep their order. */
    for (uint32_t i = 0; i < kMarkSlots; ++i)
        for (uint32_t j = i + 1; j < kMarkSlots; ++j)
            if (slot_empty(slots[i]) || (slots[i].block > slots[j].block && !slot_empty(slots[j])))
                std::swap(slots[i], slots[j]);
    uint32_t count = 0;
    while (count < kMarkSlots && slots[count].block != 0xFFFF && slots[count].frame != 0xFF) ++count;
    return count;
}

bool mark_position(const MarkAudio &audio, uint32_t block, uint32_t frame, uint32_t *position)
{
    if (block == 0 || static_cast<uint64_t>(block) * kBlockBytes > audio.audioBytes) return false;
    const uint32_t k = block - 1;
    const uint32_t chunk = k / kBlocksPerChunk;
    if (chunk >= audio.chunkCount || audio.chunkTimes == nullptr) return false;
    const uint32_t first = chunk * kBlocksPerChunk;
    uint32_t got = 0;
    const uint32_t in_chunk = k - first;
    if (!read_chunk(audio, chunk, (in_chunk + 1) * kBlockBytes, &got) ||
        got < in_chunk * kBlockBytes + hdr::kBlockHeaderBytes)
        return false;
    uint32_t time = chunk_start_ms(audio, chunk);
    for (uint32_t b = 0; b < in_chunk; ++b) time += hdr::block_ms(audio.chunk + b * kBlockBytes);
    *position = time + frame * mark_frame_ms(audio.chunk + in_chunk * kBlockBytes);
    return true;
}

MarkSearch mark_block_frame(const MarkAudio &audio, uint32_t position, uint32_t *block, uint32_t *frame)
{
    if (audio.chunkCount == 0 || audio.chunkTimes == nullptr) return kMarkNotFound;
    uint32_t chunk = audio.chunkCount - 1;
    for (uint32_t c = 0; c < audio.chunkCount; ++c) {
        if (audio.chunkTimes[c] > position) {
            chunk = c;
            break;
        }
    }
    uint32_t got = 0;
    if (!read_chunk(audio, chunk, kChunkBytes, &got)) return kMarkReadFailed;
    uint32_t time = chunk_start_ms(audio, chunk);
    /* The block whose time range holds the position; at or past the end of
     * the audio, the last block that has time. */
    uint32_t found = kBlocksPerChunk;
    uint32_t found_start = 0;
    for (uint32_t b = 0; b < kBlocksPerChunk && b * kBlockBytes + hdr::kBlockHeaderBytes <= got; ++b) {
        const uint32_t duration = hdr::block_ms(audio.chunk + b * kBlockBytes);
        if (duration == 0) continue;
        found = b;
        found_start = time;
        if (time + duration > position) break;
        time += duration;
    }
    if (found == kBlocksPerChunk || position < found_start) return kMarkNotFound;
    *block = chunk * kBlocksPerChunk + found + 1;
    *frame = (position - found_start) / mark_frame_ms(audio.chunk + found * kBlockBytes);
    return kMarkFound;
}

} // namespace kvx

using namespace kvx;

extern "C" uint32_t KVXAPI KVXGetIndexMark(uint32_t positions[16], uint32_t *count)
{
    if (g_write.sessionOpen) return KVX_ERR_BUSY;
    uint32_t result = KVX_OK;
    g_marks.slotCount = 0;
    g_marks.slotGeneration = 0;
    for (ShortSlot &slot : g_marks.slots) clear_slot(slot);
    HANDLE file = g_file.lastResult == KVX_OK ? open_active(g_file.access) : INVALID_HANDLE_VALUE;
    if (file != INVALID_HANDLE_VALUE) {
        result = read_short_marks(file);
        CloseHandle(file);
    }
    if (positions != nullptr)
        for (uint32_t i = 0; i < kMarkSlots; ++i) positions[i] = g_marks.slots[i].position;
    if (count != nullptr) *count = g_marks.slotCount;
    return result;
}

extern "C" uint32_t KVXAPI KVXGetExtIndexMark(uint32_t *positions, uint32_t *count)
{
    if (edit::session_open()) return edit::session_get_marks(positions, count);
    if (g_file.headerBlocks == 1 || !g_file.extended) {
        uint32_t short_positions[kMarkSlots];
        uint32_t short_count = 0;
        const uint32_t result = KVXGetIndexMark(short_positions, &short_count);
        if (positions != nullptr) std::memcpy(positions, short_positions, sizeof short_positions);
        if (count != nullptr) *count = short_count;
        if (g_file.headerBlocks == 1) g_marks.extCount = short_count;
        return result;
    }
    uint8_t area[kExtArea];
    std::memset(area, 0xFF, sizeof area);
    HANDLE file = g_file.lastResult == KVX_OK ? open_active(g_file.access) : INVALID_HANDLE_VALUE;
    bool read = false;
    if (file != INVALID_HANDLE_VALUE) {
        read = read_at(file, hdr::kExtMarks, area, kExtArea);
        CloseHandle(file);
    }
    /* Marks that could not be read are none: they are not taken for the
     * file's, so that no change writes them over the real ones. */
    unpack_ext(area);
    if (!read) g_marks.extGeneration = 0;
    if (positions != nullptr)
        for (uint32_t i = 0; i < kMarkSlots; ++i) positions[i] = g_marks.ext[i].position;
    if (count != nullptr) *count = g_marks.extCount;
    return file != INVALID_HANDLE_VALUE && !read ? static_cast<uint32_t>(KVX_ERR_READ) : static_cast<uint32_t>(KVX_OK);
}

extern "C" uint32_t KVXAPI KVXWriteIndexMark(uint32_t positionMs)
{
    uint32_t result = check_writable();
    if (result == KVX_OK) result = current_short_marks();
    if (result != KVX_OK) return result;
    /* Sixteen marks fill the table: a seventeenth cannot be stored. */
    if (g_marks.slotCount >= kMarkSlots) return KVX_ERR_LOCKED;
    g_marks.slots[g_marks.slotCount] = {0xFFFF, 0xFF, positionMs};
    ++g_marks.slotCount;
    return write_marks(kWriteShort);
}

extern "C" uint32_t KVXAPI KVXDeleteIndexMark(uint32_t positionMs)
{
    uint32_t result = check_writable();
    if (result == KVX_OK) result = current_short_marks();
    if (result != KVX_OK) return result;
    for (uint32_t i = 0; i < g_marks.slotCount; ++i) {
        if (g_marks.slots[i].position != positionMs) continue;
        clear_slot(g_marks.slots[i]);
        sort_slots_by_position(g_marks.slots);
        --g_marks.slotCount;
        const uint32_t written = write_marks(kWriteShort);
        return written == KVX_ERR_LOCKED ? static_cast<uint32_t>(KVX_OK) : written;
    }
    return KVX_OK;
}

extern "C" uint32_t KVXAPI KVXWriteExtIndexMark(int32_t positionMs)
{
    if (edit::session_open()) return edit::session_write_mark(positionMs);
    uint32_t result = check_writable();
    if (result == KVX_OK) result = check_extended();
    if (result == KVX_OK) result = current_ext_marks();
    if (result != KVX_OK) return result;
    /* A negative time lies before the audio. */
    if (g_marks.extCount >= kMarkSlots || positionMs < 0) return KVX_ERR_MARKS_FULL;
    const int64_t p = positionMs;
    for (const ExtEntry &entry : g_marks.ext) {
        if (entry.position == kEmptyPosition) continue;
        const int64_t q = entry.position;
        if (q - kMarkSpacingMs < p && p < q + kMarkSpacingMs) return KVX_ERR_MARKS_FULL;
    }
    g_marks.ext[g_marks.extCount] = {0xFFFFFFFFu, 0xFFFF, static_cast<uint32_t>(positionMs)};
    ++g_marks.extCount;
    sort_ext_by_position();
    const uint32_t written = write_marks(kWriteExtended);
    return written == KVX_ERR_LOCKED ? static_cast<uint32_t>(KVX_OK) : written;
}

extern "C" uint32_t KVXAPI KVXDeleteExtIndexMark(uint32_t positionMs)
{
    if (edit::session_open()) return edit::session_delete_mark(positionMs);
    uint32_t result = check_writable();
    if (result == KVX_OK) result = check_extended();
    if (result == KVX_OK) result = current_ext_marks();
    if (result != KVX_OK) return result;
    if (g_marks.extCount == 0) return KVX_ERR_NO_SUCH_MARK;
    for (ExtEntry &entry : g_marks.ext) {
        if (entry.position == kEmptyPosition || entry.position != positionMs) continue;
        entry = {0xFFFFFFFFu, 0xFFFF, kEmptyPosition};
        sort_ext_by_position();
        --g_marks.extCount;
        const uint32_t written = write_marks(kWriteExtended);
        return written == KVX_ERR_LOCKED ? static_cast<uint32_t>(KVX_OK) : written;
    }
    return KVX_ERR_NO_SUCH_MARK;
}

extern "C" uint32_t KVXAPI KVXWritePriority(uint8_t priority)
{
    const uint32_t result = check_writable();
    if (result != KVX_OK) return result;
    g_marks.priority = priority;
    return write_marks(kWritePriority);
}

extern "C" uint32_t KVXAPI KVXWriteEndTrans(uint16_t value)
{
    const uint32_t result = check_writable();
    if (result != KVX_OK) return result;
    g_marks.endTrans = value;
    return write_marks(kWriteEndTrans);
}
