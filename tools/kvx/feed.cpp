/*
 * kvx feed FILE [--way 1|2] [--postfilter] -o OUT.wav
 *
 * Pulls a finished recording through the transcription feed, one frame of
 * 264 samples at a time, as a transcription client does, and writes the
 * frames to a mono 16-bit WAV file at 11000 Hz.  With way 2 the feed runs
 * from the first extended mark to the second.
 *
 * The feed's file name and way flags are the shared transfer settings:
 * every process that has the library loaded sees them.  A name that does
 * not end in ".kvx" would be taken for a recording still on a recorder, so
 * only such names are fed here.
 */
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "output.h"
#include "common.h"
#include "kvx.h"

namespace {

constexpr uint32_t kRate = 11000; /* 264 samples of each 24 ms frame */
constexpr size_t kFrameSamples = 264;
constexpr size_t kNameBytes = 255; /* the shared name, with its terminator */

bool named_kvx(const std::string &path)
{
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    for (char &c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".kvx";
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

struct FeedArgs {
    std::string input;
    std::string output;
    unsigned way = 1;
    bool postfilter = false;
};

int command_feed(const FeedArgs &args)
{
    const std::string &input = args.input, &output = args.output;
    const uint32_t way = args.way;
    KVXSetTransFileName(input.c_str());
    KVXSetTransWAY(static_cast<int32_t>(way));
    uint32_t control = KVX_CW_RESET;
    if (args.postfilter) control |= KVX_CW_POSTFILTER;
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

} // namespace

void add_feed_command(CLI::App &tool)
{
    auto args = std::make_shared<FeedArgs>();
    auto self = std::make_shared<CLI::App *>(nullptr);
    CLI::App *feed = add_command(tool, "feed", "pull the SP frames through the transcription feed into a WAV file",
                                 [args, self]() {
                                     if (!named_kvx(args->input) || args->input.size() >= kNameBytes) {
                                         char what[96];
                                         std::snprintf(what, sizeof what,
                                                       "the feed reads files named *.kvx of at most %zu characters",
                                                       kNameBytes - 1);
                                         return usage_error(*self, "'" + args->input + "': " + what);
                                     }
                                     return command_feed(*args);
                                 });
    *self = feed;
    const CLI::Validator wav_name(
        [](std::string &path) -> std::string {
            AudioFormat format;
            const std::string refused = output_format(path, &format);
            if (!refused.empty()) return refused;
            return format == AudioFormat::Wav ? "" : "'" + path + "': the feed writes WAV only (.wav)";
        },
        "");
    feed->add_option("FILE", args->input, "the recording, named *.kvx")->required();
    feed->add_option("-o,--output", args->output, "the WAV file to write")->required()->check(wav_name)->type_name("OUT");
    feed->add_option("--way", args->way, "1: the whole file; 2: from the first extended mark to the second")
        ->check(CLI::IsMember({1u, 2u}));
    feed->add_flag("--postfilter", args->postfilter, "run the decoder's postfilter");
    feed->footer("The frames go to a WAV file at 11000 Hz.  The feed's settings are shared by every\n"
                 "process that has the library loaded.");
}
