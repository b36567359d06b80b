/*
 * Damaged and cut-short recordings: the scan, the repaired copy and the
 * silence of the damaged stretches.
 *
 * The audio blocks' data areas form one frame stream: a block's first-frame
 * offset says where the first frame that begins in it lies, and the bytes
 * before it end the previous block's last frame.  So a block is checked on
 * its own (the constant low bits of its first word, a codec the decoders
 * know, a first frame behind the block header, every counted frame
 * beginning inside the block) and against the next one: its last frame
 * must meet the next block's first frame.  Frame lengths come
 * from a frame's first byte: SP 41 bytes, 9 for a noise frame in
 * speech-flag mode (codec byte 1, top bit clear); LP 24 bytes, 4 when bit 1
 * is set.  SP data is stored with every 16-bit word byte-swapped.
 */
#include "salvage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "format/header.h"
#include "common.h"
#include "kvx.h"

namespace hdr = kvx::hdr;

namespace {

constexpr uint32_t kBlock = 512;
constexpr uint32_t kFirstWordLowBits = 0x0F;
constexpr uint32_t kMaxFrameMs = 127 * hdr::kLpFrameMs; /* the most one block can hold */

struct BlockScan {
    uint32_t stored = 0; /* bytes of it in the file */
    bool frames = false; /* it carries frames (else it is passed over) */
    bool bad = false;
    std::string why;
    uint8_t codec = 0;
    uint32_t count = 0;   /* the frames it says it holds */
    uint32_t inside = 0;  /* frames wholly inside it */
    uint32_t keep = 0;    /* frames that decode */
    uint32_t first = 0;   /* its first frame's offset */
    uint32_t end = 0;     /* where its last frame ends; past 512 it runs on */
    bool walked = false;  /* every counted frame was found */
    bool cut = false;     /* the file ends inside its frames */
};

/* The library's helpers of format/header.h that are not inline stay inside
 * it; these are the few the scan needs. */
uint32_t frame_ms(uint8_t codec)
{
    return codec <= 1 ? hdr::kSpFrameMs : hdr::kLpFrameMs;
}

uint32_t digits_ms(const uint8_t *digits)
{
    uint32_t fields[3];
    for (int i = 0; i < 3; ++i) {
        auto digit = [](uint8_t c) -> uint32_t { return c >= '0' && c <= '9' ? static_cast<uint32_t>(c - '0') : 0; };
        fields[i] = digit(digits[2 * i]) * 10 + digit(digits[2 * i + 1]);
    }
    return (fields[0] * 3600 + fields[1] * 60 + fields[2]) * 1000;
}

uint32_t frame_bytes(uint8_t codec, uint8_t first)
{
    if (codec >= 2) return (first & 2) ? 4 : 24;
    return codec == 1 && (first & 0x80) == 0 ? 9 : 41;
}

/* The stored bytes that hold a frame's bytes up to `end`: SP words are
 * swapped, so its last word is stored whole. */
uint32_t stored_end(uint8_t codec, uint32_t end)
{
    return codec <= 1 ? (end + 1) & ~1u : end;
}

BlockScan scan_block(const uint8_t *block, uint32_t stored)
{
    BlockScan b;
    b.stored = stored;
    const uint8_t count = block[hdr::kBlockFrameCount];
    const uint16_t word = hdr::le16(block + hdr::kBlockFirstFrame);
    b.codec = block[hdr::kBlockCodec];
    b.first = word >> 7;
    if ((word & 0x7F) != kFirstWordLowBits || b.codec > 3) {
        b.bad = true;
        b.why = "impossible block header";
        return b;
    }
    if (count == 0 || count == 0xFF) return b; /* a block without frames */
    if (count >= 0x80) {
        b.bad = true;
        b.why = "impossible frame count " + std::to_string(count);
        return b;
    }
    if (b.first < hdr::kBlockHeaderBytes) {
        b.bad = true;
        b.why = "impossible block header";
        return b;
    }
    b.frames = true;
    b.count = count;
    uint32_t p = b.first;
    for (uint32_t i = 0; i < count; ++i) {
        if (p >= kBlock) {
            b.bad = true;
            b.why = "says " + std::to_string(count) + " frames, holds " + std::to_string(i);
            return b;
        }
        const uint32_t at = b.codec <= 1 ? p ^ 1 : p;
        if (at >= stored) {
            b.cut = true;
            return b;
        }
        const uint32_t end = p + frame_bytes(b.codec, block[at]);
        const uint32_t need = stored_end(b.codec, end);
        if (need <= stored) {
            ++b.inside;
        } else if (stored < kBlock) {
            b.cut = true;
            return b;
        }
        p = end;
    }
    b.end = p;
    b.walked = true;
    return b;
}

uint32_t header_length(const std::vector<uint8_t> &b, uint32_t blocks)
{
    if (blocks == 2 && hdr::le32(&b[hdr::kExtendedMark]) == hdr::kExtendedMarkValue) return hdr::le32(&b[hdr::kExtLengthMs]);
    const uint32_t ms = hdr::le32(&b[hdr::kLengthMs]);
    return ms != 0xFFFFFFFFu ? ms : digits_ms(&b[hdr::kLengthDigits]);
}

/* One stretch of the timeline: audio of a block, frames lost from it, or a
 * damaged block of unknown length. */
struct Piece {
    enum Kind { Audio, Lost, Unknown } kind;
    uint32_t ms;
    uint32_t block; /* from 1 */
    std::string why;
};

} // namespace

