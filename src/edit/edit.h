/*
 * edit.h - the write session's edit tree, as the rest of the library sees it.
 *
 * An edited file is never changed while its session is open.  Each change
 * replaces one chunk (500 blocks) of a file by a replacement file; the
 * replacements form a tree of chunk tables whose root describes the edited
 * file (or, for a new recording, the empty working file).  The audio of the
 * edited file is what the walker below yields: the root's entries in order,
 * an entry with a replacement standing for the whole of its replacement
 * file's audio, an entry without one for its chunk of its table's file, and
 * entries of no time passed over.
 *
 * Every file a session makes lives in one folder fixed when the session
 * opens (the target's folder) and carries a name no other process or
 * session uses: "~kvx<pid>-<n>-" followed by the chunk indices of the path
 * through the tree ("3.0.tmp").
 */
#ifndef KVX_EDIT_EDIT_H
#define KVX_EDIT_EDIT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace kvx {
namespace edit {

/* Whether a write session is open. */
bool session_open();

/* Length of the edited audio, ms (0 without a session). */
uint32_t length_ms();

/* Receives one 512-byte block, as stored; false stops the walk. */
typedef bool (*BlockSink)(const uint8_t *block, void *user);

/* Yields the blocks of the edited audio in reading order.  0; 517 when a
 * file of the tree cannot be opened; 521 when one cannot be read; 0 also
 * when the sink stopped the walk. */
uint32_t walk(BlockSink sink, void *user);

/* The same a run of blocks at a time: the blocks of one chunk of one file
 * of the tree, as stored, `count` of them. */
typedef bool (*ChunkSink)(const uint8_t *blocks, uint32_t count, void *user);
uint32_t walk_chunks(ChunkSink sink, void *user);

/* One run of the edited audio as stored: `blocks` blocks of the file at
 * `path` from byte `offset` (a chunk of one file of the tree), `ms` of
 * audio from `start` ms on.  Blocks behind a file's end read as zero. */
struct Run {
    std::string path;
    uint64_t offset;
    uint32_t blocks;
    uint32_t start;
    uint32_t ms;
};

/* The edited audio as the walker yields it, without reading it: one run
 * per chunk, in reading order.  0, or 517 when a file of the tree cannot be
 * opened to learn its size. */
uint32_t runs(std::vector<Run> *out);

/* Changes with every change of the tree and every session opened or
 * closed: what was read of the edited audio before stands while it keeps
 * its value. */
uint32_t tree_version();
void tree_changed();

/* Whether an erase or a close that kept the session asked playback to
 * start again from its stop; the request is cleared. */
bool take_restart_request();

/* Where the next recording begins when no write position is set anew. */
void set_requested_start(uint32_t ms);

/* Checks the tree: nonzero end times never decrease within a table, an
 * entry with a replacement ends where its replacement's last nonzero entry
 * ends, the root's last nonzero end time is the length, and every
 * replacement file is a whole number of blocks.  Empty when all hold, else
 * what does not. */
std::string check_tree();

/* Every file the session made and still holds, full paths: the working
 * file of a new recording and the replacement files of the tree. */
std::vector<std::string> session_files();

/* The session's folder for its files, with a trailing separator. */
std::string session_folder();

/* Ends the session without keeping anything: every file it made is
 * deleted, the target is untouched.  0, or 512 for a foreign handle. */
uint32_t discard_session(void *handle);

/* The extended index marks while a session is open: the session's table,
 * with the marks set during a recording. */
uint32_t session_get_marks(uint32_t *positions, uint32_t *count);
uint32_t session_write_mark(int32_t position);
uint32_t session_delete_mark(uint32_t position);

/* The session's header image: the first header block and the second,
 * 1,024 bytes, as the committed file will carry them. */
uint8_t *header_image();
/* Fields of the second block were changed. */
void header_changed();

/* Tables of up to this many chunks without replacements of their own are
 * rewritten whole by a change (20); larger ones get a replacement for the
 * changed chunk.  Tests lower it to reach deep trees with small files. */
uint32_t rewrite_limit();
void set_rewrite_limit(uint32_t chunks);

/* Depth of the tree (0: the root alone) and number of tables. */
void tree_shape(uint32_t *depth, uint32_t *tables);

} // namespace edit
} // namespace kvx

#endif /* KVX_EDIT_EDIT_H */
