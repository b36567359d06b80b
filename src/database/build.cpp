/*
 * The large-file database.
 *
 * A file of three chunks or more is not read on every opening: its chunk
 * time table is kept in the management data of its folder, found there by
 * the file's time-stamp key (length, end date and end time digits), and
 * made by a database build when it is not there yet.  The build's pass
 * reads the whole file, or converts a one-block header on the way, and runs
 * under the progress dialog when the folder mode asks for it.
 */
#include "database/build.h"

#include <cstdlib>
#include <cstring>

#include "core/state.h"
#include "database/convert.h"
#include "database/drives.h"
#include "database/management.h"
#include "database/progress.h"
#include "decode/open.h"
#include "kvx.h"

namespace kvx {

namespace {

struct PassJob {
    uint32_t *table;
    uint16_t flags;
};

uint32_t pass_work(void *context)
{
    auto *job = static_cast<PassJob *>(context);
    return chunk_pass(job->table, &job->flags);
}

bool may_write_management_file()
{
    return g_folder.mode == 1 && g_file.conversionRequest != -1 && g_folder.managementPath[0] != '\0' &&
           !on_removable_drive(g_folder.managementPath);
}

} // namespace

uint32_t chunk_pass(uint32_t *table, uint16_t *codec_flags)
{
    if (g_file.conversionRequest == 1 || g_file.conversionRequest == -1) {
        close_active_handle();
        if (convert_header(g_file.name, table, g_file.chunkCount, codec_flags) == KVX_OK) {
            /* The audio now starts behind two header blocks. */
            g_file.headerBlocks = 2;
            return KVX_OK;
        }
        /* The file is as it was: its table is read as it stands. */
        const uint32_t result = read_header();
        if (result != KVX_OK) return result;
    }
    read_table(table, codec_flags);
    return KVX_OK;
}

uint32_t lookup_active_file()
{
    const uint8_t *record = find_record(g_folder.data, g_folder.dataBytes, g_file.timeKey, g_file.chunkCount);
    if (record == nullptr) return KVX_ERR_NOT_INITIALISED; /* 12: not found */
    close_active_handle();
    /* Records lie at multiples of 4 in a malloc'd block, so the table is
     * aligned. */
    g_file.chunkTimes = reinterpret_cast<uint32_t *>(const_cast<uint8_t *>(record + kRecordHeadBytes));
    g_file.chunkTimesOwned = false;
    g_file.codecFlags = record[kRecordFlagsOffset];
    return KVX_OK;
}

namespace {

/* A table the library already knows for the next opening: a commit's. */
struct Offer {
    uint32_t *table = nullptr;
    uint16_t count = 0;
    uint16_t flags = 0;
};
Offer s_offer;

/* Makes `table` (malloc'd) the active file's and, for a large file, its
 * record in the folder's management data. */
void install_table(uint32_t *table, uint16_t flags)
{
    /* Only tables of 256000-byte chunks are ever looked up: a table of the
     * transcription feed's small chunks is not recorded (it would replace
     * the file's useful record). */
    if (g_file.chunkCount >= 3) {
        const ManagementRecord record{g_file.number, g_file.timeKey, static_cast<uint8_t>(flags), g_file.chunkCount,
                                      table};
        uint32_t bytes = 0;
        uint8_t *data = g_decoder.chunkBytes == kChunkBytes
                            ? append_record(g_folder.data, g_folder.dataBytes, record, &bytes)
                            : nullptr;
        if (data != nullptr) {
            if (may_write_management_file()) write_management_file(g_folder.managementPath, data, bytes);
            std::free(g_folder.data);
            g_folder.data = data;
            g_folder.dataBytes = bytes;
        }
    }
    if (g_file.chunkTimesOwned) std::free(g_file.chunkTimes);
    g_file.chunkTimes = table;
    g_file.chunkTimesOwned = true;
    g_file.codecFlags = flags;
}

} // namespace

void offer_chunk_table(const uint32_t *table, uint16_t count, uint16_t codec_flags)
{
    std::free(s_offer.table);
    s_offer = Offer();
    if (table == nullptr || count == 0) return;
    s_offer.table = static_cast<uint32_t *>(std::malloc(sizeof(uint32_t) * count));
    if (s_offer.table == nullptr) return;
    std::memcpy(s_offer.table, table, sizeof(uint32_t) * count);
    s_offer.count = count;
    s_offer.flags = codec_flags;
}

bool take_offered_table()
{
    if (s_offer.table == nullptr) return false;
    Offer offer = s_offer;
    s_offer = Offer();
    if (offer.count != g_file.chunkCount || g_file.conversionRequest != 0 || g_decoder.chunkBytes != kChunkBytes) {
        std::free(offer.table);
        return false;
    }
    close_active_handle();
    install_table(offer.table, offer.flags);
    return true;
}

uint32_t build_database()
{
    PassJob job{static_cast<uint32_t *>(std::malloc(sizeof(uint32_t) * g_file.chunkCount)), 0};
    if (job.table == nullptr) {
        close_active_handle();
        return KVX_ERR_MEMORY;
    }
    const uint32_t result = (g_folder.mode & 1) != 0
                                ? run_under_progress(kJobPass, g_file.conversionRequest, pass_work, &job)
                                : pass_work(&job);
    if (result != KVX_OK) {
        std::free(job.table);
        return result;
    }
    install_table(job.table, job.flags);
    return KVX_OK;
}

void detach_chunk_table()
{
    if (g_file.chunkTimes == nullptr || g_file.chunkTimesOwned) return;
    auto *copy = static_cast<uint32_t *>(std::malloc(sizeof(uint32_t) * (g_file.chunkCount + 1u)));
    if (copy != nullptr) std::memcpy(copy, g_file.chunkTimes, sizeof(uint32_t) * g_file.chunkCount);
    g_file.chunkTimes = copy;
    g_file.chunkTimesOwned = copy != nullptr;
    if (copy == nullptr) g_file.chunkCount = 0;
}

} // namespace kvx
