// Fuzz target: a write session on a generated file, driven by an operation
// script.  After every operation the edit tree must hold its invariants and
// the walker must yield the edited audio; on an undamaged file that audio,
// its length and the extended marks must be those of the reference model.
// Edit playback's source reads the same blocks as the walker, with the
// chunk times and the chunk of a time that their frame counts give.  The
// session ends by discarding it: the file is as it was and no file of the
// session is left in the folder.
//
// Input (all further bytes are operations, 5 bytes each):
//   byte 0  bits 0-1 codec byte of the file (0/1 SP, 1 with noise frames;
//           2/3 LP with SID frames), bits 2-3 chunks (0: a few blocks),
//           bits 4-5 tail (short, padded, end marker), bit 6 a blank block
//           between two stretches, bit 7 edit the active file (kind 2)
//           rather than the named one (kind 1)
//   byte 1  how far the last chunk is filled
//   byte 2  bits 0-1 rewrite limit (1, 2, 3, 20 chunks), the rest a seed
//   byte 3  bits 0-2 number of damaged bytes, each 3 bytes that follow:
//           block, what (0 frame count, 1 first-frame offset, 2 codec
//           byte, 3 a byte of the file header), value
// An operation: kind (bits 0-2: 0 insert, 1 overwrite, 2 erase, 3-4 add a
// mark, 5-7 delete one; bits 3-4 how the position is taken: scaled over the length and a
// little past it, on the frame grid, the length, past the length; bit 7 a
// delete misses the mark by 1 ms), a 16-bit position, a 16-bit count (frames
// written, the erase's other end, or which mark).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/state.h"
#include "edit/edit.h"
#include "format/header.h"
#include "format/stream.h"
#include "kvx.h"
#include "kvx_frames.h"
#include "kvx_gen.h"
#include "playback/edited.h"

namespace {

namespace edit = kvx::edit;
using kvxgen::Bytes;

uint32_t g_word = 0;

/* The folder of the edited file and the session's files, one per process;
 * plain buffers, so that the exit handler never sees a destroyed string. */
char g_folder[64];
char g_path[80];

void remove_folder()
{
    std::remove(g_path);
    rmdir(g_folder);
}

std::string folder()
{
    if (g_folder[0] == '\0') {
        const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::snprintf(g_folder, sizeof g_folder, "%s/kvx-edit-fuzz-%ld/", base,
                      static_cast<long>(getpid()));
        std::snprintf(g_path, sizeof g_path, "%sedited.kvx", g_folder);
        mkdir(g_folder, 0700);
        std::atexit(remove_folder);
    }
    return g_folder;
}

std::string file_path()
{
    folder();
    return g_path;
}

std::vector<std::string> leftovers()
{
    std::vector<std::string> names;
    DIR *dir = opendir(folder().c_str());
    if (dir == nullptr) return names;
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && folder() + name != file_path()) names.push_back(name);
    }
    closedir(dir);
    return names;
}

