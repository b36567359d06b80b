/*
 * The management file's records: look-up, appending, writing.
 */
#include "database/management.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/state.h"
#include "decode/open.h"
#include "format/header.h"

namespace kvx {

namespace {

constexpr char kTempName[] = "KVXMANAGEMENT.TMP";

/* The bytes of the record at `offset`, or 0 when no whole record is there. */
uint32_t record_bytes(const uint8_t *data, uint32_t bytes, uint32_t offset)
{
    if (offset > bytes || bytes - offset < kRecordHeadBytes) return 0;
    const uint8_t *record = data + offset;
    if (record[0] != 'K' || record[1] != 'V' || record[2] != 'X') return 0;
    const uint32_t total = kRecordHeadBytes + 4u * hdr::le16(record + kRecordCountOffset);
    return bytes - offset < total ? 0 : total;
}

} // namespace

const uint8_t *find_record(const uint8_t *data, uint32_t bytes, const uint8_t *key, uint16_t chunk_count)
{
    if (data == nullptr || bytes < kManagementPrefixBytes) return nullptr;
    const int count = static_cast<int8_t>(data[0]);
    uint32_t offset = kManagementPrefixBytes;
    for (int i = 0; i < count; ++i) {
        const uint32_t size = record_bytes(data, bytes, offset);
        if (size == 0) return nullptr;
        const uint8_t *record = data + offset;
        /* A record of another chunk count cannot describe this file: its
         * table would be read past its end. */
        if (std::memcmp(record + kRecordKeyOffset, key, kRecordKeyBytes) == 0 &&
            hdr::le16(record + kRecordCountOffset) == chunk_count)
            return record;
        offset += size;
    }
    return nullptr;
}

uint8_t *append_record(const uint8_t *data, uint32_t bytes, const ManagementRecord &record, uint32_t *new_bytes)
{
    /* The old records that can be read, in order.  The count byte is taken
     * as written (also 128 and more: those files were written past the
     * limit, and their records are kept as far as they go). */
    struct Span {
        uint32_t offset, size;
    };
    std::vector<Span> kept;
    if (data != nullptr && bytes >= kManagementPrefixBytes) {
        uint32_t offset = kManagementPrefixBytes;
        for (uint32_t i = 0; i < data[0]; ++i) {
            const uint32_t size = record_bytes(data, bytes, offset);
            if (size == 0) break;
            if (std::memcmp(data + offset + kRecordKeyOffset, record.key, kRecordKeyBytes) != 0)
                kept.push_back({offset, size});
            offset += size;
        }
    }
    /* The oldest go when the count would reach what readers take as none. */
    size_t first = kept.size() >= kMaxRecords ? kept.size() - (kMaxRecords - 1) : 0;

    const uint32_t size = kRecordHeadBytes + 4u * record.chunkCount;
    uint64_t total = kManagementPrefixBytes + size;
    for (size_t i = first; i < kept.size(); ++i) total += kept[i].size;
    auto *out = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(total)));
    if (out == nullptr) return nullptr;
    std::memset(out, 0, kManagementPrefixBytes);
    out[0] = static_cast<uint8_t>(kept.size() - first + 1);
    uint8_t *at = out + kManagementPrefixBytes;
    for (size_t i = first; i < kept.size(); ++i) {
        std::memcpy(at, data + kept[i].offset, kept[i].size);
        at += kept[i].size;
    }
    at[0] = 'K';
    at[1] = 'V';
    at[2] = 'X';
    hdr::put32(at + 3, record.number);
    std::memcpy(at + kRecordKeyOffset, record.key, kRecordKeyBytes);
    at[kRecordFlagsOffset] = record.codecFlags;
    hdr::put16(at + kRecordCountOffset, record.chunkCount);
    for (uint32_t i = 0; i < record.chunkCount; ++i) hdr::put32(at + kRecordHeadBytes + 4 * i, record.chunkTimes[i]);
    *new_bytes = static_cast<uint32_t>(total);
    return out;
}

bool management_path(const char *folder, char *out, size_t out_bytes)
{
    return join_folder(folder, kManagementName, out, out_bytes);
}

bool write_management_file(const char *path, const uint8_t *data, uint32_t bytes)
{
    /* The temporary file lies beside the management file. */
    char temp[kNameBytes];
    const char *slash = nullptr;
    for (const char *p = path; *p != '\0'; ++p)
        if (*p == '\\' || *p == '/') slash = p;
    const size_t folder_bytes = slash == nullptr ? 0 : static_cast<size_t>(slash - path + 1);
    if (folder_bytes + sizeof kTempName > sizeof temp) return false;
    std::memcpy(temp, path, folder_bytes);
    std::memcpy(temp + folder_bytes, kTempName, sizeof kTempName);

    HANDLE file = CreateFileA(temp, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD put = 0;
    const bool written = WriteFile(file, data, bytes, &put, nullptr) && put == bytes;
    CloseHandle(file);
    if (!written || !MoveFileExA(temp, path, MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileA(temp);
        return false;
    }
    return true;
}

} // namespace kvx
