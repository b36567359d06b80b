/*
 * The edit engine: splitting a chunk at a position, writing replacement
 * files, and the two changes made of them (a recorded segment, an erase).
 *
 * A split point cuts the chunk that holds a position into what lies before
 * it (the whole blocks before the split block, and a head block: the split
 * block cut after the frames before the position) and what lies after it
 * (a tail block: the split block with its first frame moved to the first
 * frame after the position, and the blocks after it).  Head and tail are
 * the stored block with its header changed, so neither can grow past a
 * block, and the frame that runs over the split block's end keeps its rest
 * in the block that follows the tail, as before.
 *
 * Replacement files are written whole before the tree changes: a segment's
 * file while it records, an erase's files before it takes effect.  Blocks
 * are written whole; a failed or short write cuts the file back to its last
 * whole block.
 */
#include <algorithm>
#include <cstring>

#include "edit/edit.h"
#include "edit/session.h"
#include "format/header.h"
#include "kvx.h"

namespace kvx {
namespace edit {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool seek(HANDLE file, uint64_t offset)
{
    LONG high = static_cast<LONG>(offset >> 32);
    const DWORD low = SetFilePointer(file, static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN);
    return !(low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS);
}

uint64_t file_size(HANDLE file)
{
    DWORD high = 0;
    const DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) return 0;
    return (static_cast<uint64_t>(high) << 32) | low;
}

/* The logical byte at offset p of a stored block: SP payloads have the
 * bytes of every 16-bit pair exchanged. */
inline uint8_t logical(const uint8_t *block, uint32_t p, bool sp)
{
    return block[sp ? (p ^ 1u) : p];
}

/* Length of the frame that starts with `first`, as the reader takes it. */
inline uint32_t frame_bytes(uint8_t codec, uint8_t first)
{
    if (codec & 2) return (first & 0x02) ? 4 : 24;
    if (codec & 1) return (first & 0x80) ? 41 : 9;
    return 41;
}

enum BlockKind { kFrameless, kFrames, kDamaged };

/* Walks the frames of a stored block: their starts into `starts` (count + 1
 * values, the last one where the last frame ends; past 512 when it runs
 * over into the next block). */
BlockKind block_frames(const uint8_t *block, uint32_t starts[130])
{
    const uint8_t count = block[hdr::kBlockFrameCount];
    const uint8_t codec = block[hdr::kBlockCodec];
    if (count == 0 || count >= 0x80 || codec > 3) return kFrameless;
    uint32_t p = hdr::first_frame_offset(block);
    if (p < hdr::kBlockHeaderBytes) return kDamaged;
    const bool sp = (codec & 2) == 0;
    for (uint32_t j = 0; j < count; ++j) {
        if (p >= kBlockBytes) return kDamaged; /* more frames counted than the block holds */
        starts[j] = p;
        p += frame_bytes(codec, logical(block, p, sp));
    }
    starts[count] = p;
    return kFrames;
}

void set_first_frame(uint8_t *block, uint32_t offset)
{
    const uint16_t word = hdr::le16(block);
    hdr::put16(block, static_cast<uint16_t>((word & 0x7F) | (offset << 7)));
}

/* The block that follows a leaf's chunk in reading order: the first block
 * of the next leaf that is not erased.  False when there is none. */
bool next_block_after(const Table *table, uint32_t index, uint8_t block[kBlockBytes])
{
    const Table *t = table;
    uint32_t i = index + 1;
    for (;;) {
        while (i < t->entries.size() && t->entries[i].erased) ++i;
        if (i < t->entries.size()) {
            if (t->entries[i].repl != nullptr) {
                t = t->entries[i].repl;
                i = 0;
                continue;
            }
            std::vector<uint8_t> chunk;
            uint32_t blocks = 0;
            if (read_chunk(t, i, &chunk, &blocks) != 0 || blocks == 0) return false;
            std::memcpy(block, chunk.data(), kBlockBytes);
            return true;
        }
        if (t->parent == nullptr) return false;
        i = index_in_parent(t) + 1;
        t = t->parent;
    }
}

} // namespace

