// Fuzz target: arbitrary bytes taken as a folder's management data.
//
// Every key of the data (at each record position the walk reaches, and at
// every offset) is looked up with several chunk counts; a record found must
// lie whole inside the data.  Then a record is appended, and the new data
// must find it and keep no more than 127 records.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "database/management.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (1u << 20)) return 0;
    // A copy of exactly the input's size, so that reading past it is seen.
    std::vector<uint8_t> copy(data, data + size);
    const uint8_t *bytes = copy.empty() ? nullptr : copy.data();
    const uint32_t length = static_cast<uint32_t>(size);

    uint8_t key[kvx::kRecordKeyBytes] = {};
    for (size_t offset = 0; offset + sizeof key <= size; offset += 1 + offset / 64) {
        std::memcpy(key, data + offset, sizeof key);
        const uint16_t counts[] = {1, 3, static_cast<uint16_t>(offset), 0xFFFF};
        for (uint16_t count : counts) {
            const uint8_t *record = kvx::find_record(bytes, length, key, count);
            if (record == nullptr) continue;
            const size_t at = static_cast<size_t>(record - bytes);
            if (at + kvx::kRecordHeadBytes + 4u * count > size) std::abort();
        }
    }

    const uint32_t table[3] = {1000, 2000, 3000};
    std::memset(key, 'k', sizeof key);
    const kvx::ManagementRecord record{7, key, 1, 3, table};
    uint32_t new_length = 0;
    uint8_t *appended = kvx::append_record(bytes, length, record, &new_length);
    if (appended == nullptr) return 0;
    if (appended[0] == 0 || appended[0] > kvx::kMaxRecords) std::abort();
    const uint8_t *found = kvx::find_record(appended, new_length, key, 3);
    if (found == nullptr || std::memcmp(found + kvx::kRecordHeadBytes, table, sizeof table) != 0) std::abort();
    std::free(appended);
    return 0;
}
