/*
 * Header information: KVXGetHeaderInfo, KVXGetHeaderInfoEx and
 * KVXSetHeaderInfo.
 *
 * The getters read a file of the active folder (or, for the full record, a
 * header image in memory); the setter writes selected fields into the
 * active file.  A one-block file whose header asks for the extended form is
 * converted to two blocks by the full getter when it may be written.
 */
#include <cstddef>
#include <cstring>

#include "core/state.h"
#include "database/convert.h"
#include "database/progress.h"
#include "decode/open.h"
#include "edit/edit.h"
#include "format/header.h"
#include "kvx.h"

namespace kvx {
namespace {

constexpr uint32_t kHeaderBytes = 2 * kBlockBytes;

/* Second-block fields of the record: offsets 78..183 and 188..287. */
constexpr size_t kRecordSecondA = offsetof(HeaderInfoEx, text3);
constexpr size_t kRecordSecondAEnd = offsetof(HeaderInfoEx, lengthMs);
constexpr size_t kRecordSecondB = offsetof(HeaderInfoEx, text4);

void copy_first_block(const uint8_t *h, HeaderInfoEx *info)
{
    std::memcpy(info->text1, h + hdr::kText1, sizeof info->text1);
    info->number = hdr::le32(h + hdr::kNumber);
    info->word32 = hdr::le16(h + hdr::kWord32);
    info->endTrans = hdr::le16(h + hdr::kEndTrans);
    info->signedWord = static_cast<int16_t>(hdr::le16(h + hdr::kSignedWord));
    std::memcpy(info->lengthDigits, h + hdr::kLengthDigits, 6);
    std::memcpy(info->endDate, h + hdr::kEndDate, 6);
    std::memcpy(info->endTime, h + hdr::kEndTime, 6);
    std::memcpy(info->startDate, h + hdr::kStartDate, 6);
    std::memcpy(info->startTime, h + hdr::kStartTime, 6);
    info->lock = h[hdr::kLock];
    info->priority = h[hdr::kPriority];
    std::memcpy(info->text2, h + hdr::kText2, sizeof info->text2);
}

void copy_second_block(const uint8_t *h, HeaderInfoEx *info)
{
    info->codingMode = h[hdr::kExtCodingMode];
    std::memcpy(info->text3, h + hdr::kText3, sizeof info->text3);
    std::memcpy(&info->itemA1, h + hdr::kItemA, hdr::kItemBytes);
    std::memcpy(&info->itemB1, h + hdr::kItemB, hdr::kItemBytes);
    std::memcpy(&info->itemC1, h + hdr::kItemC, hdr::kItemBytes);
    info->flag1 = h[hdr::kFlag1];
    info->flag2 = h[hdr::kFlag2];
    info->number2 = hdr::le32(h + hdr::kNumber2);
    info->lengthMs = hdr::le32(h + hdr::kExtLengthMs);
    std::memcpy(info->text4, h + hdr::kText4, sizeof info->text4);
}

void zero_second_block(HeaderInfoEx *info)
{
    auto *bytes = reinterpret_cast<uint8_t *>(info);
    std::memset(bytes + kRecordSecondA, 0, kRecordSecondAEnd - kRecordSecondA);
    std::memset(bytes + kRecordSecondB, 0, sizeof(HeaderInfoEx) - kRecordSecondB);
}

/* The full record from a header in memory (the caller's image). */
uint32_t fill_from_image(const uint8_t *h, HeaderInfoEx *info)
{
    copy_first_block(h, info);
    if (h[hdr::kBlockCount] == 2 && hdr::le32(h + hdr::kExtendedMark) == hdr::kExtendedMarkValue) {
        copy_second_block(h, info);
    } else {
        info->codingMode = 0;
        zero_second_block(info);
        info->lengthMs = hdr::length_digits_ms(h + hdr::kLengthDigits);
    }
    return KVX_OK;
}

/* Whether `source` holds a header image: the byte at +9 is 1 or 2 and the
 * bytes at +10..+12 are "kvx" in any case.  The bytes are read one by one
 * and the test stops at the first zero byte, so a file name shorter than
 * the test is never read past its end. */
bool is_header_image(const char *source)
{
    for (int i = 0; i < 9; ++i)
        if (source[i] == '\0') return false;
    const auto *p = reinterpret_cast<const uint8_t *>(source);
    if (p[9] != 1 && p[9] != 2) return false;
    static const char kMagic[] = "kvx";
    for (int i = 0; i < 3; ++i) {
        const uint8_t c = p[10 + i];
        if (c == 0 || (c | 0x20) != static_cast<uint8_t>(kMagic[i])) return false;
    }
    return true;
}

/* The fields of a record that the mask selects, into a header (both
 * blocks); the lock byte also into the active file's. */
void set_first_fields(uint8_t *h, const HeaderInfoEx *info, uint32_t mask)
{
    if (mask & KVX_FIELD_TEXT1) std::memcpy(h + hdr::kText1, info->text1, sizeof info->text1);
    if (mask & KVX_FIELD_NUMBER) hdr::put32(h + hdr::kNumber, info->number);
    if (mask & KVX_FIELD_END_TRANS) hdr::put16(h + hdr::kEndTrans, info->endTrans);
    if (mask & KVX_FIELD_SIGNED_WORD) hdr::put16(h + hdr::kSignedWord, static_cast<uint16_t>(info->signedWord));
    if (mask & KVX_FIELD_TEXT2) std::memcpy(h + hdr::kText2, info->text2, sizeof info->text2);
    if (mask & KVX_FIELD_PRIORITY) h[hdr::kPriority] = info->priority;
    if (mask & KVX_FIELD_LOCK) {
        h[hdr::kLock] = info->lock;
        g_file.lock = info->lock;
    }
    if (mask & KVX_FIELD_NUMBER) g_file.number = info->number;
}

void set_second_fields(uint8_t *h, const HeaderInfoEx *info, uint32_t mask)
{
    if (mask & KVX_FIELD_TEXT3) std::memcpy(h + hdr::kText3, info->text3, sizeof info->text3);
    if (mask & KVX_FIELD_ITEM_A) std::memcpy(h + hdr::kItemA, &info->itemA1, hdr::kItemBytes);
    if (mask & KVX_FIELD_ITEM_B) std::memcpy(h + hdr::kItemB, &info->itemB1, hdr::kItemBytes);
    if (mask & KVX_FIELD_ITEM_C) std::memcpy(h + hdr::kItemC, &info->itemC1, hdr::kItemBytes);
    if (mask & KVX_FIELD_FLAG1) h[hdr::kFlag1] = info->flag1;
    if (mask & KVX_FIELD_FLAG2) h[hdr::kFlag2] = info->flag2;
    if (mask & KVX_FIELD_NUMBER2) hdr::put32(h + hdr::kNumber2, info->number2);
    if (mask & KVX_FIELD_TEXT4) std::memcpy(h + hdr::kText4, info->text4, sizeof info->text4);
}

bool read_exact(HANDLE file, uint8_t *buffer, DWORD bytes, DWORD *got)
{
    *got = 0;
    return ReadFile(file, buffer, bytes, got, nullptr) != FALSE;
}

/* The path of a file of the active folder; false when it does not fit. */
bool folder_path(const char *name, char *path)
{
    return join_folder(g_folder.path, name, path, kNameBytes);
}

/* Files larger than this are converted under the progress dialog. */
constexpr DWORD kDialogBytes = 2000000;

/* The header pass alone: no table is kept. */
uint32_t convert_work(void *path)
{
    return convert_header(static_cast<const char *>(path), nullptr, 0, nullptr);
}

/* Whether two names lead to the same file on disk ("x.kvx", "./x.kvx", a
 * link): the same volume and file index. */
bool same_file(const char *a, const char *b)
{
    BY_HANDLE_FILE_INFORMATION info[2];
    const char *names[2] = {a, b};
    for (int i = 0; i < 2; ++i) {
        HANDLE file = CreateFileA(names[i], 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        const BOOL known = GetFileInformationByHandle(file, &info[i]);
        CloseHandle(file);
        if (!known) return false;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

/* After the active file was converted, under whatever name, its audio
 * starts one block later. */
void converted(const char *path)
{
    if (g_file.name[0] == '\0' || !same_file(path, g_file.name)) return;
    g_file.headerBlocks = 2;
    g_read.ringValid = false;
}

} // namespace

} // namespace kvx

using namespace kvx;

extern "C" uint32_t KVXAPI KVXGetHeaderInfo(const char *name, HeaderInfo *info)
{
    if (g_folder.path[0] == '\0') return KVX_ERR_NO_FOLDER;
    char path[kNameBytes];
    if (name == nullptr || info == nullptr || !folder_path(name, path)) return KVX_ERR_OPEN;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return KVX_ERR_OPEN;
    DWORD high = 0;
    if (GetFileSize(file, &high) == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) {
        CloseHandle(file);
        return KVX_ERR_SIZE;
    }
    uint8_t h[kBlockBytes];
    DWORD got = 0;
    read_exact(file, h, kBlockBytes, &got);
    CloseHandle(file);
    if (got != kBlockBytes || !hdr::magic_ok(h)) return KVX_ERR_NOT_KVX;
    info->number = hdr::le32(h + hdr::kNumber);
    info->endTrans = hdr::le16(h + hdr::kEndTrans);
    std::memcpy(info->lengthDigits, h + hdr::kLengthDigits, 6);
    std::memcpy(info->endDate, h + hdr::kEndDate, 6);
    std::memcpy(info->endTime, h + hdr::kEndTime, 6);
    info->lock = h[hdr::kLock];
    info->priority = h[hdr::kPriority];
    return KVX_OK;
}

extern "C" uint32_t KVXAPI KVXGetHeaderInfoEx(const char *source, HeaderInfoEx *info)
{
    if (source == nullptr || info == nullptr) return KVX_ERR_REOPEN;
    /* While a write session is open its header image is the header. */
    if (edit::session_open()) return fill_from_image(edit::header_image(), info);
    if (is_header_image(source))
        return fill_from_image(reinterpret_cast<const uint8_t *>(source) + 9, info);

    if (g_folder.path[0] == '\0') return KVX_ERR_NO_FOLDER;
    char path[kNameBytes];
    /* A name that does not fit a path (a damaged header image, say) cannot
     * be opened at all. */
    if (!folder_path(source, path)) return KVX_ERR_OPEN;
    const DWORD attributes = GetFileAttributesA(path);
    DWORD access = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)
                       ? GENERIC_READ
                       : GENERIC_READ | GENERIC_WRITE;
    HANDLE file = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_NETWORK_ACCESS_DENIED) return KVX_ERR_REOPEN;
        access = GENERIC_READ;
        file = CreateFileA(path, access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return KVX_ERR_REOPEN;
    }
    DWORD high = 0;
    const DWORD size = GetFileSize(file, &high);
    if (size == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) {
        CloseHandle(file);
        return KVX_ERR_SIZE;
    }
    uint8_t h[kHeaderBytes + 8];
    std::memset(h, 0, sizeof h);
    DWORD got = 0;
    read_exact(file, h, kHeaderBytes + 8, &got);
    /* Header block counts other than 1 and 2 are no KVX header either. */
    if (got < kBlockBytes || !hdr::magic_ok(h) || (h[hdr::kBlockCount] != 1 && h[hdr::kBlockCount] != 2)) {
        CloseHandle(file);
        return KVX_ERR_NOT_KVX;
    }
    copy_first_block(h, info);
    const bool extended = hdr::le32(h + hdr::kExtendedMark) == hdr::kExtendedMarkValue;