uint32_t write_error_result(DWORD error)
{
    /* A full disk (112), the end of a handle's disk (39), and the code older
     * writers report for it (8): all say that space ran out. */
    return error == ERROR_DISK_FULL || error == 39u || error == 8u ? KVX_ERR_DISK_FULL : KVX_ERR_WRITE;
}

uint32_t read_chunk(const Table *table, uint32_t index, std::vector<uint8_t> *chunk, uint32_t *blocks)
{
    *blocks = 0;
    HANDLE file = CreateFileA(table->path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return KVX_ERR_EDIT_OPEN;
    const uint64_t offset = table->base + static_cast<uint64_t>(index) * kChunkBytes;
    const uint64_t size = file_size(file);
    uint32_t expect = 0;
    if (size > offset) expect = static_cast<uint32_t>(std::min<uint64_t>(size - offset, kChunkBytes));
    const uint32_t whole = (expect + kBlockBytes - 1) / kBlockBytes * kBlockBytes;
    if (chunk->size() < whole) chunk->resize(kChunkBytes);
    DWORD got = 0;
    bool ok = true;
    if (expect != 0) ok = seek(file, offset) && ReadFile(file, chunk->data(), expect, &got, nullptr) && got == expect;
    CloseHandle(file);
    if (!ok) return KVX_ERR_READ;
    /* A cut-off last block reads as zero after its end, as the reader takes it. */
    if (whole > expect) std::memset(chunk->data() + expect, 0, whole - expect);
    *blocks = whole / kBlockBytes;
    return 0;
}

uint32_t split_at(Session &s, const Leaf &leaf, uint32_t position, bool start, Split *split)
{
    split->leaf = leaf;
    split->head = split->tail = false;
    uint32_t result = 0;
    if (s.fileEmpty || s.length == 0) {
        /* Nothing to keep: the first recording of an empty file. */
        split->chunk.clear();
        split->blocks = 0;
    } else {
        result = read_chunk(leaf.table, leaf.index, &split->chunk, &split->blocks);
        if (result == KVX_ERR_EDIT_OPEN) return static_cast<uint32_t>(KVX_ERR_SPLIT_SOURCE);
        if (result != 0) return result;
    }
    uint32_t t = leaf.start;
    uint32_t starts[130];
    for (uint32_t b = 0; b < split->blocks; ++b) {
        uint8_t *block = split->chunk.data() + b * kBlockBytes;
        const BlockKind kind = block_frames(block, starts);
        if (kind == kDamaged) {
            /* A damaged block ends the chunk for the split: what follows is
             * kept as it is, behind the split. */
            split->whole = split->restFrom = b;
            split->time = t;
            return 0;
        }
        const uint32_t d = hdr::block_ms(block);
        if (kind == kFrameless || t + d <= position) {
            t += d;
            continue;
        }
        const uint32_t f = hdr::frame_ms(block[hdr::kBlockCodec]);
        const uint32_t count = block[hdr::kBlockFrameCount];
        const uint32_t k = (position - t) / f;
        split->whole = b;
        split->time = t + k * f;
        if (k == 0) {
            /* The split lies before the block's first frame: the block goes
             * behind it whole, and a head of no frames carries the rest of
             * the frame begun in the block before. */
            split->restFrom = b;
            if (hdr::first_frame_offset(block) > hdr::kBlockHeaderBytes) {
                std::memcpy(split->headBlock, block, kBlockBytes);
                split->headBlock[hdr::kBlockFrameCount] = 0;
                split->head = true;
            }
            return 0;
        }
        split->restFrom = b + 1;
        std::memcpy(split->headBlock, block, kBlockBytes);
        split->headBlock[hdr::kBlockFrameCount] = static_cast<uint8_t>(k);
        split->head = true;
        std::memcpy(split->tailBlock, block, kBlockBytes);
        split->tailBlock[hdr::kBlockFrameCount] = static_cast<uint8_t>(count - k);
        set_first_frame(split->tailBlock, starts[k]);
        split->tail = true;
        return 0;
    }
    /* The position lies at the chunk's end (or the chunk has no block). */
    split->whole = split->restFrom = split->blocks;
    split->time = t;
    if (start && split->blocks != 0) {
        /* The chunk's last frame may run over into the block that follows
         * the chunk in reading order: that block's rest of the frame must
         * follow whatever comes after the split, as a head of no frames. */
        const uint8_t *last = split->chunk.data() + (split->blocks - 1) * kBlockBytes;
        if (block_frames(last, starts) == kFrames && starts[last[hdr::kBlockFrameCount]] > kBlockBytes) {
            uint8_t next[kBlockBytes];
            if (next_block_after(leaf.table, leaf.index, next) &&
                hdr::first_frame_offset(next) > hdr::kBlockHeaderBytes) {
                std::memcpy(split->headBlock, next, kBlockBytes);
                split->headBlock[hdr::kBlockFrameCount] = 0;
                split->head = true;
            }
        }
    }
    return 0;
}

/* ---- replacement files ---------------------------------------------- */

uint32_t output_create(Session &s, const std::string &name, Output *out)
{
    out->blocks = 0;
    out->blocksInChunk = 0;
    std::string path = name;
    for (int attempt = 0;; ++attempt) {
        out->file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out->file != INVALID_HANDLE_VALUE) break;
        /* A file of that name that the session did not make is not ours to
         * overwrite: take another name. */
        if (GetLastError() != ERROR_FILE_EXISTS || attempt == 8) return KVX_ERR_CREATE;
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, "~%u.tmp", ++s.serial);
        path = name.substr(0, name.size() - 4) + suffix;
    }
    out->path = path;
    s.change.created.push_back(path);
    out->table = new_table(nullptr, path, path, 0);
    out->table->entries.push_back(Entry{0, 0, nullptr, false});
    return 0;
}

