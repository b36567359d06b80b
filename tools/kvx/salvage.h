/*
 * salvage.h - damaged and cut-short recordings.
 *
 * A scan of a file's bytes says whether it is a KVX file at all, whether it
 * was cut short (and at which frame), and which audio blocks cannot be
 * trusted: a block header that no recorder writes, a frame count the block
 * cannot hold, frames that do not meet the next block's first frame.  Where
 * the library would refuse such a file or decode it wrongly, the tool
 * decodes a repaired copy instead: cut to whole frames, the damaged blocks
 * turned into blocks without frames (which the library passes over), and a
 * frame that runs into a damaged block dropped.  The decode puts silence
 * where the damaged stretches were, as long as they were, so that the rest
 * keeps its place on the timeline.
 */
#ifndef KVX_TOOL_SALVAGE_H
#define KVX_TOOL_SALVAGE_H

#include <stdint.h>
#include <string>
#include <vector>

/* A stretch of the recording that cannot be decoded. */
struct Damage {
    uint32_t startMs = 0; /* on the recording's timeline, silence included */
    uint32_t ms = 0;
    bool lengthKnown = true; /* false: estimated from the blocks around it */
    uint32_t firstBlock = 0; /* audio blocks, counted from 1 */
    uint32_t lastBlock = 0;
    std::string what;
};

/* Where the decode of the repaired copy gets silence: after `atMs` of its
 * own audio, `ms` of it. */
struct Gap {
    uint32_t atMs = 0;
    uint32_t ms = 0;
};

struct FileScan {
    enum Verdict { Sound, Damaged, NotKvx, NoAudio };
    Verdict verdict = Sound;
    std::string problem;       /* NotKvx, NoAudio: what is wrong */
    uint32_t headerMs = 0;     /* the length the header states */
    uint32_t recoveredMs = 0;  /* the audio that decodes */
    bool truncated = false;
    uint32_t truncatedAtMs = 0; /* the end of the last whole frame */
    std::vector<Damage> damage;
    std::vector<Gap> gaps;
    /* Starts of the repaired copy's blocks with frames, in its own time,
     * and their ends: where a decoding session may begin. */
    std::vector<uint32_t> blockStarts;
    std::vector<uint8_t> repaired; /* empty: decode the file as it is */
};

/* The scan of a whole file's bytes. */
FileScan scan_bytes(const std::vector<uint8_t> &bytes);

/* "12:31.240", or "1:02:31.240" from an hour on. */
std::string short_time(uint32_t ms);

/* A file as the tool decodes it: the file itself, or a repaired copy in a
 * folder of its own that goes when this does. */
class Salvage {
public:
    Salvage() = default;
    Salvage(const Salvage &) = delete;
    Salvage &operator=(const Salvage &) = delete;
    ~Salvage();

    /* Scans `path`; makes the repaired copy where one is needed.  0, or
     * the exit status of a file that is no KVX file or holds no audio
     * (said on stderr).  `header_only`: a file cut inside its second header
     * block still opens (padded), for the commands that show the header. */
    int open(const std::string &path, bool header_only = false);
    /* The file to hand to the library. */
    const std::string &path() const { return path_; }
    const FileScan &scan() const { return scan_; }
    bool damaged() const { return scan_.verdict == FileScan::Damaged; }

    /* A start on the recording's timeline as a time of the file to decode;
     * the decode's silence is then counted from the block that holds it. */
    uint32_t start(uint32_t ms);
    /* KVXDecodeToPCM, with frames of silence where damaged stretches were. */
    uint32_t next_pcm(int16_t **pcm, uint32_t *codec);

    /* ms of silence in the decode: the damaged stretches. */
    uint32_t silence_ms() const;
    /* The diagnostics: "damage: ..." lines, where the file was cut, what
     * was recovered. */
    std::vector<std::string> report() const;

private:
    FileScan scan_;
    std::string path_;
    std::string folder_; /* the repaired copy's folder */
    uint32_t decoded_ = 0; /* ms of the copy's audio handed out */
    size_t gap_ = 0;       /* the next gap */
    uint32_t silence_ = 0; /* ms of silence still to hand out */
    bool held_ = false;    /* a decoded frame waits behind the silence */
    uint32_t held_codec_ = 0;
    uint32_t last_codec_ = 0;
    int16_t frame_[288] = {};
};

/* The diagnostics as "kvx: FILE: ..." lines on stderr; the exit status of
 * a salvaged file. */
int report_salvage(const std::string &path, const Salvage &salvage);

#endif
