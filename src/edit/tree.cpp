/*
 * The edit tree: tables, their times, finding a position, the walker and
 * the checks.
 */
#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>

#include "edit/edit.h"
#include "edit/session.h"
#include "format/header.h"
#include "kvx.h"

namespace kvx {
namespace edit {

Session *g_edit = nullptr;

Table *new_table(Table *parent, const std::string &path, const std::string &name, uint32_t base)
{
    Table *table = new Table;
    table->parent = parent;
    table->path = path;
    table->name = name;
    table->base = base;
    return table;
}

void free_tree(Table *table)
{
    if (table == nullptr) return;
    for (Entry &entry : table->entries) free_tree(entry.repl);
    delete table;
}

Table *clone_tree(const Table *table, Table *parent)
{
    Table *copy = new Table(*table);
    copy->parent = parent;
    for (Entry &entry : copy->entries)
        if (entry.repl != nullptr) entry.repl = clone_tree(entry.repl, copy);
    return copy;
}

namespace {

/* Durations of entries with a replacement are their replacement's; end
 * times run on from `t`.  Returns the time after the table. */
uint32_t times_from(Table *table, uint32_t t)
{
    for (Entry &entry : table->entries) {
        if (entry.erased) {
            entry.end = 0;
            entry.dur = 0;
            continue;
        }
        if (entry.repl != nullptr) {
            const uint32_t after = times_from(entry.repl, t);
            entry.dur = after - t;
        }
        t += entry.dur;
        entry.end = t;
    }
    return t;
}

/* The first leaf of the table's audio at or after `position`: an entry of
 * time whose end reaches the position. */
bool find(Table *table, uint32_t position, Leaf *leaf)
{
    for (uint32_t i = 0; i < table->entries.size(); ++i) {
        Entry &entry = table->entries[i];
        if (entry.erased || entry.dur == 0 || entry.end < position) continue;
        table->selected = static_cast<uint16_t>(i);
        if (entry.repl != nullptr) return find(entry.repl, position, leaf);
        leaf->table = table;
        leaf->index = i;
        leaf->start = entry.end - entry.dur;
        return true;
    }
    return false;
}

/* The last leaf that is not erased; false when there is none. */
bool last_leaf(Table *table, Leaf *leaf)
{
    for (uint32_t i = static_cast<uint32_t>(table->entries.size()); i-- > 0;) {
        Entry &entry = table->entries[i];
        if (entry.erased) continue;
        table->selected = static_cast<uint16_t>(i);
        if (entry.repl != nullptr) {
            if (last_leaf(entry.repl, leaf)) return true;
            continue;
        }
        leaf->table = table;
        leaf->index = i;
        leaf->start = entry.end - entry.dur;
        return true;
    }
    return false;
}

std::string check_table(const Table *table, uint32_t *last_end, bool files);

} // namespace

void update_times(Session &s)
{
    tree_changed();
    s.length = times_from(s.root, 0);
    if (s.handle != nullptr) s.handle->root = s.root;
#ifndef NDEBUG
    uint32_t end = 0;
    assert(check_table(s.root, &end, false).empty() && end == s.length);
#endif
}

bool locate(Session &s, uint32_t position, Leaf *leaf)
{
    if (position > s.length) position = s.length;
    if (s.length != 0 && find(s.root, position, leaf)) return true;
    return last_leaf(s.root, leaf);
}

bool rewritable(const Table *table)
{
    if (table->root || table->entries.size() > rewrite_limit()) return false;
    for (const Entry &entry : table->entries)
        if (entry.repl != nullptr) return false;
    return true;
}

uint32_t index_in_parent(const Table *table)
{
    const Table *parent = table->parent;
    for (uint32_t i = 0; parent != nullptr && i < parent->entries.size(); ++i)
        if (parent->entries[i].repl == table) return i;
    return 0;
}

std::string child_name(const Session &s, const Table *table, uint32_t index)
{
    char number[16];
    std::snprintf(number, sizeof number, "%u", index);
    if (table->root) return s.prefix + number + ".tmp";
    std::string stem = table->name;
    if (stem.size() >= 4 && stem.compare(stem.size() - 4, 4, ".tmp") == 0) stem.resize(stem.size() - 4);
    return stem + "." + number + ".tmp";
}

void collect_files(const Table *table, std::vector<std::string> *paths)
{
    if (!table->root) paths->push_back(table->path);
    for (const Entry &entry : table->entries)
        if (entry.repl != nullptr) collect_files(entry.repl, paths);
}

void delete_file(Session &s, const std::string &path)
{
    if (DeleteFileA(path.c_str())) return;
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) s.leftovers.push_back(path);
}

/* ---- the walker ---------------------------------------------------- */

namespace {

uint32_t walk_table(const Table *table, ChunkSink sink, void *user, std::vector<uint8_t> &chunk, bool *stopped)
{
    for (uint32_t i = 0; i < table->entries.size() && !*stopped; ++i) {
        const Entry &entry = table->entries[i];
        if (entry.erased) continue;
        if (entry.repl != nullptr) {
            const uint32_t result = walk_table(entry.repl, sink, user, chunk, stopped);
            if (result != 0) return result;
            continue;
        }
        uint32_t blocks = 0;
        const uint32_t result = read_chunk(table, i, &chunk, &blocks);
        if (result != 0) return result;
        if (blocks != 0 && !sink(chunk.data(), blocks, user)) *stopped = true;
    }
    return 0;
}

std::string check_table(const Table *table, uint32_t *last_end, bool files)
{
    char text[160];
    uint32_t last = 0;
    for (uint32_t i = 0; i < table->entries.size(); ++i) {
        const Entry &entry = table->entries[i];
        if (entry.end == 0) continue;
        if (entry.end < last) {
            std::snprintf(text, sizeof text, "%s: entry %u ends at %u before %u", table->name.c_str(), i, entry.end,
                          last);
            return text;
        }
        last = entry.end;
        if (entry.repl != nullptr) {
            uint32_t child_end = 0;
            std::string fault = check_table(entry.repl, &child_end, files);
            if (!fault.empty()) return fault;
            if (child_end != entry.end) {
                std::snprintf(text, sizeof text, "%s: entry %u ends at %u, its replacement at %u",
                              table->name.c_str(), i, entry.end, child_end);
                return text;
            }
        }
    }
    if (files && !table->root) {
        HANDLE file = CreateFileA(table->path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return table->path + ": missing";
        DWORD high = 0;
        const DWORD size = GetFileSize(file, &high);
        CloseHandle(file);
        if (size % kBlockBytes != 0) return table->path + ": not a whole number of blocks";
    }
    *last_end = last;
    return std::string();
}

void depth_of(const Table *table, uint32_t level, uint32_t *depth, uint32_t *tables)
{
    ++*tables;
    if (level > *depth) *depth = level;
    for (const Entry &entry : table->entries)
        if (entry.repl != nullptr) depth_of(entry.repl, level + 1, depth, tables);
}

} // namespace

namespace {

uint32_t s_tree_version = 0;

/* Appends the runs of `table`'s audio; `sizes` caches the files' sizes. */
uint32_t runs_of(const Table *table, std::vector<Run> *out, uint32_t *t)
{
    uint64_t size = 0;
    bool sized = false;
    for (uint32_t i = 0; i < table->entries.size(); ++i) {
        const Entry &entry = table->entries[i];
        if (entry.erased) continue;
        if (entry.repl != nullptr) {
            const uint32_t result = runs_of(entry.repl, out, t);
            if (result != 0) return result;
            continue;
        }
        if (!sized) {
            HANDLE file = CreateFileA(table->path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file == INVALID_HANDLE_VALUE) return KVX_ERR_EDIT_OPEN;
            DWORD high = 0;
            const DWORD low = GetFileSize(file, &high);
            CloseHandle(file);
            size = low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS ? 0 : (uint64_t(high) << 32) | low;
            sized = true;
        }
        /* As the reader takes a chunk: up to 500 blocks, a cut-off last
         * block counted whole. */
        const uint64_t offset = table->base + static_cast<uint64_t>(i) * kChunkBytes;
        const uint64_t bytes = size > offset ? std::min<uint64_t>(size - offset, kChunkBytes) : 0;
        const uint32_t blocks = static_cast<uint32_t>((bytes + kBlockBytes - 1) / kBlockBytes);
        if (blocks == 0) continue;
        out->push_back(Run{table->path, offset, blocks, *t, entry.dur});
        *t += entry.dur;
    }
    return 0;
}

} // namespace

uint32_t runs(std::vector<Run> *out)
{
    out->clear();
    if (g_edit == nullptr || g_edit->root == nullptr) return 0;
    uint32_t t = 0;
    return runs_of(g_edit->root, out, &t);
}

uint32_t tree_version()
{
    return s_tree_version;
}

void tree_changed()
{
    ++s_tree_version;
}

bool take_restart_request()
{
    if (g_edit == nullptr || !g_edit->restartPlayback) return false;
    g_edit->restartPlayback = false;
    return true;
}

void set_requested_start(uint32_t ms)
{
    if (g_edit != nullptr) g_edit->requestedStart = std::min(ms, g_edit->length);
}

bool session_open()
{
    return g_edit != nullptr;
}

uint32_t length_ms()
{
    return g_edit != nullptr ? g_edit->length : 0;
}

uint32_t walk_chunks(ChunkSink sink, void *user)
{
    if (g_edit == nullptr || g_edit->root == nullptr) return 0;
    std::vector<uint8_t> chunk;
    bool stopped = false;
    return walk_table(g_edit->root, sink, user, chunk, &stopped);
}

namespace {

struct BlockWalk {
    BlockSink sink;
    void *user;
};

bool each_block(const uint8_t *blocks, uint32_t count, void *user)
{
    const BlockWalk &w = *static_cast<const BlockWalk *>(user);
    for (uint32_t b = 0; b < count; ++b)
        if (!w.sink(blocks + b * kBlockBytes, w.user)) return false;
    return true;
}

} // namespace

uint32_t walk(BlockSink sink, void *user)
{
    BlockWalk w{sink, user};
    return walk_chunks(each_block, &w);
}

std::string check_tree()
{
    if (g_edit == nullptr) return std::string();
    uint32_t end = 0;
    std::string fault = check_table(g_edit->root, &end, true);
    if (!fault.empty()) return fault;
    if (end != g_edit->length) {
        char text[96];
        std::snprintf(text, sizeof text, "the root ends at %u, the length is %u", end, g_edit->length);
        return text;
    }
    return std::string();
}

std::vector<std::string> session_files()
{
    std::vector<std::string> paths;
    if (g_edit == nullptr) return paths;
    if (!g_edit->workPath.empty()) paths.push_back(g_edit->workPath);
    collect_files(g_edit->root, &paths);
    if (g_edit->out.file != INVALID_HANDLE_VALUE) paths.push_back(g_edit->out.path);
    for (const std::string &path : g_edit->leftovers) paths.push_back(path);
    return paths;
}

std::string session_folder()
{
    return g_edit != nullptr ? g_edit->folder : std::string();
}

void tree_shape(uint32_t *depth, uint32_t *tables)
{
    *depth = 0;
    *tables = 0;
    if (g_edit != nullptr) depth_of(g_edit->root, 0, depth, tables);
}

namespace {
uint32_t s_rewrite_limit = kRewriteLimit;
}

uint32_t rewrite_limit()
{
    return s_rewrite_limit;
}

void set_rewrite_limit(uint32_t chunks)
{
    s_rewrite_limit = chunks;
}

} // namespace edit
} // namespace kvx
