/*
 * open.h - making a file the active file.
 */
#ifndef KVX_DECODE_OPEN_H
#define KVX_DECODE_OPEN_H

#include <stddef.h>
#include <stdint.h>

namespace kvx {

/* Opens the active file by its stored name and access mode, checks its
 * header and takes over the header facts.  Returns 0 with the file open and
 * positioned at the first audio block, or 1 (cannot be opened), 3 (out of
 * memory), 5 (size unreadable) or 7 (not a KVX file) with no handle held. */
uint32_t read_header();

/* Fills `table` (the active file's chunk count of entries) and the codec
 * flags from the open file, positioned after the header, then closes it.
 * While the progress dialog is up it is told of every 50th block. */
void read_table(uint32_t *table, uint16_t *codec_flags);

/* Makes `name` the active file, read-only, from its header alone: no chunk
 * time table is made (the transcription feed keeps its own counts).  0, or
 * a result of read_header(); the result is stored as the opening's. */
uint32_t open_header_only(const char *name);

/* Closes the active file's handle if one is held. */
void close_active_handle();

/* Whether two file names name the same file: exact on POSIX, without regard
 * to letter case on Windows. */
bool same_file_name(const char *a, const char *b);

/* Joins a folder and a bare file name with one separator (none when the
 * folder already ends with one).  False when the result does not fit. */
bool join_folder(const char *folder, const char *name, char *out, size_t out_bytes);

/* Whether a path has a directory part (a '\' or '/' in it). */
bool has_directory(const char *path);

/* Length of a caller's name, scanned no further than `limit` characters:
 * `limit` when no terminator comes before it.  A name that does not fit the
 * path buffers is refused without reading past them. */
size_t name_length(const char *name, size_t limit);

} // namespace kvx

#endif /* KVX_DECODE_OPEN_H */
