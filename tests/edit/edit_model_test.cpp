// The edit engine against a model of the edited audio: after every insert,
// overwrite, erase and mark change the walked blocks must hold exactly the
// model's frames, the tree must hold its invariants, and the length and the
// extended marks must be the model's.  Random sequences over generated
// files, then fixed cases that pin the positions and marks as numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "edit/edit.h"
#include "kvx.h"
#include "kvx_frames.h"
#include "kvx_gen.h"

namespace edit = kvx::edit;
using kvxgen::BlockFrames;
using kvxgen::Bytes;
using kvxgen::EditModel;
using kvxgen::Frame;

namespace {

bool collect(const uint8_t *block, void *user)
{
    Bytes *blocks = static_cast<Bytes *>(user);
    blocks->insert(blocks->end(), block, block + kvxgen::kBlockSize);
    return true;
}

Bytes read_whole(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string describe(const std::vector<Frame> &frames, size_t i)
{
    if (i >= frames.size()) return "; none";
    std::ostringstream o;
    o << "; codec " << int(frames[i].codec) << ", " << frames[i].bytes.size() << " bytes:" << std::hex;
    for (size_t k = 0; k < frames[i].bytes.size() && k < 48; ++k) o << " " << int(frames[i].bytes[k]);
    return o.str();
}

// One session on a generated file, the model beside it.  Every operation
// goes to both; check() compares them.
class Edit {
public:
    Edit(const kvxgen::File &file, uint8_t codec) : codec_(codec)
    {
        kvxgen::Layout layout;
        original_ = kvxgen::build(file, &layout);
        kvxgen::write(path_, original_);
        for (const kvxgen::FrameInfo &f : layout.frames)
            if (!f.afterEnd) model.frames.push_back({f.bytes, f.codecByte, f.durationMs});
        uint32_t result = 99;
        handle_ = KVXCreateFile(path_.c_str(), 1, &result);
        EXPECT_EQ(result, 0u);
        EXPECT_NE(handle_, nullptr);
    }

    ~Edit()
    {
        if (handle_ != nullptr) edit::discard_session(handle_);
        std::filesystem::remove(path_);
    }

    // Ends the session: nothing of it stays, the file is as it was.
    void discard()
    {
        ASSERT_EQ(edit::discard_session(handle_), 0u);
        handle_ = nullptr;
        EXPECT_EQ(read_whole(path_), original_);
        for (const auto &entry : std::filesystem::directory_iterator(::testing::TempDir()))
            EXPECT_EQ(entry.path().filename().string().rfind("~kvx", 0), std::string::npos) << entry.path();
    }

    // n new frames at `at`; returns the split time the engine reported.
    uint32_t write(uint32_t at, bool insert, size_t n)
    {
        const uint8_t mode = codec_ >= 2 ? 2 : 0;
        std::vector<Frame> add;
        for (size_t i = 0; i < n; ++i) {
            ++serial_;
            Bytes b = codec_ >= 2 ? kvxgen::lp_active(serial_) : kvxgen::sp_full(serial_, true);
            add.push_back({b, mode, kvxgen::frame_ms(codec_)});  // new blocks carry the session's codec
        }
        const uint32_t split = insert ? model.insert(at, add) : model.overwrite(at, add);
        uint8_t given = 0xFF;
        EXPECT_EQ(KVXSetWritePointer(handle_, at, &given, insert ? 1 : 0, 0), 0u);
        EXPECT_EQ(given, mode);
        WriteStatus status{};
        uint32_t first = 0xFFFFFFFF;
        for (size_t i = 0; i < n; ++i) {
            const uint32_t r = KVXWriteFile(handle_, add[i].bytes.data(), i + 1 == n, &status);
            if (r != 0) {
                ADD_FAILURE() << "KVXWriteFile " << r << " at frame " << i;
                break;
            }
            if (i == 0) first = status.position;
        }
        // The first status comes before any block is out, unless that frame ended the segment.
        if (n > 1) {
            EXPECT_EQ(first, split);
        }
        EXPECT_EQ(status.position, split + kvxgen::frame_ms(codec_) * n);
        EXPECT_EQ(status.length, model.length());
        return n > 1 ? first : split;
    }

    // Returns the engine's result; *position where the erased stretch began.
    uint32_t erase(uint32_t start, uint32_t end, uint32_t *position = nullptr)
    {
        uint32_t want = 0xFFFFFFFF;
        const uint32_t code = model.erase(start, end, &want);
        EraseResult out{0xFFFFFFFF, 0xFFFFFFFF};
        const uint32_t r = KVXPartialErase(handle_, start, end, &out);
        EXPECT_EQ(r, code);
        if (r == 0 && code == 0) {
            EXPECT_EQ(out.position, want);
            EXPECT_EQ(out.length, model.length());
        }
        if (position != nullptr) *position = out.position;
        return r;
    }

    uint32_t mark(uint32_t ms, bool add)
    {
        const uint32_t code = add ? model.add_mark(ms) : model.delete_mark(ms);
        const uint32_t r = add ? KVXWriteExtIndexMark(static_cast<int32_t>(ms)) : KVXDeleteExtIndexMark(ms);
        EXPECT_EQ(r, code) << (add ? "adding mark " : "deleting mark ") << ms;
        return r;
    }

    std::vector<uint32_t> marks() const
    {
        uint32_t positions[16];
        uint32_t count = 99;
        EXPECT_EQ(KVXGetExtIndexMark(positions, &count), 0u);
        return std::vector<uint32_t>(positions, positions + std::min<uint32_t>(count, 16));
    }

    // The engine's audio, tree, length and marks against the model.
    void check()
    {
        Bytes blocks;
        ASSERT_EQ(edit::walk(collect, &blocks), 0u);
        walked = kvxgen::read_blocks(blocks.data(), blocks.size() / kvxgen::kBlockSize);
        ASSERT_TRUE(walked.clean);
        ASSERT_EQ(edit::check_tree(), "");
        ASSERT_EQ(edit::length_ms(), model.length());
        const std::vector<Frame> &got = walked.frames, &want = model.frames;
        size_t i = 0;
        while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
        ASSERT_TRUE(i == got.size() && i == want.size())
            << "frames differ from frame " << i << " (" << model.start_of(i) << " ms): " << got.size() << " walked, "
            << want.size() << " in the model" << describe(got, i) << describe(want, i);
        ASSERT_EQ(marks(), model.marks);
    }

    EditModel model;
    BlockFrames walked;  // what the last check() read

private:
    static inline int files_ = 0;
    const std::string path_ = ::testing::TempDir() + "kvx-edit" + std::to_string(++files_) + ".kvx";
    Bytes original_;
    WriteHandle *handle_ = nullptr;
    uint8_t codec_;
    uint32_t serial_ = 0x5000;
};

// ---- random sequences ---------------------------------------------------

struct Reach {
    uint32_t maxDepth = 0;
    size_t rewrites = 0, children = 0;  // inserts that rewrote a table, that made a new one
};

// A position worth trying on the audio as the last check read it.
uint32_t pick(std::mt19937_64 &rng, const Edit &e)
{
    const std::vector<Frame> &frames = e.model.frames;
    const BlockFrames &w = e.walked;
    const uint32_t length = e.model.length();
    auto frame_start = [&](size_t i) { return e.model.start_of(std::min(i, frames.size())); };
    auto inside = [&](size_t i) { return i < frames.size() ? static_cast<uint32_t>(rng() % frames[i].ms) : 0u; };
    switch (rng() % 9) {
    case 0: return 0;
    case 1: return length;
    case 2: return length + 1 + static_cast<uint32_t>(rng() % 5000);
    case 3: {  // a chunk boundary of the walked stream
        const size_t chunks = (w.blockFirst.size() + kvxgen::kChunkBlocks - 1) / kvxgen::kChunkBlocks;
        return chunks == 0 ? 0 : frame_start(w.blockFirst[rng() % chunks * kvxgen::kChunkBlocks]);
    }
    case 4:  // a block boundary
        return w.blockFirst.empty() ? 0 : frame_start(w.blockFirst[rng() % w.blockFirst.size()]);
    case 5: {  // a frame that runs over its block's end, on it or inside it
        if (w.spilling.empty()) return 0;
        const size_t i = w.spilling[rng() % w.spilling.size()] + rng() % 2;
        return frame_start(i) + inside(i);
    }
    case 6: {  // inside a frame
        const size_t i = frames.empty() ? 0 : rng() % frames.size();
        return frame_start(i) + inside(i);
    }
    default: return length == 0 ? 0 : static_cast<uint32_t>(rng() % (length + 1));
    }
}

size_t pick_count(std::mt19937_64 &rng)
{
    const uint32_t r = rng() % 100;
    if (r < 60) return 1 + rng() % 30;
    if (r < 92) return 31 + rng() % 400;
    return 431 + rng() % 3000;
}

// A file of the codec: mostly a few blocks to three chunks, now and then up
// to 25 chunks; a blank block between two stretches or an end marker at
// times.
kvxgen::File random_file(std::mt19937_64 &rng, uint8_t codec, size_t chunks)
{
    const size_t avgBytes = codec == 0 ? 41 : codec == 1 ? 33 : 19;
    const size_t blocks = chunks == 0 ? 1 + rng() % 60 : (chunks - 1) * kvxgen::kChunkBlocks + 1 + rng() % 490;
    const size_t frames = std::max<size_t>(1, blocks * kvxgen::kBlockDataSize / avgBytes);
    kvxgen::File f;
    const uint32_t seed = static_cast<uint32_t>(rng());
    const uint32_t shape = rng() % 8;
    f.tail = shape == 0 ? kvxgen::Tail::EndMarker : shape < 3 ? kvxgen::Tail::PadBlock : kvxgen::Tail::Short;
    if (shape == 3 && frames > 2) {
        f.segments = {kvxgen::random_segment(codec, frames / 2, seed), kvxgen::Segment::blank(rng() % 2 ? 0 : 0xFF),
                      kvxgen::random_segment(codec, frames - frames / 2, seed + 1)};
    } else {
        f.segments = {kvxgen::random_segment(codec, frames, seed)};
    }
    return f;
}

void run_sequence(uint64_t seed, Reach *run, bool verbose)
{
    std::mt19937_64 rng(seed);
    const uint8_t codec = static_cast<uint8_t>(rng() % 3);
    const uint32_t size = rng() % 100;
    const bool deep = rng() % 12 == 0;  // big inserts, small tables no longer rewritten: nested ones instead
    const size_t chunks = deep ? 1 + rng() % 2
                               : size < 45 ? 0 : size < 85 ? 1 + rng() % 3 : size < 98 ? 4 + rng() % 8 : 21 + rng() % 5;
    edit::set_rewrite_limit(deep ? 1 + static_cast<uint32_t>(rng() % 2) : 20);
    const size_t steps = chunks > 10 ? 4 : 6 + rng() % 8;
    std::ostringstream log;
    log << "seed " << seed << ": codec " << int(codec) << ", " << chunks << " chunks, rewrite limit "
        << edit::rewrite_limit();
    kvxgen::File file = random_file(rng, codec, chunks);
    // The folder's database knows large files by length and end time
    // alone: each file ends at a time of its own.
    char end[8];
    std::snprintf(end, sizeof end, "%02u%02u%02u", unsigned(seed / 3600 % 24), unsigned(seed / 60 % 60),
                  unsigned(seed % 60));
    file.header.endTime = end;
    Edit e(file, codec);
    log << ", " << e.model.frames.size() << " frames";
    if (verbose) std::printf("%s\n", log.str().c_str());
    SCOPED_TRACE(log.str());
    ASSERT_NO_FATAL_FAILURE(e.check());
    for (size_t step = 0; step < steps && !::testing::Test::HasFailure(); ++step) {
        uint32_t tablesBefore = 0, depth = 0, tables = 0;
        edit::tree_shape(&depth, &tablesBefore);
        std::ostringstream op;
        op << " | ";
        if (rng() % 4 == 0) {  // a mark between operations
            const uint32_t at = e.model.marks.empty() || rng() % 2 ? pick(rng, e)
                                                                    : e.model.marks[0] + 990 + rng() % 20;
            op << "mark+ " << at << " ";
            if (verbose) std::printf("%s\n", op.str().c_str());
            e.mark(at, true);
        }
        const uint32_t r = rng() % 100;
        if (r < 55 || deep) {
            const bool insert = r < 30 || deep;
            const uint32_t at = pick(rng, e);
            const size_t n = deep ? 2000 + rng() % 4000 : pick_count(rng);
            op << (insert ? "insert " : "overwrite ") << n << " at " << at;
            if (verbose) std::printf("%s\n", op.str().c_str());
            e.write(at, insert, n);
        } else if (r < 85) {
            uint32_t a = pick(rng, e), b = pick(rng, e);
            if (a > b && rng() % 8 != 0) std::swap(a, b);  // now and then reversed: refused
            op << "erase " << a << ".." << b;
            if (verbose) std::printf("%s\n", op.str().c_str());
            e.erase(a, b);
        } else if (!e.model.marks.empty() && rng() % 2) {
            const uint32_t at = e.model.marks[rng() % e.model.marks.size()] + (rng() % 4 == 0 ? 1 : 0);
            op << "mark- " << at;
            e.mark(at, false);
        } else {
            const uint32_t at = pick(rng, e);
            op << "mark+ " << at;
            e.mark(at, true);
        }
        log << op.str();
        SCOPED_TRACE("step " + std::to_string(step) + ": " + op.str());
        ASSERT_NO_FATAL_FAILURE(e.check());
        edit::tree_shape(&depth, &tables);
        run->maxDepth = std::max(run->maxDepth, depth);
        // An insert makes a new table for its chunk, or rewrites the small table that holds it.
        if (r < 30 || deep) (tables > tablesBefore ? run->children : run->rewrites) += 1;
    }
    if (::testing::Test::HasFailure()) {
        ADD_FAILURE() << "operations: " << log.str();
        return;
    }
    e.discard();
}

} // namespace

// KVX_EDIT_SEED=<n> replays one sequence, printing each operation before
// it runs; KVX_EDIT_SEQUENCES sets how many run, KVX_EDIT_FIRST the first seed.
TEST(EditEngine, RandomSequencesMatchTheModel)
{
    const char *one = std::getenv("KVX_EDIT_SEED");
    const char *count = std::getenv("KVX_EDIT_SEQUENCES");
    Reach run;
    if (one != nullptr) {
        std::setvbuf(stdout, nullptr, _IONBF, 0);  // all that ran shows, even after a crash
        run_sequence(std::strtoull(one, nullptr, 10), &run, true);
        edit::set_rewrite_limit(20);
        return;
    }
    const uint64_t sequences = count != nullptr ? std::strtoull(count, nullptr, 10) : 400;
    const char *from = std::getenv("KVX_EDIT_FIRST");
    const uint64_t first = from != nullptr ? std::strtoull(from, nullptr, 10) : 1;
    for (uint64_t seed = first; seed < first + sequences && !::testing::Test::HasFailure(); ++seed)
        run_sequence(seed, &run, false);
    edit::set_rewrite_limit(20);
    std::printf("deepest tree %u, %zu rewrites, %zu nested replacements\n", run.maxDepth, run.rewrites, run.children);
    if (sequences >= 400) {
        EXPECT_GE(run.maxDepth, 3u);
        EXPECT_GT(run.rewrites, 0u);
        EXPECT_GT(run.children, 0u);
    }
}

// ---- fixed cases ----------------------------------------------------------

namespace {

struct Op {
    char kind;       // i insert, o overwrite, e erase, m add mark, d delete mark
    uint32_t a, b;   // position (erase: start, end); b is the frame count for i and o
    uint32_t want;   // split time (i, o), start of the erased stretch (e), or result code (m, d, e refused)
};

struct Case {
    const char *name;
    uint8_t codec;
    size_t frames;
    bool quiet;  // noise and SID frames among them
    std::vector<Op> ops;
    uint32_t length;
    std::vector<uint32_t> marks;
};

} // namespace

TEST(EditEngine, FixedCases)
{
    std::vector<Op> sixteen;
    for (uint32_t i = 0; i < 17; ++i) sixteen.push_back({'m', 1000 + i * 1000, 0, i < 16 ? 0u : 525u});
    sixteen.push_back({'e', 0, 20016, 0});
    const Case cases[] = {
        // 834 SP frames: 20016 ms; 3 s of SP are 125 frames.
        {"overwrites drop the marks strictly inside", 0, 834, false,
         {{'m', 5000, 0, 0}, {'m', 8000, 0, 0}, {'m', 12000, 0, 0}, {'o', 3000, 125, 3000}, {'m', 9000, 0, 0},
          {'o', 9000, 125, 9000}},
         20016, {8000, 9000, 12000}},
        // Five chunks of full SP frames; 140 s and 160 s lie inside frames 5833 and 6666.
        {"erase 140 s to 160 s of five chunks", 0, 30800, false, {{'e', 140000, 160000, 139992}}, 719208, {}},
        {"two inserts in one chunk", 1, 3000, true, {{'i', 10000, 100, 9984}, {'i', 12000, 50, 12000}}, 75600, {}},
        // LP of 24-byte frames: block 500 begins with frame 10542, block 1000 with 21084.
        {"erase the second chunk whole", 2, 30000, false, {{'e', 316260, 632520, 316260}}, 583740, {}},
        {"erase everything, record again, overwrite past the end", 0, 500, false,
         {{'m', 3000, 0, 0}, {'e', 0, 12000, 0}, {'i', 0, 10, 0}, {'o', 120, 20, 120}}, 600, {}},
        {"erase keeps marks at its ends, moves those after", 0, 834, false,
         {{'m', 2000, 0, 0}, {'m', 6000, 0, 0}, {'m', 9000, 0, 0}, {'e', 4000, 6000, 3984}, {'e', 6984, 8000, 6984}},
         16992, {2000, 6000, 6984}},
        {"insert moves only the marks after the split", 2, 400, true,
         {{'m', 3000, 0, 0}, {'m', 6000, 0, 0}, {'i', 3000, 10, 3000}, {'m', 6800, 0, 525}, {'m', 5301, 0, 525}, {'m', 7300, 0, 0},
          {'d', 1234, 0, 526}, {'d', 3000, 0, 0}},
         12300, {6300, 7300}},
        {"overwrite running past the end of LP", 2, 334, true, {{'o', 8000, 167, 7980}}, 12990, {}},
        {"erase ranges cut, empty and reversed", 0, 834, false,
         {{'e', 5000, 5000, 518}, {'e', 6000, 5000, 518}, {'e', 30000, 40000, 518}, {'e', 20000, 30000, 19992}},
         19992, {}},
        {"insert past the end appends", 0, 500, false, {{'i', 99999, 3, 12000}}, 12072, {}},
        {"sixteen marks and no more", 0, 834, false, sixteen, 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Bytes> frames;
        for (size_t i = 0; i < c.frames; ++i)
            frames.push_back(c.codec >= 2 ? kvxgen::lp_active(static_cast<uint32_t>(i))
                                          : kvxgen::sp_full(static_cast<uint32_t>(i), c.codec == 1));
        kvxgen::File f;
        f.segments = {c.quiet ? kvxgen::random_segment(c.codec, c.frames, 11)
                              : kvxgen::Segment::audio(c.codec, std::move(frames))};
        Edit e(f, c.codec);
        for (const Op &op : c.ops) {
            SCOPED_TRACE(std::string(1, op.kind) + " " + std::to_string(op.a) + " " + std::to_string(op.b));
            uint32_t got = 0xFFFFFFFF;
            if (op.kind == 'i' || op.kind == 'o') got = e.write(op.a, op.kind == 'i', op.b);
            if (op.kind == 'e' && e.erase(op.a, op.b, &got) != 0) got = 518;
            if (op.kind == 'm' || op.kind == 'd') got = e.mark(op.a, op.kind == 'm');
            EXPECT_EQ(got, op.want);
            ASSERT_NO_FATAL_FAILURE(e.check());
        }
        EXPECT_EQ(e.model.length(), c.length);
        EXPECT_EQ(e.model.marks, c.marks);
        e.discard();
    }
}
