/*
 * session.h - the write session's insides, shared by the edit engine's
 * files.
 *
 * Tables.  A chunk table describes one file of the tree: entry i stands for
 * chunk i of that file (500 blocks from byte base + i x 256000), or, when it
 * has a replacement, for the whole audio of the replacement's table.  Each
 * entry keeps its duration; the end times (absolute positions in the edited
 * audio, 0 for an entry of no time) are worked out from the durations by an
 * in-order walk after every change, so they cannot disagree.
 *
 * Changes are made in two steps.  First every file a change needs is
 * written, flushed and closed under a name of its own, reading the tree but
 * not changing it.  Then the tree is changed in memory and the files that
 * took an old file's place are renamed over it; the first rename is the
 * point after which the change is kept.  Only then are the files that no
 * longer belong to the tree deleted.  A failure before that point deletes
 * what the change made and leaves the tree and its files as they were.
 */
#ifndef KVX_EDIT_SESSION_H
#define KVX_EDIT_SESSION_H

#include <stdint.h>

#include <string>
#include <vector>

#include "core/state.h"
#include "platform/platform.h"

struct WriteHandle {
    uint32_t tag;           /* 0x10000000 new, 0x20000000 named file, 0x30000000 active file */
    uint32_t length;        /* ms when the session opened */
    void *root;
};

