// lpdec: decodes a raw G.723.1 stream to 16-bit little-endian PCM at 8000 Hz
// with the LP codec's decoder, postfilter on.
//
//   lpdec [--standard | --library] INPUT OUTPUT
//
// The input is in the standard's packing, as in the ITU test vectors: frames
// back to back, each as long as bits 1..0 of its first byte say (00: 24
// bytes, 01: 20, 10: 4, 11: 1).  --library (the default) decodes with the
// library's arithmetic, --standard with the standard's.  OUTPUT "-" is
// standard output.  One continuous decode from the reset state, 240 samples
// per frame; a frame cut short by the end of the input is not decoded.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "codec_lp/lp_g7231.h"
#include "codec_lp/lp_state.h"

namespace {

int usage()
{
    std::fprintf(stderr, "usage: lpdec [--standard | --library] INPUT OUTPUT\n");
    return 2;
}

size_t packed_length(uint8_t first)
{
    static const size_t kLength[4] = {24, 20, 4, 1};
    return kLength[first & 3];
}

} // namespace

int main(int argc, char **argv)
{
    bool standard = false;
    int arg = 1;
    for (; arg < argc && argv[arg][0] == '-' && argv[arg][1] == '-'; ++arg) {
        if (std::strcmp(argv[arg], "--standard") == 0) {
            standard = true;
        } else if (std::strcmp(argv[arg], "--library") == 0) {
            standard = false;
        } else {
            return usage();
        }
    }
    if (argc - arg != 2) return usage();

    std::FILE *in = std::fopen(argv[arg], "rb");
    if (!in) {
        std::fprintf(stderr, "lpdec: cannot open %s\n", argv[arg]);
        return 1;
    }
    std::vector<uint8_t> stream;
    uint8_t chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) stream.insert(stream.end(), chunk, chunk + got);
    std::fclose(in);

    const bool toStdout = std::strcmp(argv[arg + 1], "-") == 0;
    std::FILE *out = toStdout ? stdout : std::fopen(argv[arg + 1], "wb");
    if (!out) {
        std::fprintf(stderr, "lpdec: cannot create %s\n", argv[arg + 1]);
        return 1;
    }

    kvx::g_lpStandardArithmetic = standard;
    kvx::lp_reset();
    size_t pos = 0;
    while (pos < stream.size()) {
        const size_t length = packed_length(stream[pos]);
        if (pos + length > stream.size()) break;
        uint8_t frame[kvx::kLpActiveBytes] = {};
        std::memcpy(frame, &stream[pos], length);
        pos += length;
        int16_t pcm[kvx::kLpFrame];
        kvx::lp_synthesise(frame, pcm);
        uint8_t bytes[2 * kvx::kLpFrame];
        for (int i = 0; i < kvx::kLpFrame; ++i) {
            bytes[2 * i] = static_cast<uint8_t>(static_cast<uint16_t>(pcm[i]) & 0xff);
            bytes[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(pcm[i]) >> 8);
        }
        if (std::fwrite(bytes, 1, sizeof bytes, out) != sizeof bytes) {
            std::fprintf(stderr, "lpdec: write failed\n");
            return 1;
        }
    }
    if (!toStdout && std::fclose(out) != 0) {
        std::fprintf(stderr, "lpdec: write failed\n");
        return 1;
    }
    return 0;
}
