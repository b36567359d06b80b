/*
 * kvx decode: the frames come one at a time from KVXDecodeToPCM (no
 * device) and go to an output of output.h.  SP is 11000 Hz (the 12:11
 * stage; 12000 Hz with --native-rate), LP 8000 Hz; another rate, or a file
 * with both codecs, goes through libsoxr (resample.h).
 */
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>

#include "audio.h"
#include "common.h"
#include "kvx.h"
#include "metadata.h"
#include "output.h"
#include "salvage.h"
#ifdef KVX_HAVE_SOXR
#include "resample.h"
#endif

namespace {

/* The decoder's 12:11 stage gives 264 samples of each 24 ms SP frame. */
constexpr uint32_t kStageRate = 11000;
constexpr uint32_t kSpRate = 12000;
constexpr uint32_t kLpRate = 8000;

/* The format that decode's output name (and --raw) asks for. */
AudioFormat decode_format(const DecodeOptions &options)
{
    AudioFormat format = AudioFormat::Raw;
    if (options.output == "-") return options.raw ? AudioFormat::Raw : AudioFormat::Wav;
    if (output_format(options.output, &format).empty()) return format;
    return AudioFormat::Raw; /* .raw or .pcm, as the command line checked */
}

} // namespace

int decode_file(const DecodeOptions &options)
{
    uint32_t length = 0;
    uint16_t codecs = 0;
    /* A damaged or cut-short file is decoded from a repaired copy, with
     * silence where the damage was. */
    Salvage salvage;
    const int refused = salvage.open(options.input);
    if (refused != 0) return refused;
    uint32_t result = open_for_decoding(salvage.path(), &length, &codecs);
    if (result != KVX_OK) return fail(options.input, result);
    length += salvage.silence_ms();
    if (!start_fits(options.input, options.startMs, length)) return kExitFailure;
    const bool has_sp = (codecs & KVX_CODEC_SP) != 0;
    const uint32_t rate = options.rate != 0 ? options.rate : !has_sp ? kLpRate : options.nativeRate ? kSpRate : kStageRate;
    /* SP comes through the 12:11 stage only when its rate is the output
     * rate; any other rate is converted from the codec's own. */
    const uint32_t sp_rate = rate == kStageRate ? kStageRate : kSpRate;
#ifndef KVX_HAVE_SOXR
    if (has_sp && (codecs & KVX_CODEC_LP) != 0) {
        std::fprintf(stderr, "kvx: %s: holds both SP and LP audio, which this build cannot make one stream of "
                             "(it has no libsoxr)\n", options.input.c_str());
        return kExitFailure;
    }
#endif
    g_control = KVX_CW_NO_DEVICE | KVX_CW_RESET | KVX_CW_REPOSITION;
    if (options.postfilter) g_control |= KVX_CW_POSTFILTER;
    if (sp_rate == kSpRate) g_control |= KVX_CW_SP_288;
    result = KVXStartDecoding(salvage.start(options.startMs));
    if (result != KVX_OK) return fail(options.input, result);

    /* The header's fields and marks go into the output's tags and the
     * sidecars; a record that cannot be read leaves the audio untagged. */
    Metadata metadata;
    const bool described = read_metadata(options.input, length, codecs, &metadata) == KVX_OK;
    Sink sink;
    sink.metadata = described ? &metadata : nullptr;
    sink.startMs = options.startMs;
    sink.endMs = options.endMs != 0 && options.endMs < length ? options.endMs : length;
    if (!sink.open(options.output, decode_format(options), options.f32, rate)) return kExitFailure;

    const bool bar = isatty(fileno(stderr)) != 0;
    const uint32_t end = options.endMs != 0 && options.endMs < length ? options.endMs : length;
    double position = options.startMs;
    int shown = -1;
    bool ok = true;
    std::vector<float> out;
#ifdef KVX_HAVE_SOXR
    Resampler resampler;
#endif
    uint32_t run_rate = 0; /* the input rate of the frames so far */
    for (;;) {
        int16_t *pcm = nullptr;
        uint32_t codec = 0;
        if (salvage.next_pcm(&pcm, &codec) == 0) break;
        if (pcm == nullptr) continue; /* a change of codec */
        const uint32_t from = codec ? kLpRate : sp_rate;
        const size_t samples = codec ? 240 : sp_rate == kSpRate ? 288 : 264;
        out.clear();
        if (from != run_rate) {
#ifdef KVX_HAVE_SOXR
            ok = resampler.finish(&out);
            if (ok && from != rate) {
                const std::string error = resampler.start(from, rate);
                if (!error.empty()) {
                    std::fprintf(stderr, "kvx: %u Hz to %u Hz: %s\n", from, rate, error.c_str());
                    ok = false;
                }
            }
#else
            ok = from == rate; /* a file of one codec: checked above */
#endif
            run_rate = from;
            if (!ok) break;
        }
        if (from == rate) {
            for (size_t i = 0; i < samples; ++i) out.push_back(pcm[i] * (1.0f / 32768.0f));
        }
#ifdef KVX_HAVE_SOXR
        else if (!resampler.process(pcm, samples, &out)) {
            ok = false;
            break;
        }
#endif
        ok = sink.write(out);
        if (!ok) break;
        position += codec ? 30 : 24;
        if (bar && end > 0) {
            const int percent = static_cast<int>(100.0 * position / end > 100 ? 100 : 100.0 * position / end);
            if (percent != shown) {
                std::fprintf(stderr, "\r[%-40.*s] %3d%%", percent * 40 / 100, "########################################",
                             percent);
                shown = percent;
            }
        }
        if (options.endMs != 0 && position >= options.endMs) break;
    }
#ifdef KVX_HAVE_SOXR
    if (ok) {
        out.clear();
        ok = resampler.finish(&out) && sink.write(out);
    }
#endif
    if (bar) std::fputc('\n', stderr);
    const bool closed = sink.close(rate);
    if (!ok || !closed) {
        std::fprintf(stderr, "kvx: %s: write failed\n", options.output.c_str());
        return 1;
    }
    if (!write_sidecars(options.labels, options.json, described ? &metadata : nullptr, options.output, rate,
                        sink.startMs, sink.endMs))
        return kExitFailure;
    return salvage.damaged() ? report_salvage(options.input, salvage) : 0;
}

