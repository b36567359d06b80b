/*
 * Opening a file: KVXActiveFile and KVXActiveFile2.
 *
 * Opening reads the header, works out the audio byte count and the chunk
 * count, and obtains the chunk time table and the codec flags.  The active
 * file name is replaced before the file is opened, so a failed opening
 * leaves the failing name active, and the next call with that name returns
 * the stored failure at once.
 */
#include "decode/open.h"

#include <cstdlib>
#include <cstring>

#include "core/state.h"
#include "database/build.h"
#include "database/progress.h"
#include "format/header.h"
#include "kvx.h"

namespace kvx {

namespace {

constexpr uint32_t kWorkBufferBytes = 5120;

/* The library's own bad-file answers: a short header, a block count other
 * than 1 or 2, a file shorter than its header, a file too large for the
 * 16-bit chunk count. */
uint32_t refuse_file()
{
    close_active_handle();
    return KVX_ERR_NOT_KVX;
}

bool read_exact(HANDLE file, uint8_t *buffer, DWORD bytes)
{
    DWORD got = 0;
    return ReadFile(file, buffer, bytes, &got, nullptr) && got == bytes;
}

DWORD access_from_attributes(const char *name)
{
    const DWORD attributes = GetFileAttributesA(name);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY)) return GENERIC_READ;
    return GENERIC_READ | GENERIC_WRITE;
}

void report(uint32_t *length_ms, uint16_t *codec_flags)
{
    if (length_ms != nullptr)
        *length_ms = g_file.chunkTimes != nullptr && g_file.chunkCount > 0 ? g_file.chunkTimes[g_file.chunkCount - 1]
                                                                           : 0;
    if (codec_flags != nullptr) *codec_flags = g_file.codecFlags;
}

void free_chunk_table()
{
    if (g_file.chunkTimesOwned) std::free(g_file.chunkTimes);
    g_file.chunkTimes = nullptr;
    g_file.chunkTimesOwned = false;
    g_file.chunkCount = 0;
}

/* Makes `name` the active file name.  The old file's table no longer
 * describes the active file, so it goes too.  False when the name cannot
 * be held: then no file is active. */
bool take_name(const char *name)
{
    free_chunk_table();
    g_read.ringValid = false; /* the ring holds the old file's audio */
    const size_t length = name_length(name, kNameBytes);
    if (length >= kNameBytes) {
        g_file.name[0] = '\0';
        return false;
    }
    std::memcpy(g_file.name, name, length + 1);
    return true;
}

/* Chunk count, table and codec flags of the active file, from the open
 * file positioned after its header. */
uint32_t obtain_chunk_table()
{
    const uint64_t chunks = (static_cast<uint64_t>(g_file.audioBytes) + g_decoder.chunkBytes - 1) / g_decoder.chunkBytes;
    if (chunks > kMaxChunks) return refuse_file();
    g_file.chunkCount = static_cast<uint16_t>(chunks);
    if (take_offered_table()) return KVX_OK;
    if (g_file.chunkCount <= 2) {
        /* A small file is read on every opening, never under the dialog. */
        auto *table = static_cast<uint32_t *>(std::malloc(sizeof(uint32_t) * g_file.chunkCount));
        if (table == nullptr) {
            close_active_handle();
            return KVX_ERR_MEMORY;
        }
        uint16_t flags = 0;
        const uint32_t result = chunk_pass(table, &flags);
        if (result != KVX_OK) {
            std::free(table);
            return result;
        }
        g_file.chunkTimes = table;
        g_file.chunkTimesOwned = true;
        g_file.codecFlags = flags;
        return KVX_OK;
    }
    /* A large file: its table is kept in the folder's management data. */
    if (g_folder.data != nullptr && g_decoder.chunkBytes == kChunkBytes) {
        const bool converting = g_file.conversionRequest != 0;
        if (lookup_active_file() == KVX_OK) {
            if (!converting) return KVX_OK;
            /* Found, but the header is still to be converted: the build
             * runs all the same, and its record is not written. */
            g_file.chunkTimes = nullptr;
            g_file.conversionRequest = -1;
        }
    }
    return build_database();
}

/* The stored result of the opening that last ran.  Both openings keep it,
 * so that either one's shortcut reports how the active file opened rather
 * than how some earlier file did. */
void store_result(uint32_t result)
{
    g_file.lastResult = g_file.lastResult2 = static_cast<int32_t>(result);
    if (result == KVX_OK) ++g_file.generation;
}

/* A name that cannot be held (260 characters or more, with or without
 * its folder) is never opened, and no file is active afterwards.  Nothing
 * of it is read past the room for a path. */