[[noreturn]] void fail(const char *what, const std::string &detail = std::string())
{
    std::fprintf(stderr, "edit_fuzz: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    for (const std::string &name : leftovers()) std::remove((folder() + name).c_str());
    remove_folder();
    std::abort();
}

bool collect(const uint8_t *block, void *user)
{
    Bytes *blocks = static_cast<Bytes *>(user);
    blocks->insert(blocks->end(), block, block + kvxgen::kBlockSize);
    return true;
}

/* The input, read from the front; zeros once it runs out. */
struct Reader {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    bool more() const { return at < size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint16_t word()
    {
        const uint16_t high = byte();
        return static_cast<uint16_t>(high << 8 | byte());
    }
};

kvxgen::File make_file(uint8_t shape, uint8_t fill, uint32_t seed)
{
    const uint8_t codec = shape & 3;
    const size_t chunks = (shape >> 2) & 3;
    const size_t avgBytes = codec == 0 ? 41 : codec == 1 ? 33 : 19;
    const size_t blocks = chunks == 0 ? 1 + fill % 60 : (chunks - 1) * kvxgen::kChunkBlocks + 1 + fill * 490u / 255u;
    const size_t frames = std::max<size_t>(1, blocks * kvxgen::kBlockDataSize / avgBytes);
    kvxgen::File f;
    const uint32_t tail = (shape >> 4) & 3;
    f.tail = tail == 1 ? kvxgen::Tail::PadBlock : tail == 2 ? kvxgen::Tail::EndMarker : kvxgen::Tail::Short;
    if ((shape & 0x40) && frames > 2) {
        f.segments = {kvxgen::random_segment(codec, frames / 2, seed),
                      kvxgen::Segment::blank(seed & 1 ? 0 : 0xFF, 1, codec),
                      kvxgen::random_segment(codec, frames - frames / 2, seed + 1)};
    } else {
        f.segments = {kvxgen::random_segment(codec, frames, seed)};
    }
    return f;
}

/* A generated file with its layout and model frames.  Making a file of
 * three chunks costs more than the operations on it, so the last ones made
 * are kept. */
struct Made {
    Bytes bytes;
    kvxgen::Layout layout;
    std::vector<kvxgen::Frame> frames;
};

const Made &made_file(uint8_t shape, uint8_t fill, uint32_t seed)
{
    static std::map<uint32_t, Made> kept;
    const uint32_t key = static_cast<uint32_t>(shape & 0x7F) << 16 | static_cast<uint32_t>(fill) << 8 | (seed & 0xFF);
    const auto found = kept.find(key);
    if (found != kept.end()) return found->second;
    if (kept.size() >= 32) kept.clear();
    Made &m = kept[key];
    m.bytes = kvxgen::build(make_file(shape, fill, 1000u + seed), &m.layout);
    for (const kvxgen::FrameInfo &f : m.layout.frames)
        if (!f.afterEnd) m.frames.push_back({f.bytes, f.codecByte, f.durationMs});
    return m;
}

Bytes damage(Bytes bytes, const kvxgen::Layout &layout, Reader &in, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        const uint8_t where = in.byte();
        const size_t block = where * layout.blocks.size() / 256;
        const uint8_t what = in.byte() & 3;
        const uint8_t value = in.byte();
        if (what == 0) bytes = kvxgen::with_frame_count(bytes, layout, block, value);
        else if (what == 1)
            bytes = kvxgen::with_first_frame_offset(bytes, layout, block, static_cast<uint16_t>(value * 2));
        else if (what == 2) bytes[layout.blocks[block].fileOffset + 4] = value;
        else bytes[where * 4u % layout.headerBytes] = value;
    }
    return bytes;
}

class Run {
public:
    Run(WriteHandle *handle, bool checked, kvxgen::EditModel model)
        : handle_(handle), checked_(checked), model_(std::move(model))
    {
    }

    void write(uint32_t at, bool insert, size_t n)
    {
        uint8_t mode = 0xFF;
        const uint32_t r = KVXSetWritePointer(handle_, at, &mode, insert ? 1 : 0, 0);
        if (r != 0) {
            if (checked_) fail("KVXSetWritePointer refused", std::to_string(r));
            return;
        }
        std::vector<kvxgen::Frame> add;
        for (size_t i = 0; i < n; ++i) {
            ++serial_;
            Bytes b = mode >= 2 ? kvxgen::lp_active(serial_) : kvxgen::sp_full(serial_, true);
            add.push_back({b, mode, kvxgen::frame_ms(mode)});
        }
        const uint32_t split = !checked_ ? 0 : insert ? model_.insert(at, add) : model_.overwrite(at, add);
        WriteStatus status{};
        for (size_t i = 0; i < n; ++i) {
            const uint32_t w = KVXWriteFile(handle_, add[i].bytes.data(), i + 1 == n, &status);
            if (w != 0) {
                if (checked_) fail("KVXWriteFile refused", std::to_string(w) + " at frame " + std::to_string(i));
                return;
            }
            if (checked_ && i == 0 && n > 1 && status.position != split)
                fail("write began elsewhere", std::to_string(status.position) + " for " + std::to_string(split));
        }
        if (checked_ && status.length != model_.length())
            fail("write reported a length", std::to_string(status.length) + " for " + std::to_string(model_.length()));
    }

    void erase(uint32_t a, uint32_t b)
    {
        EraseResult out{0xFFFFFFFF, 0xFFFFFFFF};
        const uint32_t r = KVXPartialErase(handle_, a, b, &out);
        if (!checked_) return;
        uint32_t want = 0;
        const uint32_t code = model_.erase(a, b, &want);
        if (r != code) fail("erase answered", std::to_string(r) + " for " + std::to_string(code));
        if (r == 0 && (out.position != want || out.length != model_.length()))
            fail("erase reported", std::to_string(out.position) + "/" + std::to_string(out.length) + " for " +
                                       std::to_string(want) + "/" + std::to_string(model_.length()));
    }

    void mark(uint32_t ms, bool add)
    {
        const uint32_t r = add ? KVXWriteExtIndexMark(static_cast<int32_t>(ms)) : KVXDeleteExtIndexMark(ms);
        if (!checked_) return;
        const uint32_t code = add ? model_.add_mark(ms) : model_.delete_mark(ms);
        if (r != code) fail(add ? "adding a mark answered" : "deleting a mark answered",
                            std::to_string(r) + " for " + std::to_string(code) + " at " + std::to_string(ms));
    }

    /* The tree, the walked audio and the marks after an operation.  The
     * audio is compared frame by frame when `frames` is set or it is short
     * (reading every frame back is most of the time of an input). */
    void check(bool frames)
    {
        const std::string fault = edit::check_tree();
        if (!fault.empty()) fail("tree", fault);
        blocks_.clear();
        const uint32_t walked = edit::walk(collect, &blocks_);
        if (walked != 0 && checked_) fail("walk failed", std::to_string(walked));
        if (walked != 0) return;
        check_source();
        const size_t count = blocks_.size() / kvxgen::kBlockSize;
        // What the blocks' counts say, the way chunk times are made.
        uint64_t counted = 0;
        for (size_t b = 0; b < count; ++b) {
            const uint8_t *block = blocks_.data() + b * kvxgen::kBlockSize;
            if (block[2] != 0xAA && block[2] != 0xFF) counted += block[2] * kvxgen::frame_ms(block[4]);
        }
        if (!checked_) return;
        if (counted != edit::length_ms())
            fail("block counts and length differ", std::to_string(counted) + " / " + std::to_string(edit::length_ms()));
        if (edit::length_ms() != model_.length())
            fail("length", std::to_string(edit::length_ms()) + " for " + std::to_string(model_.length()));
        uint32_t positions[16];
        uint32_t marks = 99;
        if (KVXGetExtIndexMark(positions, &marks) != 0) fail("marks cannot be read");
        if (std::vector<uint32_t>(positions, positions + std::min<uint32_t>(marks, 16)) != model_.marks)
            fail("marks differ");
        if (!frames && model_.frames.size() > 3000) return;
        const kvxgen::BlockFrames got = kvxgen::read_blocks(blocks_.data(), count);
        if (!got.clean) fail("walked blocks do not read back cleanly");
        if (got.frames.size() != model_.frames.size())
            fail("frame count", std::to_string(got.frames.size()) + " for " + std::to_string(model_.frames.size()));
        for (size_t i = 0; i < got.frames.size(); ++i)
            if (got.frames[i] != model_.frames[i]) fail("frames differ from frame", std::to_string(i));
    }

    /* The edited audio as edit playback reads it: the walker's blocks, read
     * chunk by chunk and across chunks and runs at odd offsets, and made
     * anew whenever they changed; chunk k (1-based) ends after the times of
     * its blocks and those before, and holds the first block whose end
     * passes a time. */
    void check_source()
    {
        const kvx::StreamSource *source = nullptr;
        bool renewed = false;
        const uint32_t made = kvx::playback::edited_source(&source, &renewed);
        if (made != 0) fail("edited source refused", std::to_string(made));
        if (!renewed && blocks_ != source_blocks_) fail("the edited audio changed but its source was kept");
        source_blocks_ = blocks_;
        const uint64_t total = blocks_.size();
        const uint32_t piece = kvxgen::kChunkBytes;
        // Filled with a pattern: a cut-off last block must read as zeros.
        Bytes got(total + piece, 0xA5);
        for (uint64_t at = 0;; at += piece) {
            uint32_t n = 0;
            if (!source->read(at, got.data() + at, piece, &n)) fail("source read failed at", std::to_string(at));
            if (n != std::min<uint64_t>(piece, total - std::min(at, total)))
                fail("source read short at", std::to_string(at) + ": " + std::to_string(n));
            if (n < piece) break;
        }
        if (!std::equal(blocks_.begin(), blocks_.end(), got.begin())) fail("source reads other blocks than the walk");
        const uint64_t odd[][2] = {
            {1, 1000}, {511, 513}, {total / 2 + 3, piece + 17}, {total - std::min<uint64_t>(total, 7), 100}};
        for (const auto &o : odd) {
            uint32_t n = 0;
            Bytes part(o[1], 0xA5);
            if (!source->read(o[0], part.data(), static_cast<uint32_t>(o[1]), &n))
                fail("source read failed at", std::to_string(o[0]));
            const uint64_t want = std::min(o[1], total - std::min(o[0], total));
            if (n != want || !std::equal(part.begin(), part.begin() + n, blocks_.begin() + o[0]))
                fail("source read differs at", std::to_string(o[0]) + ": " + std::to_string(n));
        }
        // Running end times of the blocks, and the chunks' ends from them.
        const size_t count = blocks_.size() / kvxgen::kBlockSize;
        std::vector<uint32_t> ends(count);
        uint32_t t = 0;
        for (size_t b = 0; b < count; ++b) ends[b] = t += kvx::hdr::block_ms(blocks_.data() + b * kvxgen::kBlockSize);
        const uint32_t chunks = static_cast<uint32_t>((count + kvxgen::kChunkBlocks - 1) / kvxgen::kChunkBlocks);
        if (source->chunk_count() != chunks)
            fail("source chunk count", std::to_string(source->chunk_count()) + " for " + std::to_string(chunks));
        std::vector<uint32_t> times = {0, t / 3, t / 2 + 1, t - std::min(t, 1u), t, t + 24};
        for (uint32_t c = 0; c < chunks; ++c) {
            const uint32_t end = ends[std::min<size_t>(count, (c + 1) * kvxgen::kChunkBlocks) - 1];
            if (source->chunk_end(c) != end)
                fail("source chunk end", std::to_string(c) + ": " + std::to_string(source->chunk_end(c)) + " for " +
                                             std::to_string(end));
            times.push_back(end - std::min(end, 1u));
            times.push_back(end);
        }
        for (uint32_t ms : times) {
            const size_t block = static_cast<size_t>(std::upper_bound(ends.begin(), ends.end(), ms) - ends.begin());
            const uint32_t want = block < count ? static_cast<uint32_t>(block / kvxgen::kChunkBlocks) + 1 : chunks;
            if (source->chunk_of(ms) != want)
                fail("source chunk of", std::to_string(ms) + " ms: " + std::to_string(source->chunk_of(ms)) + " for " +
                                            std::to_string(want));
        }
    }

private:
    WriteHandle *handle_;
    bool checked_;
    kvxgen::EditModel model_;
    Bytes blocks_;
    Bytes source_blocks_; // what the source held when last asked
    uint32_t serial_ = 0x5000;
};

/* A position from the script, relative to the edited length. */
uint32_t position(uint8_t how, uint16_t p, uint32_t length, uint32_t frameMs)
{
    const uint64_t span = length + length / 8 + 1000;
    const uint32_t scaled = static_cast<uint32_t>(span * p >> 16);
    switch (how & 3) {
    case 0: return scaled;
    case 1: return scaled - scaled % frameMs;
    case 2: return length;
    default: return length + p % 2000;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4) return 0;
    Reader in{data, size};
    const uint8_t shape = in.byte();
    const uint8_t fill = in.byte();
    const uint8_t tuning = in.byte();
    const size_t damaged = in.byte() & 7;
    const uint32_t limits[4] = {1, 2, 3, 20};

    const Made &made = made_file(shape, fill, tuning >> 2);
    const kvxgen::Layout &layout = made.layout;
    // Tables of files of three chunks or more are kept by the folder's
    // management data under the header's length and end time: every input
    // gets an end time of its own, or a damaged file's table would stand in
    // for a later file whose header says the same.
    static uint32_t serial = 0;
    Bytes unique = made.bytes;
    const uint32_t second = serial++ % 86400;
    std::snprintf(reinterpret_cast<char *>(unique.data()) + 56, 7, "%02u%02u%02u", second / 3600, second / 60 % 60,
                  second % 60);
    unique[62] = made.bytes[62]; // the terminator went over the next field
    const Bytes bytes = damage(unique, layout, in, damaged);
    if (!kvxgen::write(file_path(), bytes)) fail("cannot write the file");

    if (kvx::allocate_buffers() != 0) fail("no buffers");
    kvx::g_folder.mode = 0;
    kvx::g_decoder.control = &g_word;
    g_word = 0;
    kvx::g_file.name[0] = '\0';
    if (KVXActiveFile(file_path().c_str(), nullptr, nullptr) != KVX_OK) return 0;
    edit::set_rewrite_limit(limits[tuning & 3]);
    uint32_t result = 0;
    const bool active = (shape & 0x80) != 0;
    WriteHandle *handle = KVXCreateFile(active ? nullptr : file_path().c_str(), active ? 2 : 1, &result);
    if (handle == nullptr) {
        if (damaged == 0) fail("session refused", std::to_string(result));
        return 0;
    }

    kvxgen::EditModel model;
    model.frames = made.frames;
    // KVX_EDIT_FUZZ_TRACE=1 tells what a reproducer does.
    const bool trace = std::getenv("KVX_EDIT_FUZZ_TRACE") != nullptr;
    if (trace)
        std::fprintf(stderr, "file: codec %d, %zu blocks, %zu damaged bytes, rewrite limit %u, kind %d, %u ms\n",
                     shape & 3, layout.blocks.size(), damaged, edit::rewrite_limit(), active ? 2 : 1,
                     edit::length_ms());
    Run run(handle, damaged == 0, model);
    run.check(false);
    const uint32_t frameMs = (shape & 3) >= 2 ? 30 : 24;
    for (int ops = 0; in.more() && ops < 24; ++ops) {
        const uint8_t kind = in.byte();
        const uint16_t p = in.word();
        const uint16_t q = in.word();
        const uint32_t length = edit::length_ms();
        const uint32_t at = position(kind >> 3, p, length, frameMs);
        switch (kind & 7) {
        case 0:
        case 1: run.write(at, (kind & 7) == 0, 1 + q % 6000); break;
        case 2: run.erase(at, position(0, q, length, frameMs)); break;
        case 3:
        case 4: run.mark(at, true); break;
        default: {
            uint32_t positions[16];
            uint32_t marks = 0;
            if (KVXGetExtIndexMark(positions, &marks) != 0 || marks == 0) break;
            run.mark(positions[q % std::min<uint32_t>(marks, 16)] + (kind >> 7), false);
        }
        }
        if (trace) {
            static const char *const names[8] = {"insert", "overwrite", "erase", "mark+",
                                                 "mark+",  "mark-",     "mark-", "mark-"};
            uint32_t depth = 0, tables = 0;
            edit::tree_shape(&depth, &tables);
            std::fprintf(stderr, "%s at %u, count %u: length %u, depth %u, %u tables\n", names[kind & 7], at, q,
                         edit::length_ms(), depth, tables);
        }
        run.check(!in.more() || ops == 23);
    }

    if (edit::discard_session(handle) != 0) fail("discard refused");
    edit::set_rewrite_limit(20);
    const std::vector<std::string> left = leftovers();
    for (const std::string &name : left) std::remove((folder() + name).c_str());
    if (!left.empty()) fail("files left behind", left.front());
    FILE *file = std::fopen(file_path().c_str(), "rb");
    Bytes after(bytes.size() + 1);
    const size_t got = file != nullptr ? std::fread(after.data(), 1, after.size(), file) : 0;
    if (file != nullptr) std::fclose(file);
    if (got != bytes.size() || !std::equal(bytes.begin(), bytes.end(), after.begin())) fail("the edited file changed");
    return 0;
}
