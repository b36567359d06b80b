/*
 * The editing commands: cut, insert, overwrite and cat.
 *
 * Each runs one write session of the library and commits it with
 * KVXCloseFileEx.  Whatever fails on the way, the session is discarded, so
 * the edited file, and a file named by -o, stay as they were.
 *
 * The frames to insert are read here from the source's blocks: the library
 * hands out decoded audio only.  A session takes whole frames of one size
 * (41 bytes SP, 24 LP) in the mode of the file it writes, so a source is
 * copied frame for frame only when it holds full frames of that mode.  SP
 * noise frames (9 bytes) and LP silence frames (4 bytes) cannot be handed
 * over, and the full SP frames of speech-flag mode lay out their first 52
 * bits otherwise than plain SP frames, which is what an edit of an SP file
 * writes.  Such sources are refused; nothing is padded or coded anew.
 *
 * A WAV source of insert and overwrite is speech, coded here by the SP
 * encoder into the plain SP frames an edit of an SP file writes (its
 * --from and --to count in its own samples); an LP file takes none.
 */
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "common.h"
#include "kvx.h"
#ifdef KVX_HAVE_ENCODE
#include "encode.h"
#endif

namespace {

constexpr size_t kBlockBytes = 512;
constexpr size_t kBlockHeaderBytes = 6;
constexpr uint64_t kNoEnd = ~0ull;

/* Frame kinds, numbered as the session's modes. */
enum Mode : unsigned { kPlainSp = 0, kFlagSp = 1, kLp = 2 };

const char *mode_name(unsigned mode)
{
    switch (mode) {
    case kPlainSp: return "plain SP";
    case kFlagSp: return "SP in speech-flag mode";
    default: return "LP";
    }
}

unsigned mode_of_codec(uint8_t codec)
{
    return codec >= 2 ? static_cast<unsigned>(kLp) : codec;
}

/* One stored block; the last one of a file may be short, its missing
 * bytes read as 0. */
struct Block {
    uint8_t bytes[kBlockBytes];
    size_t stored = 0;

