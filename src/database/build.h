/*
 * build.h - the chunk time table of the active file: the passes that make
 * it, and the large-file database that keeps it.
 */
#ifndef KVX_DATABASE_BUILD_H
#define KVX_DATABASE_BUILD_H

#include <stdint.h>

namespace kvx {

/* The pass over the open active file, positioned after its header: with a
 * conversion request of 1 or -1 the one-block file gets its second header
 * block in the same pass; otherwise the table alone is read.  Fills `table`
 * (the active file's chunk count of entries) and the codec flags, and
 * closes the file.  0, or the opening's code when the file cannot be read
 * again. */
uint32_t chunk_pass(uint32_t *table, uint16_t *codec_flags);

/* Finds the active file in the folder's management data by its time-stamp
 * key; on success its table and codec flags become the active file's
 * (the table then lives in the management data) and the file is closed.
 * 0, or 12 when no record matches. */
uint32_t lookup_active_file();

/* Builds the table of the open active file (under the progress dialog in
 * folder modes 1 and 3), appends its record to the management data and
 * writes the management file when the folder allows it (mode exactly 1,
 * not on a memory card, conversion request not -1).  0, or the pass's
 * failure code. */
uint32_t build_database();

/* A table that points into the management data gets a copy of its own, so
 * that the data can go. */
void detach_chunk_table();

/* A chunk time table (and the codec flags) the library already knows for
 * the file it opens next, as a commit knows the file it wrote: that opening
 * takes it instead of reading the file, and records a large file's in the
 * folder's management data.  The offer holds for one opening. */
void offer_chunk_table(const uint32_t *table, uint16_t count, uint16_t codec_flags);
/* The opening's side: true when the offer fits the active file and was
 * taken. */
bool take_offered_table();

} // namespace kvx

#endif /* KVX_DATABASE_BUILD_H */