namespace {

/* Chunk accounting: written blocks join the output's last entry, and a new
 * entry starts after every 500. */
void count_blocks(Output &out, const uint8_t *blocks, uint32_t count)
{
    for (uint32_t b = 0; b < count; ++b) {
        if (out.blocksInChunk == kBlocksPerChunk) {
            out.table->entries.push_back(Entry{0, 0, nullptr, false});
            out.blocksInChunk = 0;
        }
        ++out.blocksInChunk;
        out.table->entries.back().dur += hdr::block_ms(blocks + b * kBlockBytes);
    }
    out.blocks += count;
}

} // namespace

uint32_t output_put(Output &out, const uint8_t *blocks, uint32_t count)
{
    if (count == 0) return 0;
    DWORD put = 0;
    const DWORD bytes = count * kBlockBytes;
    if (!WriteFile(out.file, blocks, bytes, &put, nullptr) || put != bytes) {
        const DWORD error = put != bytes && put != 0 ? static_cast<DWORD>(ERROR_DISK_FULL) : GetLastError();
        /* Back to the last whole block, so that the file stays a run of
         * whole blocks; what lay beyond it was not written. */
        const uint32_t whole = put / kBlockBytes;
        const uint64_t keep = (out.blocks + whole) * kBlockBytes;
        seek(out.file, keep);
        SetEndOfFile(out.file);
        count_blocks(out, blocks, whole); /* those that did reach the file */
        SetLastError(error);
        return write_error_result(error == ERROR_SUCCESS ? static_cast<DWORD>(ERROR_DISK_FULL) : error);
    }
    count_blocks(out, blocks, count);
    return 0;
}

/* Puts `block` in the place of the output's last block `was`; when that
 * cannot be written the last block is cut off instead.  Returns the ms
 * the output lost. */
uint32_t output_replace_last(Output &out, const uint8_t *was, const uint8_t *block)
{
    if (out.blocks == 0) return 0;
    const uint64_t at = (out.blocks - 1) * kBlockBytes;
    DWORD put = 0;
    uint32_t lost = hdr::block_ms(was) - hdr::block_ms(block);
    const bool rewritten = seek(out.file, at) && WriteFile(out.file, block, kBlockBytes, &put, nullptr) &&
                           put == kBlockBytes;
    if (!rewritten) {
        seek(out.file, at);
        SetEndOfFile(out.file);
        --out.blocks;
        lost = hdr::block_ms(was);
        out.table->entries.back().dur -= lost;
        if (--out.blocksInChunk == 0 && out.table->entries.size() > 1) {
            out.table->entries.pop_back();
            out.blocksInChunk = kBlocksPerChunk;
        }
    } else {
        out.table->entries.back().dur -= lost;
    }
    seek(out.file, out.blocks * kBlockBytes);
    return lost;
}