    /* Byte k as the frames see it: SP blocks hold their 16-bit pairs
     * exchanged, counted from the block's start. */
    uint8_t at(size_t k) const { return bytes[4] <= 1 ? bytes[k ^ 1] : bytes[k]; }
    /* Bytes whose logical place is below this are stored: SP whole pairs. */
    size_t usable() const { return bytes[4] <= 1 ? stored & ~static_cast<size_t>(1) : stored; }
    size_t first_offset() const { return static_cast<size_t>(bytes[0] | bytes[1] << 8) >> 7; }
    bool carries_frames() const
    {
        return stored >= kBlockHeaderBytes && bytes[2] != 0 && bytes[2] < 0x80 && bytes[4] <= 3 &&
               first_offset() >= kBlockHeaderBytes;
    }
};

bool read_block(std::FILE *file, Block *block)
{
    block->stored = std::fread(block->bytes, 1, kBlockBytes, file);
    std::memset(block->bytes + block->stored, 0, kBlockBytes - block->stored);
    return block->stored != 0;
}

size_t frame_size(uint8_t codec, uint8_t first)
{
    if (codec >= 2) return (first & 0x02) ? 4 : 24;
    return (codec & 1) && !(first & 0x80) ? 9 : 41;
}

/* The frames of a source's stretch, as far as a session can take them. */
struct Source {
    std::string path;
    uint64_t lengthMs = 0;   /* of all its frames read */
    unsigned modes = 0;      /* bit 1 << Mode for each kind among the chosen frames */
    size_t frames = 0;       /* chosen frames */
    uint64_t chosenMs = 0;
    size_t shortFrames = 0;  /* noise or silence frames among them */
    uint64_t firstShortMs = 0;
    std::vector<uint8_t> bytes; /* the chosen full frames, one after another */
    long brokenBlock = -1;   /* the audio block where the frame stream breaks off */
    uint32_t marks[16];
    uint32_t markCount = 0;
};

/* Reads the source's frames and keeps those whose end lies in (from, to]:
 * the stretch with both ends taken back to the start of the frame that
 * holds them, as the library cuts.  Empty, or what went wrong. */
std::string read_source(uint64_t from, uint64_t to, Source *src)
{
    std::FILE *file = std::fopen(src->path.c_str(), "rb");
    if (file == nullptr) return std::string("cannot be opened: ") + std::strerror(errno);
    const int headerBlocks = std::fgetc(file);
    if ((headerBlocks != 1 && headerBlocks != 2) || std::fseek(file, headerBlocks * 512L, SEEK_SET) != 0) {
        std::fclose(file);
        return "not a KVX file";
    }
    Block blocks[2];
    Block *cur = &blocks[0], *next = &blocks[1];
    bool have = read_block(file, cur);
    uint64_t t = 0;
    for (long index = 0; have && src->brokenBlock < 0; ++index) {
        const bool haveNext = read_block(file, next);
        if (cur->carries_frames()) {
            const uint8_t codec = cur->bytes[4];
            const unsigned mode = mode_of_codec(codec);
            const uint64_t ms = mode == kLp ? 30 : 24;
            size_t p = cur->first_offset();
            for (unsigned i = 0; i < cur->bytes[2]; ++i) {
                if (p >= cur->usable()) {
                    src->brokenBlock = index;
                    break;
                }
                const size_t size = frame_size(codec, cur->at(p));
                /* A frame may run on into the next block, its rest there
                 * before that block's first frame. */
                const size_t rest = p + size > kBlockBytes ? p + size - kBlockBytes : 0;
                const bool whole = rest == 0 ? p + size <= cur->usable()
                                             : haveNext && next->usable() >= kBlockHeaderBytes + rest &&
                                                   (!next->carries_frames() ||
                                                    next->first_offset() >= kBlockHeaderBytes + rest);
                if (!whole) {
                    src->brokenBlock = index;
                    break;
                }
                t += ms;
                if (t > from && t <= to) {
                    src->modes |= 1u << mode;
                    ++src->frames;
                    src->chosenMs += ms;
                    if (size < 24) {
                        if (src->shortFrames++ == 0) src->firstShortMs = t - ms;
                    } else {
                        for (size_t k = p; k < p + size - rest; ++k) src->bytes.push_back(cur->at(k));
                        for (size_t k = 0; k < rest; ++k) src->bytes.push_back(next->at(kBlockHeaderBytes + k));
                    }
                }
                p += size;
            }
        }
        std::swap(cur, next);
        have = haveNext;
    }
    const bool readError = std::ferror(file) != 0;
    std::fclose(file);
    if (readError) return "a read failed";
    src->lengthMs = t;
    /* Damage behind the stretch does not matter. */
    if (src->brokenBlock >= 0 && t < to) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "its audio breaks off in block %ld (a frame runs past the stored data) at %s", src->brokenBlock,
                      format_time(static_cast<uint32_t>(t)).c_str());
        return text;
    }
    return "";
}

/* Whether the file is a WAV file (RIFF, RIFX or RF64 of WAVE). */
bool is_wav(const std::string &path)
{
    char head[12] = {};
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    const size_t got = std::fread(head, 1, sizeof head, file);
    std::fclose(file);
    return got == sizeof head &&
           (!std::memcmp(head, "RIFF", 4) || !std::memcmp(head, "RIFX", 4) || !std::memcmp(head, "RF64", 4)) &&
           !std::memcmp(head + 8, "WAVE", 4);
}

/* A WAV source's speech from `from` to `to` (ms), mixed to mono at 12 kHz,
 * in *speech; empty, or what went wrong. */
std::string read_wav_source(const Source &src, uint64_t from, uint64_t to, std::vector<int16_t> *speech)
{
#ifdef KVX_HAVE_ENCODE
    const std::string problem = read_speech(src.path, speech);
    if (!problem.empty()) return problem;
    const uint64_t total = speech->size(), first = std::min(total, from * 12), last = std::min(total, to == kNoEnd ? total : to * 12);
    if (first >= last) {
        char text[128];
        std::snprintf(text, sizeof text, "no speech from %s to %s (its length is %s)", format_time(static_cast<uint32_t>(from)).c_str(),
                      to == kNoEnd ? "the end" : format_time(static_cast<uint32_t>(to)).c_str(),
                      format_time(static_cast<uint32_t>(total / 12)).c_str());
        return text;
    }
    speech->erase(speech->begin() + static_cast<std::ptrdiff_t>(last), speech->end());
    speech->erase(speech->begin(), speech->begin() + static_cast<std::ptrdiff_t>(first));
    return "";
#else
    (void)src, (void)from, (void)to, (void)speech;
    return "a WAV source needs a kvx built with libsndfile and libsoxr, which code speech";
#endif
}

/* The WAV source's speech coded as the source's frames, plain SP as the
 * session writes them; empty, or why the file takes none. */