std::string short_time(uint32_t ms)
{
    char text[32];
    if (ms >= 3600000u)
        std::snprintf(text, sizeof text, "%u:%02u:%02u.%03u", ms / 3600000u, ms / 60000u % 60u, ms / 1000u % 60u,
                      ms % 1000u);
    else
        std::snprintf(text, sizeof text, "%u:%02u.%03u", ms / 60000u, ms / 1000u % 60u, ms % 1000u);
    return text;
}

FileScan scan_bytes(const std::vector<uint8_t> &b)
{
    FileScan scan;
    const size_t size = b.size();
    if (size < 1 + hdr::kMagicBytes || std::memcmp(&b[hdr::kMagic], "kvx", hdr::kMagicBytes) != 0) {
        scan.verdict = FileScan::NotKvx;
        scan.problem = size == 0 ? "not a KVX file (it is empty)" : "not a KVX file";
        return scan;
    }
    const uint32_t blocks = b[hdr::kBlockCount];
    if (blocks != 1 && blocks != 2) {
        scan.verdict = FileScan::NotKvx;
        scan.problem = "not a KVX file (its header says " + std::to_string(blocks) + " header blocks)";
        return scan;
    }
    if (size < kBlock) {
        scan.verdict = FileScan::NoAudio;
        scan.problem = "cut short inside its header (" + std::to_string(size) + " of " +
                       std::to_string(blocks * kBlock) + " bytes)";
        return scan;
    }
    if (size < blocks * kBlock) {
        /* The first block's fields are there: padded, the header opens. */
        scan.verdict = FileScan::NoAudio;
        scan.problem = "header says 2 blocks, file has 1";
        scan.repaired = b;
        scan.repaired.resize(2 * kBlock, 0);
        return scan;
    }
    scan.headerMs = header_length(b, blocks);

    /* Each block on its own, up to the end marker. */
    const size_t audio = blocks * kBlock;
    std::vector<BlockScan> list;
    bool ended = false;
    for (size_t at = audio; at < size; at += kBlock) {
        const uint32_t stored = static_cast<uint32_t>(size - at < kBlock ? size - at : kBlock);
        if (stored <= hdr::kBlockCodec) break; /* a stub without a whole block header */
        if (b[at + hdr::kBlockFrameCount] == hdr::kEndMarker) {
            ended = true;
            break;
        }
        list.push_back(scan_block(&b[at], stored));
    }

    /* Each block against the next: a last frame that runs on ends where
     * the next block's first frame begins.  (One that ends inside its
     * block may be followed by a later first frame: an edit leaves the
     * bytes it cut out there.)  A block whose frames do not meet the next
     * block's is taken as the damaged one: garbage in its frames sends
     * their walk astray far more often than garbage makes a block header
     * that passes. */
    for (size_t i = 0; i + 1 < list.size(); ++i) {
        BlockScan &a = list[i];
        const BlockScan &next = list[i + 1];
        if (a.bad || !a.frames || !a.walked || next.bad || !next.frames) continue;
        if (a.end > kBlock && next.first != hdr::kBlockHeaderBytes + a.end - kBlock) {
            a.bad = true;
            a.why = "its frames do not meet the next block's";
        }
    }
    /* The frames that decode: those inside the block, and a last frame
     * that runs on into a sound block that holds its rest.  The decoder
     * joins that rest from the next block by its first-frame offset alone,
     * so the next block may be one without frames. */
    bool cut = false;
    for (size_t i = 0; i < list.size(); ++i) {
        BlockScan &a = list[i];
        if (a.bad || !a.frames) continue;
        a.keep = a.inside;
        if (a.cut) cut = true;
        if (!a.walked || a.end <= kBlock) continue;
        const bool last = i + 1 == list.size();
        if (last && !ended) {
            cut = a.cut = true; /* its rest was never stored */
            continue;
        }
        if (last) continue; /* runs into the end marker: lost */
        const BlockScan &next = list[i + 1];
        const uint32_t rest = hdr::kBlockHeaderBytes + a.end - kBlock;
        const bool meets = !next.bad && next.first == rest;
        if (meets && next.stored >= stored_end(a.codec, rest))
            ++a.keep;
        else if (meets)
            cut = a.cut = true;
    }

    /* The timeline. */
    std::vector<Piece> pieces;
    uint32_t audio_ms = 0, audio_blocks = 0, unknown_blocks = 0, known_ms = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        const BlockScan &a = list[i];
        const uint32_t number = static_cast<uint32_t>(i + 1);
        if (a.bad) {
            pieces.push_back({Piece::Unknown, 0, number, a.why});
            ++unknown_blocks;
            continue;
        }
        if (!a.frames) continue;
        const uint32_t fms = frame_ms(a.codec);
        if (a.keep > 0) {
            pieces.push_back({Piece::Audio, a.keep * fms, number, ""});
            audio_ms += a.keep * fms;
            ++audio_blocks;
        }
        if (a.keep < a.count && !a.cut) {
            pieces.push_back({Piece::Lost, (a.count - a.keep) * fms, number, "a frame runs into a damaged block"});
            known_ms += (a.count - a.keep) * fms;
        }
    }
    scan.recoveredMs = audio_ms;

    /* A damaged block's length: what the header's length leaves for it when
     * the file is whole, else the mean of the sound blocks. */
    uint32_t per_unknown = 0, unknown_rest = 0;
    bool lengths_known = false;
    if (unknown_blocks > 0) {
        const uint32_t counted = audio_ms + known_ms;
        if (!cut && scan.headerMs > counted && scan.headerMs - counted <= unknown_blocks * kMaxFrameMs) {
            per_unknown = (scan.headerMs - counted) / unknown_blocks;
            unknown_rest = (scan.headerMs - counted) % unknown_blocks;
            lengths_known = true;
        } else if (audio_blocks > 0) {
            per_unknown = audio_ms / audio_blocks;
        }
    }

    uint32_t timeline = 0, repaired_time = 0, unknown_seen = 0;
    for (const Piece &piece : pieces) {
        if (piece.kind == Piece::Audio) {
            timeline += piece.ms;
            repaired_time += piece.ms;
            scan.blockStarts.push_back(repaired_time - piece.ms);
            continue;
        }
        uint32_t ms = piece.ms;
        if (piece.kind == Piece::Unknown) ms = per_unknown + (++unknown_seen == unknown_blocks ? unknown_rest : 0);
        const bool joins = !scan.damage.empty() && scan.damage.back().startMs + scan.damage.back().ms == timeline &&
                           scan.damage.back().lastBlock + 1 >= piece.block;
        if (joins) {
            Damage &d = scan.damage.back();
            d.ms += ms;
            d.lastBlock = piece.block;
            if (piece.kind == Piece::Unknown) {
                d.lengthKnown = d.lengthKnown && lengths_known;
                if (d.what.find(piece.why) == std::string::npos) d.what += "; " + piece.why;
            }
            scan.gaps.back().ms += ms;
        } else {
            Damage d;
            d.startMs = timeline;
            d.ms = ms;
            d.lengthKnown = piece.kind == Piece::Lost || lengths_known;
            d.firstBlock = d.lastBlock = piece.block;
            d.what = piece.why;
            scan.damage.push_back(d);
            scan.gaps.push_back({repaired_time, ms});
        }
        timeline += ms;
    }

    if (cut) {
        scan.truncated = true;
        scan.truncatedAtMs = timeline;
    } else if (unknown_blocks == 0 && scan.headerMs >= timeline + hdr::kSpFrameMs && !ended) {
        /* Cut at a block boundary: the blocks are whole, the header says
         * there was more. */
        scan.truncated = true;
        scan.truncatedAtMs = timeline;
    }

    bool repair = false;
    for (const BlockScan &a : list) repair = repair || a.bad || (a.frames && a.keep < a.count);
    if (!scan.damage.empty() || scan.truncated) scan.verdict = FileScan::Damaged;
    if (audio_ms == 0 && scan.verdict == FileScan::Damaged) {
        scan.verdict = FileScan::NoAudio;
        scan.problem = scan.truncated ? "truncated at " + short_time(scan.truncatedAtMs) : "every audio block is damaged";
    }
    if (!repair) return scan;

    /* The repaired copy: the damaged blocks without frames (in the codec of
     * the sound block before them, so that the codec flags stay), the
     * frames that do not decode counted off, the file cut behind the last
     * block that has any, or that holds the rest of the last frame.  A
     * block that keeps no frame of its own keeps its first-frame offset,
     * which still leads the decoder to the rest of the frame before it. */
    scan.repaired.assign(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(audio));
    uint8_t codec = 0;
    size_t last_with_frames = 0;
    for (size_t i = 0; i < list.size(); ++i)
        if (!list[i].bad && list[i].keep > 0) last_with_frames = i + 1 + (list[i].keep > list[i].inside ? 1 : 0);
    for (size_t i = 0; i < last_with_frames; ++i) {
        const BlockScan &a = list[i];
        const size_t at = audio + i * kBlock;
        std::vector<uint8_t> block(b.begin() + static_cast<std::ptrdiff_t>(at),
                                   b.begin() + static_cast<std::ptrdiff_t>(at + a.stored));
        block.resize(kBlock, 0xFF);
        if (a.bad || (a.frames && a.keep == 0)) {
            if (a.bad)
                hdr::put16(&block[hdr::kBlockFirstFrame],
                           static_cast<uint16_t>(hdr::kBlockHeaderBytes << 7 | kFirstWordLowBits));
            block[hdr::kBlockFrameCount] = 0xFF;
            block[hdr::kBlockCodec] = codec;
        } else if (a.frames) {
            block[hdr::kBlockFrameCount] = static_cast<uint8_t>(a.keep);
            codec = a.codec;
        }
        scan.repaired.insert(scan.repaired.end(), block.begin(), block.end());
    }
    return scan;
}

