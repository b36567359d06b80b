/*
 * kvx feed FILE [--way 1|2] [--postfilter] -o OUT.wav
 *
 * Pulls a finished recording through the transcription feed, one frame of
 * 264 samples at a time, as a transcription client does, and writes the
 * frames to a mono 16-bit WAV file at 11025 Hz.  With way 2 the feed runs
 * from the first extended mark to the second.
 *
 * The feed's file name and way flags are the shared transfer settings:
 * every process that has the library loaded sees them.  A name that does
 * not end in ".kvx" would be taken for a recording still on a recorder, so
 * only such names are fed here.
 */
#include "feed.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "audio.h"
#include "edit.h"
#include "kvx.h"

namespace {

constexpr uint32_t kRate = 11025;
constexpr size_t kFrameSamples = 264;
constexpr size_t kNameBytes = 255; /* the shared name, with its terminator */

bool named_kvx(const std::string &path)
{
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    for (char &c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".kvx";
}

int usage()
{
    std::fputs("usage: kvx feed FILE [--way 1|2] [--postfilter] -o OUT.wav\n", stderr);
    return 2;
}

/* Whether the shared settings still are the ones this run made: another
 * process may set its own at any time. */
bool settings_kept(const std::string &path, uint32_t way)
{
    char name[kNameBytes] = {};
    uint32_t flags = 0;
    KVXGetTransFileName(name);
    KVXGetTransWAY(&flags);
    return path == name && (flags & 3u) == way;
}

} // namespace

int command_feed(int argc, char **argv)
{
    std::string input, output;
    uint32_t way = 1;
    bool postfilter = false;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--way" && i + 1 < argc) {
            const std::string value = argv[++i];
            if (value != "1" && value != "2") return usage();
            way = value == "2" ? 2 : 1;
        } else if (arg == "--postfilter") {
            postfilter = true;
        } else if (arg == "-o" && i + 1 < argc) {
            output = argv[++i];
        } else if (input.empty() && !arg.empty() && arg[0] != '-') {
            input = arg;
        } else {
            return usage();
        }
    }
    if (input.empty() || output.empty()) return usage();
    if (!named_kvx(input) || input.size() >= kNameBytes) {
        std::fprintf(stderr, "kvx: %s: the feed reads files named *.kvx of at most %zu characters\n", input.c_str(),
                     kNameBytes - 1);
        return 2;
    }

    KVXSetTransFileName(input.c_str());
    KVXSetTransWAY(static_cast<int32_t>(way));
    uint32_t control = KVX_CW_RESET;
    if (postfilter) control |= KVX_CW_POSTFILTER;
    uint32_t result = KVXTransInitDecoder(&control);
    if (result != KVX_OK) {
        std::fprintf(stderr, "kvx: %s: the feed cannot start (result %u)\n", input.c_str(), result);
        return 1;
    }
    result = KVXRV880ActiveFile(0, 0);
    if (result == KVX_OK) result = KVXTransStartDecoding();
    if (result != KVX_OK || !settings_kept(input, way)) {
        KVXTransDestroy();
        if (result == KVX_OK)
            std::fprintf(stderr, "kvx: %s: another process changed the feed's settings\n", input.c_str());
        else
            std::fprintf(stderr, "kvx: %s: cannot be fed: not a KVX file, or it cannot be read (result %u)\n",
                         input.c_str(), result);
        return 1;
    }

    WavWriter wav;
    if (!wav.open(output.c_str(), kRate)) {
        KVXTransDestroy();
        std::fprintf(stderr, "kvx: %s: cannot be created\n", output.c_str());
        return 1;
    }
    int16_t frame[kFrameSamples];
    uint32_t frames = 0;
    bool written = true;
    while (written && (result = KVXTransGetPCM(frame)) == 1) {
        written = wav.write(frame, kFrameSamples);
        ++frames;
    }
    KVXTransDestroy();
    const bool closed = wav.close(kRate);
    const std::string fed = format_time(frames * 24u);
    if (written && closed && result == KVX_OK) {
        std::printf("fed %u frames (%s)\n", frames, fed.c_str());
        return 0;
    }
    std::remove(output.c_str());
    if (!written || !closed)
        std::fprintf(stderr, "kvx: %s: write failed\n", output.c_str());
    else if (result == KVX_ERR_FEED_LP)
        std::fprintf(stderr, "kvx: %s: LP audio after %s: the feed hands out SP only (result %u)\n", input.c_str(),
                     fed.c_str(), result);
    else
        std::fprintf(stderr, "kvx: %s: the feed failed after %s (result %u)\n", input.c_str(), fed.c_str(), result);
    return 1;
}