std::string code_wav_source(const std::vector<int16_t> &speech, unsigned mode, const std::string &target, Source *src)
{
    if (mode == kLp)
        return src->path + " is speech to be coded as SP, " + target + " takes LP: WAV sources go into SP files only";
#ifdef KVX_HAVE_ENCODE
    src->frames = encode_speech(speech, false, &src->bytes);
    src->modes = 1u << mode;
    src->chosenMs = src->frames * 24;
#else
    (void)speech;
#endif
    return "";
}

/* Why the session cannot take the source's frames, or empty. */
std::string refusal(const Source &src, unsigned mode, const std::string &target)
{
    const unsigned sp = 1u << kPlainSp | 1u << kFlagSp, lp = 1u << kLp;
    const bool wantLp = mode == kLp;
    if ((src.modes & sp) && (src.modes & lp)) return src.path + " holds both SP and LP frames there";
    if (src.modes & (wantLp ? sp : lp))
        return src.path + " is " + (wantLp ? "SP" : "LP") + ", " + target + " takes " + (wantLp ? "LP" : "SP") +
               ": another codec";
    if (!wantLp && src.modes != (1u << mode))
        return src.path + " is " + (src.modes == sp ? "SP of both modes" : mode_name(mode ^ 1)) + ", " + target +
               " takes " + mode_name(mode) + " frames, whose bits are laid out otherwise";
    if (src.shortFrames != 0) {
        char text[240];
        std::snprintf(text, sizeof text,
                      "%s has %zu %s (the first at %s); a write session takes full %s frames only",
                      src.path.c_str(), src.shortFrames,
                      wantLp ? "silence frames of 4 bytes" : "noise frames of 9 bytes",
                      format_time(static_cast<uint32_t>(src.firstShortMs)).c_str(),
                      wantLp ? "24-byte LP" : "41-byte SP");
        return text;
    }
    return "";
}

/* Ends the session without keeping anything. */
int give_up(WriteHandle *h, const std::string &why)
{
    const uint32_t discarded = KVXCloseFileEx(h, "", 1);
    std::fprintf(stderr, "kvx: %s; nothing was changed\n", why.c_str());
    if (discarded != KVX_OK) fail("the write session could not be discarded", discarded);
    return 1;
}

int give_up(WriteHandle *h, const std::string &what, uint32_t code)
{
    char text[32];
    std::snprintf(text, sizeof text, " (result %u)", code);
    return give_up(h, what + ": " + describe_result(code) + text);
}

/* Commits to `out` (empty: the session's own file) and reports the result's
 * length, as the library reads it from the new file. */
int commit(WriteHandle *h, const std::string &own, const std::string &out, const std::string &done)
{
    show_progress(true);
    const uint32_t result = KVXCloseFileEx(h, out.c_str(), 0);
    show_progress(false);
    const std::string target = out.empty() ? own : out;
    if (result != KVX_OK) return give_up(h, target, result);
    uint32_t length = 0;
    const uint32_t opened = activate(target, &length);
    if (opened != KVX_OK) return fail(target + " was written but cannot be opened", opened);
    std::printf("%s: %s; length %s (%u ms)\n", target.c_str(), done.c_str(), format_time(length).c_str(), length);
    return 0;
}

/* Writes the source's frames as one segment from the write position set.
 * 0 or the result of the call that failed; *status as the last call left it. */
uint32_t write_frames(WriteHandle *h, const Source &src, unsigned mode, WriteStatus *status)
{
    const size_t size = mode == kLp ? 24 : 41;
    for (size_t i = 0; i < src.frames; ++i) {
        const uint32_t result = KVXWriteFile(h, src.bytes.data() + i * size, i + 1 == src.frames, status);
        if (result != KVX_OK) return result;
    }
    return 0;
}

/* What the editing commands are given. */
struct EditArgs {
    std::string file;
    uint32_t start = 0, end = 0; /* cut */
    uint32_t at = 0;             /* insert, overwrite */
    std::string source;
    uint32_t from = 0, to = 0;
    bool haveTo = false;
    std::vector<std::string> parts; /* cat */
    std::string out;
};

int command_cut(const EditArgs &args)
{
    const uint32_t start = args.start, end = args.end;
    const std::string &out = args.out;
    const std::string &file = args.file;
    uint32_t before = 0;
    uint32_t result = activate(file, &before);
    if (result != KVX_OK) return fail(file, result);
    WriteHandle *h = KVXCreateFile(file.c_str(), 1, &result);
    if (h == nullptr) return fail(file, result);
    EraseResult erased{};
    result = KVXPartialErase(h, start, end, &erased);
    if (result != KVX_OK) return give_up(h, file, result);
    const uint32_t gone = before - erased.length;
    return commit(h, file, out,
                  "erased " + format_time(erased.position) + " to " + format_time(erased.position + gone));
}