/* ---- the repaired copy ------------------------------------------------ */

namespace {

bool read_all(const std::string &path, std::vector<uint8_t> *bytes)
{
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    uint8_t buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes->insert(bytes->end(), buffer, buffer + got);
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

/* A new folder of the tool's own for the repaired copy. */
std::string make_folder()
{
#ifdef _WIN32
    char base[MAX_PATH];
    const DWORD length = GetTempPathA(sizeof base, base);
    if (length == 0 || length >= sizeof base) return "";
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string folder = std::string(base) + "kvx-salvage-" + std::to_string(GetCurrentProcessId()) + "-" +
                                   std::to_string(attempt);
        if (CreateDirectoryA(folder.c_str(), nullptr)) return folder;
    }
    return "";
#else
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/kvx-salvage-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    return mkdtemp(name.data()) != nullptr ? std::string(name.data()) : "";
#endif
}

} // namespace

Salvage::~Salvage()
{
    if (folder_.empty()) return;
    /* The library keeps no handle between calls; the copy can go. */
    std::remove(path_.c_str());
#ifdef _WIN32
    RemoveDirectoryA(folder_.c_str());
#else
    rmdir(folder_.c_str());
#endif
}

int Salvage::open(const std::string &path, bool header_only)
{
    path_ = path;
    std::vector<uint8_t> bytes;
    /* A file that cannot be read is the library's to report. */
    if (!read_all(path, &bytes)) return 0;
    scan_ = scan_bytes(bytes);
    /* Not a KVX file at all: the library says so, in the words every
     * command uses for it. */
    if (scan_.verdict == FileScan::NotKvx) return 0;
    if (scan_.verdict == FileScan::NoAudio && !header_only) {
        std::fprintf(stderr, "kvx: %s: %s: no audio to recover\n", path.c_str(), scan_.problem.c_str());
        return kExitFailure;
    }
    if (scan_.repaired.empty()) return 0;
    folder_ = make_folder();
    const std::string copy = folder_ + "/repaired.kvx";
    std::FILE *file = folder_.empty() ? nullptr : std::fopen(copy.c_str(), "wb");
    const bool written = file != nullptr &&
                         std::fwrite(scan_.repaired.data(), 1, scan_.repaired.size(), file) == scan_.repaired.size();
    if (file != nullptr && std::fclose(file) != 0) file = nullptr;
    path_ = copy; /* removed with the folder, written or not */
    if (!written || file == nullptr) {
        std::fprintf(stderr, "kvx: %s: the repaired copy cannot be written in the temporary folder\n", path.c_str());
        return kExitFailure;
    }
    return 0;
}