uint32_t refuse_name()
{
    take_name("");
    store_result(KVX_ERR_OPEN);
    return KVX_ERR_OPEN;
}

} // namespace

bool join_folder(const char *folder, const char *name, char *out, size_t out_bytes)
{
    /* Neither string is scanned past the room in `out`: a name may be a
     * caller's header image that holds no terminator. */
    size_t folder_length = 0;
    while (folder_length < out_bytes && folder[folder_length] != '\0') ++folder_length;
    const bool separated = folder_length > 0 && (folder[folder_length - 1] == '\\' || folder[folder_length - 1] == '/');
    const size_t prefix = folder_length + (separated ? 0 : 1);
    size_t name_length = 0;
    while (prefix + name_length < out_bytes && name[name_length] != '\0') ++name_length;
    const size_t length = prefix + name_length;
    if (length >= out_bytes) return false;
    std::memcpy(out, folder, folder_length);
    size_t at = folder_length;
    if (!separated) out[at++] = KVX_PATH_SEPARATOR;
    std::memcpy(out + at, name, name_length + 1);
    return true;
}

uint32_t open_header_only(const char *name)
{
    if (!take_name(name)) return refuse_name();
    g_file.access = GENERIC_READ;
    g_file.conversionRequest = 0;
    const uint32_t result = read_header();
    close_active_handle();
    store_result(result);
    return result;
}

void close_active_handle()
{
    if (g_file.handle != nullptr && g_file.handle != INVALID_HANDLE_VALUE) CloseHandle(g_file.handle);
    g_file.handle = nullptr;
}

bool same_file_name(const char *a, const char *b)
{
#ifdef _WIN32
    return _stricmp(a, b) == 0;
#else
    return std::strcmp(a, b) == 0;
#endif
}

bool has_directory(const char *path)
{
    for (size_t i = 0; i < kNameBytes && path[i] != '\0'; ++i)
        if (path[i] == '\\' || path[i] == '/') return true;
    return false;
}

size_t name_length(const char *name, size_t limit)
{
    size_t length = 0;
    while (length < limit && name[length] != '\0') ++length;
    return length;
}

uint32_t read_header()
{
    close_active_handle();
    HANDLE file = CreateFileA(g_file.name, g_file.access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_NETWORK_ACCESS_DENIED) return KVX_ERR_OPEN;
        g_file.access = GENERIC_READ;
        file = CreateFileA(g_file.name, g_file.access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (file == INVALID_HANDLE_VALUE) return KVX_ERR_OPEN;
    }
    g_file.handle = file;

    auto *work = static_cast<uint8_t *>(std::malloc(kWorkBufferBytes));
    if (work == nullptr) {
        close_active_handle();
        return KVX_ERR_MEMORY;
    }
    uint32_t result = KVX_OK;
    DWORD size_high = 0;
    const DWORD size = GetFileSize(file, &size_high);
    if (size == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) {
        close_active_handle();
        result = KVX_ERR_SIZE;
    } else if (size_high != 0 || size < kBlockBytes || !read_exact(file, work, kBlockBytes) || !hdr::magic_ok(work)) {
        /* A file of 4 GiB or more cannot be described by the 32-bit audio
         * byte count. */
        result = refuse_file();
    } else {
        const uint8_t blocks = work[hdr::kBlockCount];
        if ((blocks != 1 && blocks != 2) || size < static_cast<DWORD>(blocks) * kBlockBytes) {
            result = refuse_file();
        } else {
            g_file.number = hdr::le32(work + hdr::kNumber);
            std::memcpy(g_file.timeKey, work + hdr::kLengthDigits, hdr::kDigitsBytes);
            std::memcpy(g_file.timeKey + 6, work + hdr::kEndDate, hdr::kDigitsBytes);
            std::memcpy(g_file.timeKey + 12, work + hdr::kEndTime, hdr::kDigitsBytes);
            g_file.lock = work[hdr::kLock];
            g_file.extended = hdr::le32(work + hdr::kExtendedMark) == hdr::kExtendedMarkValue;
            g_file.headerBlocks = blocks;
            for (uint8_t b = 1; b < blocks && result == KVX_OK; ++b)
                if (!read_exact(file, work, kBlockBytes)) result = refuse_file();
            g_file.audioBytes = size - static_cast<DWORD>(blocks) * kBlockBytes;
            if (g_file.audioBytes == 0) g_file.audioBytes = 1; /* an empty file counts one chunk */
        }
    }
    std::free(work);
    return result;
}

