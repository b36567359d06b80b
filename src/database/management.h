/*
 * management.h - the folder's management file "KVXMANAGEMENT.DAT".
 *
 * The management file keeps the chunk time tables of the folder's large
 * files, so that opening one again need not read it all.  Layout, all
 * little-endian:
 *
 *   0   u8   number of records (128 or more reads as none)
 *   1   3    zero
 *   4   ...  records, back to back:
 *        0   3      "KVX"
 *        3   u32    the file's number field
 *        7   6      length digits  \
 *       13   6      end date digits > the key that identifies the file
 *       19   6      end time digits /
 *       25   u8     codec flags
 *       26   u16    n, the chunk count
 *       28   4 * n  chunk time table
 */
#ifndef KVX_DATABASE_MANAGEMENT_H
#define KVX_DATABASE_MANAGEMENT_H

#include <stddef.h>
#include <stdint.h>

namespace kvx {

constexpr char kManagementName[] = "KVXMANAGEMENT.DAT";
constexpr uint32_t kManagementPrefixBytes = 4;
constexpr uint32_t kRecordHeadBytes = 28;
constexpr uint32_t kRecordKeyOffset = 7;
constexpr uint32_t kRecordKeyBytes = 18;
constexpr uint32_t kRecordFlagsOffset = 25;
constexpr uint32_t kRecordCountOffset = 26;
/* Readers take a count of 128 or more as no records. */
constexpr uint32_t kMaxRecords = 127;

/* A new record's contents. */
struct ManagementRecord {
    uint32_t number;
    const uint8_t *key; /* 18 bytes */
    uint8_t codecFlags;
    uint16_t chunkCount;
    const uint32_t *chunkTimes;
};

/* The record of the file with `key` and `chunk_count` chunks in the
 * management data, or null.  Reads nothing outside the data: a record that
 * does not start with "KVX" or does not fit ends the search. */
const uint8_t *find_record(const uint8_t *data, uint32_t bytes, const uint8_t *key, uint16_t chunk_count);

/* New management data: the old data's readable records with the new one at
 * the end.  Records of the same key go (the new one describes the file
 * now), and so do the oldest ones when the count would reach 128.  For
 * well-formed data under the limit this is the old data, its count plus
 * one, and the record appended.  Null when out of memory. */
uint8_t *append_record(const uint8_t *data, uint32_t bytes, const ManagementRecord &record, uint32_t *new_bytes);

/* Replaces the management file `path` as a whole: written under a
 * temporary name in the same folder, then renamed over it.  False, with the
 * old file untouched, when that fails. */
bool write_management_file(const char *path, const uint8_t *data, uint32_t bytes);

/* Builds "<folder>\KVXMANAGEMENT.DAT"; false when it does not fit. */
bool management_path(const char *folder, char *out, size_t out_bytes);

} // namespace kvx

#endif /* KVX_DATABASE_MANAGEMENT_H */