uint32_t output_finish(Output &out)
{
    if (out.file == INVALID_HANDLE_VALUE) return 0;
    const BOOL closed = CloseHandle(out.file);
    out.file = INVALID_HANDLE_VALUE;
    return closed ? 0 : static_cast<uint32_t>(KVX_ERR_WRITE);
}

void output_abandon(Output &out)
{
    if (out.file != INVALID_HANDLE_VALUE) CloseHandle(out.file);
    out.file = INVALID_HANDLE_VALUE;
    free_tree(out.table);
    out.table = nullptr;
}

uint32_t copy_chunks(Session &s, Output &out, const Table *table, uint32_t from, uint32_t to)
{
    (void)s;
    std::vector<uint8_t> chunk;
    for (uint32_t i = from; i < to && i < table->entries.size(); ++i) {
        if (table->entries[i].erased) continue;
        uint32_t blocks = 0;
        uint32_t result = read_chunk(table, i, &chunk, &blocks);
        if (result == 0) result = output_put(out, chunk.data(), blocks);
        if (result != 0) return result;
    }
    return 0;
}

/* ---- changes -------------------------------------------------------- */

void change_begin(Session &s)
{
    if (s.change.open) return;
    s.change.snapshot = clone_tree(s.root, nullptr);
    s.change.lengthBefore = s.length;
    s.change.created.clear();
    s.change.obsolete.clear();
    s.change.open = true;
}

void change_abandon(Session &s)
{
    tree_changed();
    if (!s.change.open) return;
    for (const std::string &path : s.change.created) delete_file(s, path);
    free_tree(s.root);
    s.root = s.change.snapshot;
    s.change.snapshot = nullptr;
    update_times(s);
    s.change.created.clear();
    s.change.obsolete.clear();
    s.change.open = false;
}