int command_insert(const EditArgs &args, bool insert)
{
    const std::string &file = args.file, &out = args.out;
    const uint32_t at = args.at, from = args.from, to = args.to;
    const bool haveTo = args.haveTo;

    /* The source first: the session, once open, keeps its file active. */
    Source src;
    src.path = args.source;
    const bool wav = is_wav(src.path);
    std::vector<int16_t> speech;
    uint32_t result = KVX_OK;
    if (wav) {
        const std::string problem = read_wav_source(src, from, haveTo ? to : kNoEnd, &speech);
        if (!problem.empty()) {
            std::fprintf(stderr, "kvx: %s: %s\n", src.path.c_str(), problem.c_str());
            return 1;
        }
    } else {
        uint32_t sourceMs = 0;
        result = activate(src.path, &sourceMs);
        if (result != KVX_OK) return fail(src.path, result);
        const std::string problem = read_source(from, haveTo ? to : kNoEnd, &src);
        if (!problem.empty()) {
            std::fprintf(stderr, "kvx: %s: %s\n", src.path.c_str(), problem.c_str());
            return 1;
        }
    }
    if (!wav && src.frames == 0) {
        std::fprintf(stderr, "kvx: %s: no frames from %s to %s (its length is %s)\n", src.path.c_str(),
                     format_time(from).c_str(), haveTo ? format_time(to).c_str() : "the end",
                     format_time(static_cast<uint32_t>(src.lengthMs)).c_str());
        return 1;
    }

    uint32_t length = 0;
    result = activate(file, &length);
    if (result != KVX_OK) return fail(file, result);
    if (at > length) {
        std::fprintf(stderr, "kvx: %s: %s lies past its end (%s)\n", file.c_str(), format_time(at).c_str(),
                     format_time(length).c_str());
        return 1;
    }
    WriteHandle *h = KVXCreateFile(file.c_str(), 1, &result);
    if (h == nullptr) return fail(file, result);
    uint8_t mode = 0;
    result = KVXSetWritePointer(h, at, &mode, insert ? 1 : 0, 0);
    if (result != KVX_OK) return give_up(h, file, result);
    const std::string refused = wav ? code_wav_source(speech, mode, file, &src) : refusal(src, mode, file);
    if (!refused.empty()) return give_up(h, refused);
    WriteStatus status{};
    result = write_frames(h, src, mode, &status);
    if (result != KVX_OK) return give_up(h, file, result);
    const uint32_t split = status.position - static_cast<uint32_t>(src.chosenMs);
    return commit(h, file, out,
                  std::string(insert ? "inserted " : "overwrote ") + format_time(split) + " to " +
                      format_time(status.position) + (insert ? " from " : " with ") + src.path);
}

