// kvxgen OUT.kvx [--seconds N] [--lp] [--mixed] [--one-block] [--full] [--seed S]
//               [--fill OFFSET:COUNT:BYTE] [--garbage OFFSET:COUNT] [--cut SIZE]
// Writes a deterministic sample dictation.  Default: 30 s of SP in
// speech-flag mode with noise frames.  --mixed alternates 5 s SP and LP parts.
// --full: full frames only, SP in plain mode (codec byte 0), LP without
// silence frames, as a write session stores them.
// Damage, applied in order after the file is built: --fill sets COUNT bytes
// at OFFSET to BYTE (hex), --garbage writes COUNT bytes of noise from the
// seed, --cut keeps the first SIZE bytes.  Offsets may lie past the end.
#include "kvx_gen.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: kvxgen OUT.kvx [--seconds N] [--lp] [--mixed] [--one-block] [--full] [--seed S]\n"
                 "              [--fill OFFSET:COUNT:BYTE] [--garbage OFFSET:COUNT] [--cut SIZE]\n");
    return 2;
}

size_t framesFor(uint8_t codec, unsigned long ms) { return ms / kvxgen::frame_ms(codec); }

kvxgen::Segment fullSegment(uint8_t codec, size_t n, uint32_t seed) {
    std::vector<kvxgen::Bytes> frames;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t s = seed * 2654435761u + static_cast<uint32_t>(i);
        frames.push_back(codec == 0 ? kvxgen::sp_full(s, false) : kvxgen::lp_active(s));
    }
    return kvxgen::Segment::audio(codec, std::move(frames));
}

}  // namespace

int main(int argc, char** argv) {
    std::string out;
    unsigned long seconds = 30;
    unsigned long seed = 1;
    bool lp = false, mixed = false, oneBlock = false, full = false;
    std::vector<std::pair<std::string, std::string>> damage;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            const bool hasValue = i + 1 < argc;
            if (a == "--seconds" && hasValue) seconds = std::stoul(argv[++i]);
            else if (a == "--seed" && hasValue) seed = std::stoul(argv[++i]);
            else if (a == "--lp") lp = true;
            else if (a == "--mixed") mixed = true;
            else if (a == "--one-block") oneBlock = true;
            else if (a == "--full") full = true;
            else if ((a == "--fill" || a == "--garbage" || a == "--cut") && hasValue) damage.emplace_back(a, argv[++i]);
            else if (!a.empty() && a[0] != '-' && out.empty()) out = a;
            else return usage();
        }
    } catch (const std::exception&) {
        return usage();
    }
    if (out.empty() || seconds > 24UL * 3600) return usage();

    kvxgen::File file;
    file.header.blocks = oneBlock ? 1 : 2;
    const uint8_t spCodec = full ? 0 : 1;
    const uint8_t codec = lp ? 2 : spCodec;
    auto segment = [full](uint8_t c, size_t n, uint32_t s) {
        return full ? fullSegment(c, n, s) : kvxgen::random_segment(c, n, s);
    };
    const unsigned long totalMs = seconds * 1000;
    if (!mixed) {
        file.segments.push_back(segment(codec, framesFor(codec, totalMs), static_cast<uint32_t>(seed)));
    } else {
        uint32_t partSeed = static_cast<uint32_t>(seed);
        bool sp = true;
        for (unsigned long done = 0; done < totalMs; done += 5000, sp = !sp) {
            const uint8_t c = sp ? spCodec : 2;
            const unsigned long ms = totalMs - done < 5000 ? totalMs - done : 5000;
            file.segments.push_back(segment(c, framesFor(c, ms), partSeed++));
        }
    }

    kvxgen::Layout layout;
    kvxgen::Bytes bytes = kvxgen::build(file, &layout);
    uint64_t noise = seed;
    for (const auto& d : damage) {
        unsigned long at = 0, count = 0, value = 0;
        if (d.first == "--cut") {
            if (std::sscanf(d.second.c_str(), "%lu", &at) != 1) return usage();
            bytes = kvxgen::truncated(bytes, at);
            continue;
        }
        const bool fill = d.first == "--fill";
        if (std::sscanf(d.second.c_str(), fill ? "%lu:%lu:%lx" : "%lu:%lu", &at, &count, &value) != (fill ? 3 : 2))
            return usage();
        for (unsigned long i = 0; i < count && at + i < bytes.size(); ++i) {
            noise = noise * 6364136223846793005ULL + 1442695040888963407ULL;
            bytes[at + i] = static_cast<uint8_t>(fill ? value : noise >> 56);
        }
    }
    if (!kvxgen::write(out, bytes)) {
        std::fprintf(stderr, "kvxgen: cannot write %s\n", out.c_str());
        return 1;
    }
    std::printf("%s: %zu bytes, %zu audio blocks, %zu frames, %u ms\n", out.c_str(), bytes.size(),
                layout.blocks.size(), layout.frames.size(), static_cast<unsigned>(layout.totalMs));
    return 0;
}