uint32_t Salvage::start(uint32_t ms)
{
    /* The recording's time less the silence before it. */
    uint32_t silence = 0;
    for (const Damage &d : scan_.damage) {
        if (d.startMs >= ms) break;
        silence += ms - d.startMs < d.ms ? ms - d.startMs : d.ms;
    }
    const uint32_t own = ms - silence;
    /* A session begins at the block that holds the time. */
    decoded_ = 0;
    for (uint32_t begins : scan_.blockStarts)
        if (begins <= own) decoded_ = begins;
    gap_ = 0;
    while (gap_ < scan_.gaps.size() && scan_.gaps[gap_].atMs < decoded_) ++gap_;
    return own;
}

uint32_t Salvage::next_pcm(int16_t **pcm, uint32_t *codec)
{
    for (;;) {
        if (silence_ > 0) {
            const uint32_t frame_ms = held_codec_ ? hdr::kLpFrameMs : hdr::kSpFrameMs;
            silence_ = silence_ > frame_ms ? silence_ - frame_ms : 0;
            /* A rest shorter than half a frame is not worth one. */
            if (silence_ < frame_ms / 2) silence_ = 0;
            std::memset(frame_, 0, sizeof frame_);
            *pcm = frame_;
            *codec = held_codec_;
            return 1;
        }
        if (gap_ < scan_.gaps.size() && scan_.gaps[gap_].atMs <= decoded_) {
            silence_ = scan_.gaps[gap_++].ms;
            if (!held_ && held_codec_ != last_codec_) held_codec_ = last_codec_;
            continue;
        }
        if (held_) {
            held_ = false;
            *pcm = frame_;
            *codec = held_codec_;
            decoded_ += held_codec_ ? hdr::kLpFrameMs : hdr::kSpFrameMs;
            last_codec_ = held_codec_;
            return 1;
        }
        int16_t *got = nullptr;
        uint32_t got_codec = 0;
        if (KVXDecodeToPCM(&got, &got_codec) == 0) {
            /* Damage at the end: its silence in the last codec. */
            if (gap_ < scan_.gaps.size()) {
                held_codec_ = last_codec_;
                silence_ = scan_.gaps[gap_++].ms;
                continue;
            }
            return 0;
        }
        *pcm = got;
        *codec = got_codec;
        if (got == nullptr) return 1; /* a change of codec */
        if (gap_ < scan_.gaps.size() && scan_.gaps[gap_].atMs <= decoded_) {
            /* Silence first, in the codec of the frame that follows it. */
            std::memcpy(frame_, got, sizeof frame_);
            held_ = true;
            held_codec_ = got_codec;
            continue;
        }
        decoded_ += got_codec ? hdr::kLpFrameMs : hdr::kSpFrameMs;
        last_codec_ = got_codec;
        return 1;
    }
}