void read_table(uint32_t *table, uint16_t *codec_flags)
{
    const uint32_t chunk_bytes = g_decoder.chunkBytes;
    /* The chunks are read through the read ring; before the decoding
     * service has allocated it, a buffer of one chunk stands in for it. */
    uint8_t *scratch = nullptr;
    uint8_t *buffer = g_decoder.ring;
    if (buffer == nullptr) buffer = scratch = static_cast<uint8_t *>(std::malloc(chunk_bytes));
    uint32_t total = 0;
    uint16_t flags = 0;
    const uint32_t chunks = g_file.chunkCount;
    for (uint32_t chunk = 0; chunk < chunks; ++chunk) {
        DWORD got = 0;
        if (buffer == nullptr || !ReadFile(g_file.handle, buffer, chunk_bytes, &got, nullptr)) got = 0;
        /* Every block whose codec byte was read counts; the first block
         * always does, and bytes that were not read count as zero. */
        uint8_t zero_block[kBlockBytes] = {};
        const uint8_t *data = buffer;
        if (got < kBlockBytes) {
            if (buffer != nullptr) std::memset(buffer + got, 0, kBlockBytes - got);
            else data = zero_block;
        }
        uint32_t block = 0;
        for (uint32_t offset = 0; offset == 0 || offset + hdr::kBlockCodec < got; offset += kBlockBytes, ++block) {
            if (block % 50 == 0) progress_report(chunks, chunk);
            total += hdr::block_ms(data + offset);
            flags |= hdr::codec_flag(data[offset + hdr::kBlockCodec]);
        }
        table[chunk] = got == 0 ? 0 : total;
    }
    progress_report(chunks, chunks);
    std::free(scratch);
    close_active_handle();
    *codec_flags = flags;
}

} // namespace kvx

using namespace kvx;

extern "C" uint32_t KVXAPI KVXActiveFile(const char *name, uint32_t *lengthMs, uint16_t *codecFlags)
{
    if (g_write.sessionOpen) return KVX_ERR_BUSY;
    if (name == nullptr) return KVX_ERR_OPEN;
    if (name_length(name, kNameBytes) >= kNameBytes) return refuse_name();
    g_file.conversionRequest = 0;
    g_file.access = access_from_attributes(name);
    if (g_file.name[0] != '\0' && same_file_name(name, g_file.name)) {
        /* Nothing is read again; a stored failure reports nothing. */
        if (g_file.lastResult == KVX_OK) report(lengthMs, codecFlags);
        return static_cast<uint32_t>(g_file.lastResult);
    }

    /* A name too long to be held cannot be opened. */
    uint32_t result = take_name(name) ? KVX_OK : KVX_ERR_OPEN;
    g_read.codecChanged = false;
    if (result == KVX_OK) result = read_header();
    if (result == KVX_OK) result = obtain_chunk_table();
    if (result != KVX_OK) {
        store_result(result);
        return result;
    }
    report(lengthMs, codecFlags);
    close_active_handle();
    g_read.ringValid = false;
    store_result(KVX_OK);
    return KVX_OK;
}

extern "C" uint32_t KVXAPI KVXActiveFile2(const char *name, uint32_t *lengthMs, uint16_t *codecFlags)
{
    if (g_write.sessionOpen) return KVX_ERR_BUSY;
    if (name == nullptr) return KVX_ERR_OPEN;
    if (name_length(name, kNameBytes) >= kNameBytes) return refuse_name();
    if (codecFlags != nullptr) *codecFlags = g_file.codecFlags;
    g_file.conversionRequest = 0;

    /* A bare name lies in the active folder; with no folder active it is
     * taken as it is. */
    char path[kNameBytes];
    const char *full = name;
    if (!has_directory(name) && g_folder.path[0] != '\0') {
        if (!join_folder(g_folder.path, name, path, sizeof path)) return refuse_name();
        full = path;
    }

    g_file.access = access_from_attributes(full);
    if (g_file.name[0] != '\0' && same_file_name(full, g_file.name)) {
        if (g_file.lastResult2 == KVX_OK) report(lengthMs, codecFlags);
        return static_cast<uint32_t>(g_file.lastResult2);
    }

    uint32_t result = take_name(full) ? KVX_OK : KVX_ERR_OPEN;
    g_read.codecChanged = false;
    if (result == KVX_OK) result = read_header();
    if (result == KVX_OK) {
        /* A one-block file whose header asks for the extended form gets a
         * second block while its table is read, unless it is read-only. */
        g_file.conversionRequest =
            g_file.headerBlocks == 1 && g_file.extended && g_file.access != GENERIC_READ ? 1 : 0;
        result = obtain_chunk_table();
    }
    if (result != KVX_OK) {
        store_result(result);
        return result;
    }
    report(lengthMs, codecFlags);
    close_active_handle();
    g_read.ringValid = false;
    g_file.conversionRequest = 0;
    store_result(KVX_OK);
    return KVX_OK;
}