    if (h[hdr::kBlockCount] == 1) {
        if (access == GENERIC_READ || !extended) {
            /* The coding mode of a file without a second block is that of
             * its first audio block. */
            info->codingMode = got > kBlockBytes + hdr::kBlockCodec ? h[kBlockBytes + hdr::kBlockCodec] : 0;
            zero_second_block(info);
            info->lengthMs = hdr::length_digits_ms(h + hdr::kLengthDigits);
            CloseHandle(file);
            if (access == GENERIC_READ) {
                info->signedWord = -1;
                return KVX_OK;
            }
            return KVX_ERR_NOT_EXTENDED;
        }
        CloseHandle(file);
        /* Files of more than 2,000,000 bytes are converted under the
         * progress dialog, which says a header is being added. */
        const uint32_t result = size > kDialogBytes ? run_under_progress(kJobPass, 2, convert_work, path)
                                                    : convert_work(path);
        if (result != KVX_OK) return KVX_OK; /* the fields stay as they were */
        converted(path);
        file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return KVX_ERR_REOPEN;
        std::memset(h, 0, sizeof h);
        const bool whole = read_exact(file, h, kHeaderBytes, &got) && got == kHeaderBytes;
        if (!whole) {
            CloseHandle(file);
            return KVX_ERR_REOPEN;
        }
        info->signedWord = static_cast<int16_t>(hdr::le16(h + hdr::kSignedWord));
    }
    CloseHandle(file);
    if (!extended) {
        info->codingMode = got > kHeaderBytes + hdr::kBlockCodec ? h[kHeaderBytes + hdr::kBlockCodec] : 0;
        zero_second_block(info);
        return KVX_ERR_NOT_EXTENDED;
    }
    copy_second_block(h, info);
    return KVX_OK;
}

extern "C" uint32_t KVXAPI KVXSetHeaderInfo(const HeaderInfoEx *info, uint32_t mask)
{
    /* With a write session open the session's header image takes the
     * change; it reaches the file when the session is closed. */
    if (edit::session_open()) {
        if (info != nullptr) {
            uint8_t *image = edit::header_image();
            set_first_fields(image, info, mask);
            set_second_fields(image, info, mask);
            if (mask & 0xFF00) edit::header_changed();
        }
        return KVX_OK;
    }
    if (g_file.name[0] == '\0' || g_file.lastResult != KVX_OK) return KVX_ERR_NO_ACTIVE_FILE;
    if (info == nullptr) return KVX_OK;
    const bool number_only = mask == KVX_FIELD_NUMBER;
    if (!number_only) {
        if (g_file.access == GENERIC_READ) return KVX_ERR_READ_ONLY;
        if (g_file.lock == 0 && !(mask & KVX_FIELD_LOCK)) return KVX_ERR_LOCKED;
    }
    /* The number field may be set on a read-only file: its attribute is
     * lifted for the write and put back afterwards. */
    const DWORD attributes = number_only ? GetFileAttributesA(g_file.name) : INVALID_FILE_ATTRIBUTES;
    const bool lifted = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
                        SetFileAttributesA(g_file.name, attributes & ~FILE_ATTRIBUTE_READONLY);
    const DWORD access = number_only ? GENERIC_READ | GENERIC_WRITE : g_file.access;
    HANDLE file = CreateFileA(g_file.name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (lifted) SetFileAttributesA(g_file.name, attributes);
        return KVX_ERR_OPEN_FOR_WRITE;
    }
    uint8_t h[kHeaderBytes];
    std::memset(h, 0, sizeof h);
    DWORD got = 0;
    /* The blocks are written back whole: without the whole header read,
     * nothing is written. */
    if (!read_exact(file, h, kHeaderBytes, &got) || got < kBlockBytes * g_file.headerBlocks) {
        CloseHandle(file);
        if (lifted) SetFileAttributesA(g_file.name, attributes);
        return KVX_ERR_OPEN_FOR_WRITE;
    }

    uint32_t result = KVX_OK;
    if (mask & 0xFF) {
        set_first_fields(h, info, mask);
        DWORD put = 0;
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        if (!WriteFile(file, h, kBlockBytes, &put, nullptr) || put != kBlockBytes) result = KVX_ERR_OPEN_FOR_WRITE;
    }
    if ((mask & 0xFF00) && result == KVX_OK) {
        set_second_fields(h, info, mask);
        if (g_file.headerBlocks == 1) {
            result = KVX_ERR_ONE_BLOCK_HEADER;
        } else if (!g_file.extended) {
            result = KVX_ERR_NOT_EXTENDED;
        } else {
            DWORD put = 0;
            SetFilePointer(file, static_cast<LONG>(kBlockBytes), nullptr, FILE_BEGIN);
            if (!WriteFile(file, h + kBlockBytes, kBlockBytes, &put, nullptr) || put != kBlockBytes)
                result = KVX_ERR_OPEN_FOR_WRITE;
        }
    }
    CloseHandle(file);
    if (lifted) SetFileAttributesA(g_file.name, attributes);
    return result;
}