void add_decode_command(CLI::App &tool)
{
    auto self = std::make_shared<CLI::App *>(nullptr);
    auto decode = std::make_shared<DecodeOptions>();
    CLI::App *command = add_command(tool, "decode", "decode to a WAV or FLAC file, or standard output", [decode, self]() {
        if (decode->haveEnd && decode->startMs >= decode->endMs)
            return usage_error(*self, "--start (" + format_time(decode->startMs) + ") must lie before --end (" +
                                          format_time(decode->endMs) + ")");
        if (decode->raw && decode->output != "-")
            return usage_error(*self, "--raw is for -o - (standard output); a file named .raw or .pcm is raw anyway");
        if (decode->f32 && decode_format(*decode) == AudioFormat::Flac)
            return usage_error(*self, "--format f32: FLAC holds 16-bit samples here; write .wav or .raw");
        return decode_file(*decode);
    });
    *self = command;
    /* Besides what output_format() takes: "-" for standard output and the
     * names of headerless samples. */
    const CLI::Validator audio_name(
        [](std::string &path) -> std::string {
            if (path == "-") return "";
            AudioFormat format;
            std::string refused = output_format(path, &format);
            if (refused.empty()) return "";
            std::string extension = path.size() > 4 ? path.substr(path.size() - 4) : "";
            for (char &c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (extension == ".raw" || extension == ".pcm") return "";
            return refused + " (.raw or .pcm: the samples alone; -: standard output)";
        },
        "");
    command->add_option("FILE", decode->input, "the recording")->required();
    command->add_option("-o,--output", decode->output, "the output file (- for standard output): its extension tells the format")
        ->required()
        ->check(audio_name)
        ->type_name("OUT");
    add_time(command, "--start", &decode->startMs, "decode from here (the block that holds it)");
    add_time(command, "--end", &decode->endMs, "decode up to here")->each([decode](const std::string &) {
        decode->haveEnd = true;
    });
    command->add_flag("--postfilter", decode->postfilter, "run the decoder's postfilter");
    CLI::Option *native = command->add_flag("--native-rate", decode->nativeRate, "SP at 12000 Hz, the codec's own rate");
#ifdef KVX_HAVE_SOXR
    command->add_option("--rate", decode->rate, "the output rate in Hz, converted by libsoxr (16000 for speech recognisers)")
        ->check(CLI::Range(8000u, 48000u))
        ->excludes(native)
        ->type_name("N");
#else
    (void)native;
#endif
    command->add_flag("--raw", decode->raw, "with -o -: the samples alone, without a WAV header");
    command->add_option_function<std::string>(
               "--format", [decode](const std::string &samples) { decode->f32 = samples == "f32"; },
               "s16 (16-bit, the default) or f32 (32-bit float); FLAC holds s16")
        ->check(CLI::IsMember({"s16", "f32"}))
        ->type_name("SAMPLES");
    command->add_option("--labels", decode->labels, "write the marks to FILE as a label track (TAB-separated)")
        ->type_name("FILE");
    command->add_option("--json", decode->json, "write every header field and mark to FILE as one JSON object")
        ->type_name("FILE");
    command->footer(
        "SP is written at 11000 Hz: the decoder's 12:11 stage makes 264 samples of each 24 ms\n"
        "frame, exactly 11000 a second, so that the output lasts what the header says, with the\n"
        "samples that playing and the feed give.  --native-rate writes the codec's own 12000 Hz\n"
        "(288 samples a frame).  LP is written at 8000 Hz.  A file with both codecs becomes one\n"
        "stream at the SP rate, its LP parts converted by libsoxr.\n"
#ifdef KVX_HAVE_SOXR
        "--rate N (8000..48000) converts once, from the codec's own rate (SP 12000 Hz, LP 8000\n"
        "Hz), through libsoxr; --rate 16000 is the rate speech recognisers take.\n"
#else
        "This build has no libsoxr: it has no --rate, and refuses a file with both codecs.\n"
#endif
        "A damaged or cut-short file is decoded as far as and around the damage: each damaged\n"
        "stretch (a block header or frame count no recorder writes, frames that do not meet\n"
        "the next block) becomes silence as long as it was (\"about\" where the header cannot\n"
        "tell), a file cut short ends at its last whole frame; standard error gets a \"damage:\"\n"
        "line for each and the length recovered, and the exit status is 3.\n"
        "WAV and FLAC files keep the header (UTF-8): title = text 1, artist = text 2, album =\n"
        "text 3, date = the recording's start (YYYY-MM-DD hh:mm:ss), software = kvx; the\n"
        "comment holds every other field as key=value lines (as in --json, itemA.a ...).  In a\n"
        "WAV file (RIFF LIST/INFO: INAM IART IPRD ICRD ISFT ICMT) each mark within the output is\n"
        "a cue point, at its sample at the output rate from --start, labelled \"mark N\" (LIST/\n"
        "adtl labl); in a FLAC file (Vorbis comment) it is a comment line\n"
        "\"CUE=hh:mm:ss.mmm mark N\", the time from --start.  --labels FILE writes the marks as\n"
        "lines \"start<TAB>end<TAB>text\" in seconds from --start (end = start), the label\n"
        "track audio editors import; --json FILE every field and mark as `kvx info --json` gives\n"
        "them, with the output's file, rate and stretch.  Standard output carries no tags.\n"
        "-o - writes a WAV stream to standard output (its sizes say \"unknown\" where the output\n"
        "cannot seek), --raw the samples alone (little-endian); a name ending in .raw or .pcm\n"
        "gets the samples alone too.  Messages and progress go to standard error only.");
}