namespace kvx {
namespace edit {

constexpr uint32_t kTagNew = 0x10000000u;
constexpr uint32_t kTagNamed = 0x20000000u;
constexpr uint32_t kTagActive = 0x30000000u;
constexpr uint32_t kLengthLimitMs = 359999000u; /* 99 h 59 min 59 s */
constexpr uint32_t kRewriteLimit = 20;          /* tables rewritten whole up to 20 chunks */
constexpr uint32_t kPayloadBytes = kBlockBytes - 6;

struct Table;

struct Entry {
    uint32_t end;    /* ms in the edited audio where this entry's audio ends; 0: none */
    uint32_t dur;    /* ms of audio the entry stands for */
    Table *repl;     /* replacement, or null */
    bool erased;     /* the entry stands for nothing: its chunk was erased */
};

struct Table {
    std::vector<Entry> entries;
    uint16_t selected = 0;
    Table *parent = nullptr;
    std::string path;       /* where the file's blocks are now */
    std::string name;       /* the name the file is to have (differs while a rename is due) */
    uint32_t base = 0;      /* file offset of chunk 0: the header at the root of an edited file */
    bool root = false;
};

/* A leaf: entry `index` of `table`, without replacement. */
struct Leaf {
    Table *table = nullptr;
    uint32_t index = 0;
    uint32_t start = 0;     /* ms where the entry's audio begins */
};

/* A position split inside a leaf's chunk. */
struct Split {
    Leaf leaf;
    std::vector<uint8_t> chunk; /* the chunk's blocks as read */
    uint32_t blocks = 0;        /* blocks in `chunk` */
    uint32_t whole = 0;         /* whole blocks before the split */
    uint32_t restFrom = 0;      /* first block of the chunk after the split */
    bool head = false;          /* `headBlock` goes after the whole blocks */
    bool tail = false;          /* `tailBlock` goes before the rest */
    uint8_t headBlock[kBlockBytes];
    uint8_t tailBlock[kBlockBytes];
    uint32_t time = 0;          /* the split time, ms, on a frame's start */
};

/* A file being written with its chunk accounting. */
struct Output {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::string path;
    Table *table = nullptr;     /* the file's new table */
    uint32_t blocksInChunk = 0; /* blocks counted in the last entry */
    uint64_t blocks = 0;        /* blocks written */
};

/* What a change made and what it leaves behind. */
struct Change {
    Table *snapshot = nullptr;          /* the tree before the change */
    uint32_t lengthBefore = 0;
    std::vector<std::string> created;   /* files made by the change */
    std::vector<std::string> obsolete;  /* files to delete once it is kept */
    bool open = false;
};

struct Session {
    /* identity */
    uint32_t kind = 0;          /* 0 new file, 1 named file, 2 active file */
    uint8_t mode = 0;           /* codec mode byte: 0 SP, 2 LP */
    bool insert = false;
    /* state */
    uint32_t pointerState = 255;/* 255 none set, 1 a segment is to be opened, 0 segment open */
    uint32_t activity = 0;      /* 0 idle, 1 playback, 2 recording */
    bool written = false;
    bool headerChanged = false;
    bool fileEmpty = false;
    /* positions, ms */
    uint32_t requestedStart = 0;
    uint32_t length = 0;
    uint32_t position = 0;
    uint32_t segmentMs = 0;
    uint32_t lengthAtStart = 0;
    uint32_t splitTime = 0;
    uint32_t markShift = 0;
    bool limitReached = false;
    bool restartPlayback = false; /* an erase: playback starts again from its stop */
    DWORD savedError = 0;
    /* files */
    std::string folder;         /* with a trailing separator */
    std::string prefix;         /* folder + "~kvx<pid>-<n>-" */
    std::string finalPath;
    std::string workPath;       /* the working file of a new recording */
    HANDLE reservation = INVALID_HANDLE_VALUE;
    uint32_t serial = 0;        /* for names that must differ from a leftover */
    std::vector<std::string> leftovers; /* files of the session that could not be deleted yet */
    /* the tree */
    Table *root = nullptr;
    WriteHandle *handle = nullptr;
    /* the open segment */
    Split startSplit;
    Output out;
    bool rewrite = false;       /* the segment rewrites its table whole */
    Change change;
    uint32_t savedMarks[16];
    uint32_t savedMarkCount = 0;
    /* frame packing */
    uint32_t frameBytes = 41;
    uint32_t frameMs = 24;
    uint8_t accumulator[574 + 512];
    uint32_t pending = 0;
    uint32_t overhang = 0;
    uint8_t lastPacked[kBlockBytes] = {}; /* the segment's last block written */
    /* level meter */
    int16_t *level = nullptr;
    /* marks: the extended table (sorted, in use first) and the marks set
     * while a segment records */
    uint32_t marks[16];
    uint32_t markCount = 0;
    uint32_t sessionMarks[16];
    uint32_t sessionMarkCount = 0;
    /* the header image: first and second header block */
    uint8_t header[1024];
};

extern Session *g_edit;

/* tree.cpp */
Table *new_table(Table *parent, const std::string &path, const std::string &name, uint32_t base);
void free_tree(Table *table);
Table *clone_tree(const Table *table, Table *parent);
void update_times(Session &s);           /* end times from durations; sets s.length */
bool locate(Session &s, uint32_t position, Leaf *leaf);
bool rewritable(const Table *table);
uint32_t index_in_parent(const Table *table);
std::string child_name(const Session &s, const Table *table, uint32_t index);
void collect_files(const Table *table, std::vector<std::string> *paths);
void delete_file(Session &s, const std::string &path);

/* engine.cpp */
uint32_t read_chunk(const Table *table, uint32_t index, std::vector<uint8_t> *chunk, uint32_t *blocks);
uint32_t split_at(Session &s, const Leaf &leaf, uint32_t position, bool start, Split *split);
uint32_t output_create(Session &s, const std::string &name, Output *out);
uint32_t output_put(Output &out, const uint8_t *blocks, uint32_t count);
uint32_t output_finish(Output &out);
void output_abandon(Output &out);
uint32_t output_replace_last(Output &out, const uint8_t *was, const uint8_t *block);
uint32_t copy_chunks(Session &s, Output &out, const Table *table, uint32_t from, uint32_t to);
void change_begin(Session &s);
void change_abandon(Session &s);
uint32_t change_keep(Session &s);
uint32_t segment_open(Session &s);
uint32_t segment_close(Session &s);
uint32_t erase_range(Session &s, uint32_t start, uint32_t end, uint32_t *split_start);
uint32_t write_error_result(DWORD error);

/* api.cpp */
bool handle_ok(const WriteHandle *handle);
bool absolute_name(const std::string &name, std::string *out);
uint32_t open_session_on_active(Session &s);  /* root, marks and header image of the active file */
uint32_t end_recording(Session &s);          /* ends a recording segment as `last` does */

} // namespace edit
} // namespace kvx

#endif /* KVX_EDIT_SESSION_H */
