/*
 * Header conversion: a one-block file gets a second header block.
 *
 * The audio moves 512 bytes towards the end of the file, from offset 512 to
 * 1024; the first block says 2 header blocks and its signed word becomes
 * 0xFFFF; the new second block holds the length in milliseconds, the short
 * marks as extended marks and the coding mode.  The same pass also yields
 * the chunk time table and the codec flags.
 *
 * The converted file is written beside the original under a temporary name
 * and then put in its place.  Moving the audio within the file itself would
 * leave, after a failed write, a file whose header says one block and whose
 * audio is partly moved: audio lost.  This way a failure anywhere leaves
 * the original as it was, and the result is the same file.
 */
#include "database/convert.h"

#include <cstdlib>
#include <cstring>

#include "core/state.h"
#include "database/progress.h"
#include "format/header.h"
#include "header/marks.h"
#include "kvx.h"

namespace kvx {

namespace {

constexpr char kTempSuffix[] = ".cvt";

bool write_all(HANDLE file, const uint8_t *data, uint32_t bytes)
{
    DWORD put = 0;
    return WriteFile(file, data, bytes, &put, nullptr) && put == bytes;
}

} // namespace

uint32_t convert_header(const char *path, uint32_t *table, uint32_t table_entries, uint16_t *codec_flags)
{
    char temp[kNameBytes + sizeof kTempSuffix];
    const size_t length = std::strlen(path);
    if (length >= kNameBytes) return KVX_ERR_OPEN;
    std::memcpy(temp, path, length);
    std::memcpy(temp + length, kTempSuffix, sizeof kTempSuffix);

    HANDLE source = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (source == INVALID_HANDLE_VALUE) return KVX_ERR_OPEN;
    DWORD size_high = 0;
    const DWORD size = GetFileSize(source, &size_high);
    uint8_t header[2 * kBlockBytes];
    DWORD got = 0;
    if (size_high != 0 || size < kBlockBytes || !ReadFile(source, header, kBlockBytes, &got, nullptr) ||
        got != kBlockBytes || !hdr::magic_ok(header) || header[hdr::kBlockCount] != 1) {
        CloseHandle(source);
        return KVX_ERR_NOT_KVX;
    }
    const uint32_t audio_bytes = size - kBlockBytes;
    const uint32_t chunks = audio_bytes == 0 ? 1 : (audio_bytes + kChunkBytes - 1) / kChunkBytes;

    auto *buffer = static_cast<uint8_t *>(std::malloc(kChunkBytes));
    auto *times = static_cast<uint32_t *>(std::malloc(sizeof(uint32_t) * chunks));
    HANDLE target = buffer != nullptr && times != nullptr
                        ? CreateFileA(temp, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr)
                        : INVALID_HANDLE_VALUE;
    uint32_t result = buffer == nullptr || times == nullptr ? KVX_ERR_MEMORY : KVX_OK;
    if (result == KVX_OK && target == INVALID_HANDLE_VALUE) result = KVX_ERR_CREATE;

    /* The audio, chunk by chunk, behind a header of two blocks. */
    uint32_t total = 0;
    uint16_t flags = 0;
    bool lp_seen = false;
    if (result == KVX_OK) {
        std::memset(header + kBlockBytes, 0, kBlockBytes);
        if (!write_all(target, header, 2 * kBlockBytes)) result = KVX_ERR_WRITE;
    }
    for (uint32_t chunk = 0; chunk < chunks && result == KVX_OK; ++chunk) {
        /* Every byte of the audio is read, or the conversion fails: a chunk
         * that comes back short would be missing from the copy. */
        const uint32_t left = audio_bytes - chunk * kChunkBytes;
        const uint32_t want = left < kChunkBytes ? left : kChunkBytes;
        got = 0;
        if (!ReadFile(source, buffer, want, &got, nullptr) || got != want) {
            result = KVX_ERR_READ;
            break;
        }
        uint32_t block = 0;
        for (uint32_t offset = 0; offset + hdr::kBlockCodec < got; offset += kBlockBytes, ++block) {
            if (block % 50 == 0) progress_report(chunks, chunk);
            total += hdr::block_ms(buffer + offset);
            const uint16_t flag = hdr::codec_flag(buffer[offset + hdr::kBlockCodec]);
            flags |= flag;
            if (flag == 2) lp_seen = true;
        }
        /* An audio part too short to hold a codec byte counts one block of
         * zeros, as the opening's reading does. */
        if (chunk == 0 && got <= hdr::kBlockCodec) flags |= hdr::codec_flag(0);
        times[chunk] = got == 0 ? 0 : total;
        if (got != 0 && !write_all(target, buffer, got)) result = KVX_ERR_WRITE;
    }

    progress_report(chunks, chunks);

    /* The second block: length, marks, mode. */
    if (result == KVX_OK) {
        uint8_t *second = header + kBlockBytes;
        hdr::put32(second + (hdr::kExtLengthMs - kBlockBytes), total);
        uint8_t *ext = second + (hdr::kExtMarks - kBlockBytes);
        std::memset(ext, 0xFF, hdr::kMarkCount * hdr::kExtMarkBytes);
        ShortSlot slots[kMarkSlots];
        const uint32_t count = load_short_slots(header + hdr::kShortMarks, audio_bytes, slots);
        const MarkAudio audio{source, kBlockBytes, audio_bytes, times, static_cast<uint16_t>(chunks), buffer};
        for (uint32_t i = 0; i < count && result == KVX_OK; ++i) {
            /* The marks lie in the audio: a position that cannot be worked
             * out is a read that failed. */
            uint32_t position = kEmptyPosition;
            if (!mark_position(audio, slots[i].block, slots[i].frame, &position)) {
                result = KVX_ERR_READ;
                break;
            }
            uint8_t *entry = ext + i * hdr::kExtMarkBytes;
            hdr::put32(entry, slots[i].block);
            hdr::put16(entry + 4, slots[i].frame);
            hdr::put32(entry + 6, position);
        }
    }
    if (result == KVX_OK) {
        uint8_t *second = header + kBlockBytes;
        second[hdr::kExtCodingMode - kBlockBytes] = lp_seen ? 2 : 0;
        second[hdr::kFlag1 - kBlockBytes] = 0xFF;
        second[hdr::kFlag2 - kBlockBytes] = 0;
        header[hdr::kBlockCount] = 2;
        hdr::put16(header + hdr::kSignedWord, 0xFFFF);
        if (SetFilePointer(target, 0, nullptr, FILE_BEGIN) != 0 || !write_all(target, header, 2 * kBlockBytes))
            result = KVX_ERR_WRITE;
    }

    CloseHandle(source);
    if (target != INVALID_HANDLE_VALUE) CloseHandle(target);
    if (result == KVX_OK && !MoveFileExA(temp, path, MOVEFILE_REPLACE_EXISTING)) result = KVX_ERR_WRITE;
    if (result != KVX_OK && target != INVALID_HANDLE_VALUE) DeleteFileA(temp);
    if (result == KVX_OK) {
        if (table != nullptr)
            for (uint32_t i = 0; i < table_entries && i < chunks; ++i) table[i] = times[i];
        if (codec_flags != nullptr) *codec_flags = flags;
    }
    std::free(buffer);
    std::free(times);
    return result;
}

} // namespace kvx