std::vector<std::string> Salvage::report() const
{
    std::vector<std::string> lines;
    if (scan_.verdict == FileScan::NoAudio) lines.push_back("damage: " + scan_.problem);
    for (const Damage &d : scan_.damage) {
        std::string blocks = "block " + std::to_string(d.firstBlock);
        if (d.lastBlock != d.firstBlock) blocks = "blocks " + std::to_string(d.firstBlock) + "-" + std::to_string(d.lastBlock);
        lines.push_back("damage: " + short_time(d.startMs) + " to " + short_time(d.startMs + d.ms) + " (" +
                        (d.lengthKnown ? "" : "about ") + short_time(d.ms) + ", audio " + blocks + ": " + d.what +
                        "), silence in the output");
    }
    if (scan_.truncated) {
        std::string line = "damage: truncated at " + short_time(scan_.truncatedAtMs);
        if (scan_.headerMs > scan_.truncatedAtMs) line += " (the header says " + short_time(scan_.headerMs) + ")";
        lines.push_back(line);
    }
    if (scan_.verdict == FileScan::Damaged)
        lines.push_back("recovered: " + short_time(scan_.recoveredMs) + " of audio");
    return lines;
}

uint32_t Salvage::silence_ms() const
{
    uint32_t ms = 0;
    for (const Gap &gap : scan_.gaps) ms += gap.ms;
    return ms;
}

int report_salvage(const std::string &path, const Salvage &salvage)
{
    for (const std::string &line : salvage.report()) std::fprintf(stderr, "kvx: %s: %s\n", path.c_str(), line.c_str());
    return kExitSalvaged;
}