int command_cat(const EditArgs &args)
{
    const std::string &out = args.out;
    std::vector<Source> parts(args.parts.size());
    for (size_t i = 0; i < parts.size(); ++i) parts[i].path = args.parts[i];

    /* Every part read whole, with its marks, before the session opens. */
    unsigned mode = kPlainSp;
    const Source *first = nullptr;
    for (Source &src : parts) {
        uint32_t length = 0;
        uint32_t result = activate(src.path, &length);
        if (result != KVX_OK) return fail(src.path, result);
        result = KVXGetExtIndexMark(src.marks, &src.markCount);
        if (result == KVX_ERR_NOT_EXTENDED) result = KVXGetIndexMark(src.marks, &src.markCount);
        if (result != KVX_OK) return fail(src.path + ": its marks", result);
        const std::string problem = read_source(0, kNoEnd, &src);
        if (!problem.empty()) {
            std::fprintf(stderr, "kvx: %s: %s\n", src.path.c_str(), problem.c_str());
            return 1;
        }
        if (src.frames == 0) continue;
        if (first == nullptr) {
            first = &src;
            mode = src.modes & (1u << kLp) ? kLp : src.modes & (1u << kFlagSp) ? kFlagSp : kPlainSp;
        }
        const std::string refused = refusal(src, mode, "the joined file (as " + first->path + ")");
        if (!refused.empty()) {
            std::fprintf(stderr, "kvx: %s; nothing was written\n", refused.c_str());
            return 1;
        }
    }

    uint32_t result = 0;
    WriteHandle *h = KVXCreateFile(out.c_str(), 0, &result);
    if (h == nullptr) return fail(out, result);
    uint32_t length = 0;
    uint32_t marks = 0;
    for (const Source &src : parts) {
        const uint32_t offset = length;
        if (src.frames != 0) {
            uint8_t m = static_cast<uint8_t>(mode);
            result = KVXSetWritePointer(h, length, &m, 1, 0);
            WriteStatus status{};
            if (result == KVX_OK) result = write_frames(h, src, mode, &status);
            if (result != KVX_OK) return give_up(h, out + " (writing " + src.path + ")", result);
            length = status.length;
        }
        /* The part's marks at their new times, between the segments. */
        for (uint32_t i = 0; i < src.markCount; ++i) {
            const uint64_t at = static_cast<uint64_t>(offset) + src.marks[i];
            result = at <= 0x7FFFFFFFu ? KVXWriteExtIndexMark(static_cast<int32_t>(at)) : static_cast<uint32_t>(KVX_ERR_MARKS_FULL);
            if (result != KVX_OK)
                return give_up(h, out + ": the mark of " + src.path + " at " + format_time(src.marks[i]) +
                                      " cannot be kept at " + format_time(static_cast<uint32_t>(at)),
                               result);
            ++marks;
        }
    }
    char done[64];
    std::snprintf(done, sizeof done, "joined %zu file%s, %u mark%s", parts.size(), parts.size() == 1 ? "" : "s", marks,
                  marks == 1 ? "" : "s");
    return commit(h, out, "", done);
}

} // namespace

void add_edit_commands(CLI::App &tool)
{
    auto args = std::make_shared<EditArgs>();
    auto self = std::make_shared<CLI::App *>(nullptr);
    const CLI::Validator not_empty([](std::string &text) { return text.empty() ? "an empty name" : ""; }, "");
    const char *const out_about = "write the result there and leave FILE as it is";

    CLI::App *cut = add_command(tool, "cut", "erase a stretch", [args, self]() {
        if (args->start >= args->end) return usage_error(*self, "START must lie before END");
        return command_cut(*args);
    });
    *self = cut;
    cut->add_option("FILE", args->file, "the recording")->required()->check(not_empty);
    add_time(cut, "START", &args->start, "the stretch's start")->required();
    add_time(cut, "END", &args->end, "its end")->required();
    cut->add_option("-o", args->out, out_about)->check(not_empty)->type_name("OUT");
    cut->footer("Both ends are taken back to the start of the frame that holds them.");

    for (const bool insert : {true, false}) {
        auto me = std::make_shared<CLI::App *>(nullptr);
        CLI::App *command = add_command(
            tool, insert ? "insert" : "overwrite",
            insert ? "insert the frames of another recording" : "overwrite with the frames of another recording",
            [args, me, insert]() {
                if (args->haveTo && args->to <= args->from) return usage_error(*me, "--from must lie before --to");
                return command_insert(*args, insert);
            });
        *me = command;
        command->add_option("FILE", args->file, "the recording to change")->required()->check(not_empty);
        add_time(command, "AT", &args->at, "where the new frames go")->required();
        command->add_option("SOURCE", args->source, "the recording whose frames are taken, or a WAV file of speech")
            ->required()
            ->check(not_empty);
        add_time(command, "--from", &args->from, "take SOURCE's frames from here");
        add_time(command, "--to", &args->to, "up to here")->each([args](const std::string &) { args->haveTo = true; });
        command->add_option("-o", args->out, out_about)->check(not_empty)->type_name("OUT");
        command->footer(insert ? "SOURCE must be of FILE's codec and hold full frames only (no SP noise or LP silence\n"
                                 "frames, and for an SP file no speech-flag mode).  A WAV SOURCE (any rate; channels\n"
                                 "mixed down) is coded as SP frames; an LP FILE takes none."
                               : "The new frames replace the audio from AT on for as long as they last (or to FILE's\n"
                                 "end and beyond).  SOURCE must be of FILE's codec and hold full frames only; a WAV\n"
                                 "SOURCE is coded as SP frames.");
    }

    CLI::App *cat = add_command(tool, "cat", "join recordings of one codec into a new file",
                                [args]() { return command_cat(*args); });
    cat->add_option("FILE", args->parts, "the recordings, in order")->required()->check(not_empty);
    cat->add_option("-o", args->out, "the new file")->required()->check(not_empty)->type_name("OUT");
    cat->footer("The index marks of each part are kept at their new times.");
}