namespace {

void live_paths(const Table *table, std::vector<std::string> *paths)
{
    paths->push_back(table->path);
    for (const Entry &entry : table->entries)
        if (entry.repl != nullptr) live_paths(entry.repl, paths);
}

/* Renames every table whose file still has a name of its own over the
 * name it is to have.  The first rename decides: until it succeeds the
 * change can still be given up. */
uint32_t rename_due(Session &s, Table *table, bool *kept)
{
    for (Entry &entry : table->entries) {
        if (entry.repl == nullptr) continue;
        Table *child = entry.repl;
        if (child->path != child->name) {
            if (MoveFileExA(child->path.c_str(), child->name.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                child->path = child->name;
                *kept = true;
            } else if (!*kept) {
                return KVX_ERR_CREATE;
            } else {
                /* Kept under its own name: later changes do not try again. */
                child->name = child->path;
            }
        }
        const uint32_t result = rename_due(s, child, kept);
        if (result != 0) return result;
    }
    return 0;
}

} // namespace

uint32_t change_keep(Session &s)
{
    if (!s.change.open) return 0;
    bool kept = false;
    const uint32_t result = rename_due(s, s.root, &kept);
    if (result != 0) {
        change_abandon(s);
        return result;
    }
    std::vector<std::string> live;
    live_paths(s.root, &live);
    for (const std::string &path : s.change.obsolete)
        if (std::find(live.begin(), live.end(), path) == live.end()) delete_file(s, path);
    free_tree(s.change.snapshot);
    s.change.snapshot = nullptr;
    s.change.created.clear();
    s.change.obsolete.clear();
    s.change.open = false;
    return 0;
}

namespace {

/* Puts the blocks of a split that lie before it, or after it. */
uint32_t put_before(Output &out, const Split &split)
{
    uint32_t result = output_put(out, split.chunk.data(), split.whole);
    if (result == 0 && split.head) result = output_put(out, split.headBlock, 1);
    return result;
}

uint32_t put_after(Output &out, const Split &split)
{
    uint32_t result = 0;
    if (split.tail) result = output_put(out, split.tailBlock, 1);
    if (result == 0 && split.restFrom < split.blocks)
        result = output_put(out, split.chunk.data() + split.restFrom * kBlockBytes, split.blocks - split.restFrom);
    return result;
}

/* Every file of a subtree joins the files to delete once the change is
 * kept. */
void drop_subtree(Session &s, Table *table)
{
    std::vector<std::string> paths;
    collect_files(table, &paths);
    s.change.obsolete.insert(s.change.obsolete.end(), paths.begin(), paths.end());
    free_tree(table);
}

/* Puts a finished output in the tree: as the replacement of entry `index`
 * of `table` (a new child), or in the place of `table` (a rewrite).  An
 * output without blocks stands for nothing: the entry, or the rewritten
 * table's entry in its parent, is erased. */
void link_output(Session &s, Output &out, Table *table, uint32_t index, bool rewrite)
{
    Table *made = out.table;
    out.table = nullptr;
    const bool empty = out.blocks == 0;
    if (empty) {
        s.change.obsolete.push_back(made->path);
        free_tree(made);
        made = nullptr;
    }
    if (!rewrite) {
        Entry &entry = table->entries[index];
        entry.repl = made;
        entry.erased = made == nullptr;
        if (made != nullptr) made->parent = table;
        return;
    }
    Table *parent = table->parent;
    Entry &entry = parent->entries[index_in_parent(table)];
    entry.repl = made;
    entry.erased = made == nullptr;
    if (made != nullptr) {
        made->parent = parent;
        made->name = table->name;
    }
    s.change.obsolete.push_back(table->path);
    free_tree(table);
}

} // namespace

/* ---- a recorded segment --------------------------------------------- */

uint32_t segment_open(Session &s)
{
    Leaf leaf;
    if (s.fileEmpty || s.length == 0 || !locate(s, s.requestedStart, &leaf)) {
        /* An empty file: the root's first entry takes the recording. */
        leaf.table = s.root;
        leaf.index = 0;
        leaf.start = 0;
    }
    uint32_t result = split_at(s, leaf, s.requestedStart, true, &s.startSplit);
    if (result != 0) return result;
    change_begin(s);
    Table *table = leaf.table;
    s.rewrite = rewritable(table) && !s.fileEmpty && s.length != 0;
    result = output_create(s, child_name(s, table, leaf.index), &s.out);
    if (result == 0 && s.rewrite) result = copy_chunks(s, s.out, table, 0, leaf.index);
    if (result == 0) result = put_before(s.out, s.startSplit);
    if (result != 0) {
        output_abandon(s.out);
        change_abandon(s);
        return result;
    }
    return 0;
}

uint32_t segment_close(Session &s)
{
    const Leaf &leaf = s.startSplit.leaf;
    uint32_t result = put_after(s.out, s.startSplit);
    if (result == 0 && s.rewrite)
        result = copy_chunks(s, s.out, leaf.table, leaf.index + 1, static_cast<uint32_t>(leaf.table->entries.size()));
    const uint32_t closed = output_finish(s.out);
    if (result == 0) result = closed;
    if (result != 0) {
        output_abandon(s.out);
        change_abandon(s);
        return result;
    }
    if (s.fileEmpty || s.change.lengthBefore == 0) {
        /* Everything before was erased or never was: the recording is the
         * whole audio. */
        for (Entry &entry : s.root->entries) {
            if (entry.repl != nullptr) drop_subtree(s, entry.repl);
            entry = Entry{0, 0, nullptr, true};
        }
    }
    link_output(s, s.out, leaf.table, leaf.index, s.rewrite);
    update_times(s);
    return 0;
}

/* ---- erase ---------------------------------------------------------- */

namespace {

struct LeafRef {
    Table *table;
    uint32_t index;
};

void list_leaves(Table *table, std::vector<LeafRef> *leaves)
{
    for (uint32_t i = 0; i < table->entries.size(); ++i) {
        Entry &entry = table->entries[i];
        if (entry.erased) continue;
        if (entry.repl != nullptr) list_leaves(entry.repl, leaves);
        else leaves->push_back(LeafRef{table, i});
    }
}

/* Entries whose replacement holds nothing any more go, with their files. */
bool prune(Session &s, Table *table)
{
    bool any = false;
    for (Entry &entry : table->entries) {
        if (entry.erased) continue;
        if (entry.repl != nullptr && !prune(s, entry.repl)) {
            drop_subtree(s, entry.repl);
            entry.repl = nullptr;
            entry.erased = true;
            continue;
        }
        any = true;
    }
    return any;
}

} // namespace

uint32_t erase_range(Session &s, uint32_t start, uint32_t end, uint32_t *split_start)
{
    Leaf ls, le;
    if (!locate(s, start, &ls)) return KVX_ERR_ERASE_RANGE;
    Split ps;
    uint32_t result = split_at(s, ls, start, true, &ps);
    if (result != 0) return result;
    *split_start = ps.time;
    if (!locate(s, end, &le)) return KVX_ERR_ERASE_RANGE;
    Split pe;
    result = split_at(s, le, end, false, &pe);
    if (result != 0) return result;
    if (pe.time <= ps.time) return 0; /* less than a frame: nothing to erase */

    change_begin(s);
    std::vector<LeafRef> leaves;
    list_leaves(s.root, &leaves);
    size_t os = 0, oe = 0;
    for (size_t i = 0; i < leaves.size(); ++i) {
        if (leaves[i].table == ls.table && leaves[i].index == ls.index) os = i;
        if (leaves[i].table == le.table && leaves[i].index == le.index) oe = i;
    }
    Table *ts = ls.table, *te = le.table;
    const bool same_leaf = os == oe;
    const bool rewrite_s = rewritable(ts), rewrite_e = rewritable(te);

    /* First every file; the tree is only read. */
    Output a, b;
    bool use_b = false;
    if (ts == te && rewrite_s) {
        result = output_create(s, child_name(s, ts, ls.index), &a);
        if (result == 0) result = copy_chunks(s, a, ts, 0, ls.index);
        if (result == 0) result = put_before(a, ps);
        if (result == 0) result = put_after(a, pe);
        if (result == 0) result = copy_chunks(s, a, ts, le.index + 1, static_cast<uint32_t>(ts->entries.size()));
    } else {
        result = output_create(s, child_name(s, ts, ls.index), &a);
        if (result == 0 && rewrite_s) result = copy_chunks(s, a, ts, 0, ls.index);
        if (result == 0) result = put_before(a, ps);
        if (result == 0 && same_leaf) result = put_after(a, pe);
        if (result == 0 && !same_leaf) {
            use_b = true;
            result = output_create(s, child_name(s, te, le.index), &b);
            if (result == 0) result = put_after(b, pe);
            if (result == 0 && rewrite_e)
                result = copy_chunks(s, b, te, le.index + 1, static_cast<uint32_t>(te->entries.size()));
        }
    }
    uint32_t closed = output_finish(a);
    if (result == 0) result = closed;
    closed = output_finish(b);
    if (result == 0) result = closed;
    if (result != 0) {
        output_abandon(a);
        output_abandon(b);
        return result; /* the caller gives the change up */
    }

    /* Then the tree: the leaves between the points are erased (those of a
     * rewritten table are simply not in its new file). */
    for (size_t i = os + 1; i < oe; ++i) {
        Table *t = leaves[i].table;
        if ((t == ts && rewrite_s) || (t == te && rewrite_e)) continue;
        Entry &entry = t->entries[leaves[i].index];
        entry.erased = true;
    }
    if (ts == te && rewrite_s) {
        link_output(s, a, ts, ls.index, true);
    } else {
        link_output(s, a, ts, ls.index, rewrite_s);
        if (use_b) link_output(s, b, te, le.index, rewrite_e);
    }
    prune(s, s.root);
    update_times(s);
    if (s.length == 0) {
        /* Everything erased: nothing of the tree stays. */
        for (Entry &entry : s.root->entries) {
            if (entry.repl != nullptr) drop_subtree(s, entry.repl);
            entry = Entry{0, 0, nullptr, true};
        }
        update_times(s);
    }
    return 0;
}

} // namespace edit
} // namespace kvx
