/*
 * convert.h - adding a second header block to a one-block file.
 */
#ifndef KVX_DATABASE_CONVERT_H
#define KVX_DATABASE_CONVERT_H

#include <stdint.h>

namespace kvx {

/* Converts the one-block file `path` to the two-block form.  The chunk
 * time table goes to `table` (up to `table_entries` entries; may be null)
 * and the codec flags to `codec_flags` (may be null).  0 on success; on any
 * failure the file is left exactly as it was: 1 (cannot be opened), 3 (out
 * of memory), 7 (not a one-block KVX file), 520 (a write failed), 522 (the
 * converted file cannot be created). */
uint32_t convert_header(const char *path, uint32_t *table, uint32_t table_entries, uint16_t *codec_flags);

} // namespace kvx

#endif /* KVX_DATABASE_CONVERT_H */
