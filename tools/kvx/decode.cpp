/*
 * kvx decode: the frames come one at a time from KVXDecodeToPCM (no
 * device) and go to an output of output.h.  SP is 11000 Hz (the 12:11
 * stage; 12000 Hz with --native-rate), LP 8000 Hz; another rate, or a file
 * with both codecs, goes through libsoxr (resample.h).
 */
#include <algorithm>
#include <cctype>
#include <cstdint>
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
#include "batch.h"
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
/* How long before --start a session starts: the decoder, reset at a
 * session's start, gives the samples of a decode from the beginning again
 * within some 2 s (SP; LP sooner). */
constexpr uint32_t kLeadMs = 3000;

/* The format that decode's output name (and --raw) asks for. */
AudioFormat decode_format(const DecodeOptions &options)
{
    AudioFormat format = AudioFormat::Raw;
    if (options.output == "-") return options.raw ? AudioFormat::Raw : AudioFormat::Wav;
    if (output_format(options.output, &format).empty()) return format;
    return AudioFormat::Raw; /* .raw or .pcm, as the command line checked */
}

/* The part of the decoded samples that lies from --start to --end: a
 * session hands out the samples of its first block before the start. */
constexpr size_t kWriteSamples = 16384;

struct Trim {
    uint64_t skip = 0;          /* samples still to drop */
    uint64_t left = UINT64_MAX; /* samples still wanted */
    uint64_t written = 0;
};

uint64_t samples_in(uint32_t ms, uint32_t rate)
{
    return (static_cast<uint64_t>(ms) * rate + 500) / 1000;
}

bool write_trimmed(Sink &sink, const std::vector<float> &samples, Trim *trim)
{
    const size_t from = static_cast<size_t>(std::min<uint64_t>(trim->skip, samples.size()));
    const size_t count = static_cast<size_t>(std::min<uint64_t>(samples.size() - from, trim->left));
    trim->skip -= from;
    trim->left -= count;
    trim->written += count;
    if (count == samples.size()) return sink.write(samples);
    return count == 0 || sink.write(std::vector<float>(samples.begin() + from, samples.begin() + from + count));
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
    /* A session begins at the block that holds its start, the decoder
     * reset.  It is started kLeadMs early, so that the decoder has settled
     * (and gives the samples of a decode from the beginning) by --start,
     * and the output drops what comes before.  A session that has decoded
     * nothing ends at its block's time: that is where its samples begin. */
    const uint32_t lead = options.startMs < kLeadMs ? options.startMs : kLeadMs;
    const uint32_t own_start = salvage.start(options.startMs - lead);
    const uint32_t control = g_control;
    result = KVXStartDecoding(own_start);
    uint32_t block_ms = own_start;
    if (result == KVX_OK && own_start != 0) {
        KVXEndDecoding(&block_ms);
        g_control = control;
        result = KVXStartDecoding(own_start);
    }
    if (result != KVX_OK) return fail(options.input, result);
    uint32_t first_ms = block_ms; /* on the recording's timeline: the silence of damage before it counted */
    for (const Gap &gap : salvage.scan().gaps)
        if (gap.atMs < block_ms) first_ms += gap.ms;
    const uint32_t early_ms = first_ms < options.startMs ? options.startMs - first_ms : 0;
    const uint32_t end = options.endMs != 0 && options.endMs < length ? options.endMs : length;
    Trim trim;
    trim.skip = samples_in(early_ms, rate);
    if (options.endMs != 0) trim.left = samples_in(end - options.startMs, rate);

    /* The header's fields and marks go into the output's tags and the
     * sidecars; a record that cannot be read leaves the audio untagged. */
    Metadata metadata;
    const bool described = read_metadata(options.input, length, codecs, &metadata) == KVX_OK;
    Sink sink;
    sink.metadata = described ? &metadata : nullptr;
    sink.startMs = options.startMs;
    sink.endMs = options.endMs != 0 && options.endMs < length ? options.endMs : length;
    PartFile part(options.output);
    if (!sink.open(part.path(), decode_format(options), options.f32, rate)) return kExitFailure;

    const bool bar = isatty(fileno(stderr)) != 0;
    double position = options.startMs - early_ms;
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
            const size_t at = out.size();
            out.resize(at + samples);
            for (size_t i = 0; i < samples; ++i) out[at + i] = pcm[i] * (1.0f / 32768.0f);
        }
#ifdef KVX_HAVE_SOXR
        else if (!resampler.process(pcm, samples, &out)) {
            ok = false;
            break;
        }
#endif
        /* Written some thousand samples at a time, or as soon as they hold
         * all that is still wanted. */
        if (out.size() >= kWriteSamples || out.size() >= trim.skip + trim.left) {
            ok = write_trimmed(sink, out, &trim);
            out.clear();
            if (!ok) break;
        }
        position += codec ? 30 : 24;
        if (bar && end > 0) {
            const int percent = static_cast<int>(100.0 * position / end > 100 ? 100 : 100.0 * position / end);
            if (percent != shown) {
                std::fprintf(stderr, "\r[%-40.*s] %3d%%", percent * 40 / 100, "########################################",
                             percent);
                shown = percent;
            }
        }
        if (trim.left == 0) break;
    }
#ifdef KVX_HAVE_SOXR
    if (ok) ok = resampler.finish(&out);
#endif
    if (ok) ok = write_trimmed(sink, out, &trim);
    if (bar) std::fputc('\n', stderr);
    const bool closed = sink.close(rate);
    if (!ok || !closed) {
        std::fprintf(stderr, "kvx: %s: write failed\n", options.output.c_str());
        return 1;
    }
    if (!part.commit()) return kExitFailure;
    if (options.status)
        std::fprintf(stderr, "%s -> %s: %s\n", options.input.c_str(), options.output.c_str(),
                     format_time(static_cast<uint32_t>(trim.written * 1000 / rate)).c_str());
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
        if (decode->folder.empty() && decode->output.empty())
            return usage_error(*self, "--output is required (or --dir FOLDER, for several recordings)");
        if (!decode->folder.empty()) return decode_batch(*self, *decode);
        if (decode->inputs.size() > 1)
            return usage_error(*self, "several recordings are decoded into a folder: -d FOLDER, not -o");
        decode->input = decode->inputs.front();
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
    command->add_option("FILE", decode->inputs, "the recording, or several with -d")->required();
    CLI::Option *output =
        command->add_option("-o,--output", decode->output, "the output file (- for standard output): its extension tells the format")
            ->check(audio_name)
            ->type_name("OUT");
    CLI::Option *folder = command->add_option("-d,--dir", decode->folder, "decode each FILE into this folder, named as the FILE")
                              ->excludes(output)
                              ->type_name("FOLDER");
    command->add_option("--type", decode->type, "with -d: the outputs' format, wav (the default), flac or raw")
#ifdef KVX_HAVE_SNDFILE
        ->check(CLI::IsMember({"wav", "flac", "raw"}))
#else
        ->check(CLI::IsMember({"wav", "raw"}))
#endif
        ->type_name("TYPE")
        ->needs(folder);
    command->add_option("-j,--jobs", decode->jobs, "with -d: decode N files at once")
        ->check(CLI::Range(1u, 64u))
        ->type_name("N")
        ->needs(folder);
    command->add_flag("--force", decode->force, "with -d: replace outputs that exist (else they are left, and refused)")
        ->needs(folder);
    command->add_flag("--status", decode->status, "say \"FILE -> OUT: length\" on stderr at the end")->group("");
    add_time(command, "--start", &decode->startMs, "decode from here, to the sample");
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
        "Hz), through libsoxr; --rate 16000 is the rate speech recognisers take.\n\n"
#else
        "This build has no libsoxr: it has no --rate, and refuses a file with both codecs.\n\n"
#endif
        "WAV and FLAC files keep the header (UTF-8): title = text 1, artist = text 2, album =\n"
        "text 3, date = the recording's start (YYYY-MM-DD hh:mm:ss), software = kvx; the\n"
        "comment holds every other field as key=value lines (as in --json, itemA.a ...).  In a\n"
        "WAV file (RIFF LIST/INFO: INAM IART IPRD ICRD ISFT ICMT) each mark within the output is\n"
        "a cue point, at its sample at the output rate from --start, labelled \"mark N\" (LIST/\n"
        "adtl labl); in a FLAC file (Vorbis comment) it is a comment line\n"
        "\"CUE=hh:mm:ss.mmm mark N\", the time from --start.  --labels FILE writes the marks as\n"
        "lines \"start<TAB>end<TAB>text\" in seconds from --start (end = start), the label\n"
        "track audio editors import; --json FILE every field and mark as `kvx info --json` gives\n"
        "them, with the output's file, rate and stretch.  Standard output carries no tags.\n\n"
        "A damaged or cut-short file is decoded as far as and around the damage: each damaged\n"
        "stretch (a block header or frame count no recorder writes, frames that do not meet\n"
        "the next block) becomes silence as long as it was (\"about\" where the header cannot\n"
        "tell), a file cut short ends at its last whole frame; standard error gets a \"damage:\"\n"
        "line for each and the length recovered, and the exit status is 3.\n\n"
        "--start and --end cut the output to the sample at the output rate: it begins at --start\n"
        "and lasts (end - start) x rate / 1000 samples, those of a decode of the whole file (the\n"
        "decoder starts 3 s early, at a block, and settles).\n\n"
        "Several recordings: 'kvx decode A.kvx B.kvx ... -d FOLDER' writes FOLDER/A.wav, ...\n"
        "(--type flac or raw for .flac or .raw), each decoded by a process of its own, -j N at\n"
        "once.  Two recordings of one name are refused before anything is decoded; an output\n"
        "that exists already is left, and its recording refused, unless --force.  Standard\n"
        "error gets a line per recording: \"A.kvx -> FOLDER/A.wav: 0:12:31.240\" (the output's\n"
        "length) or \"B.kvx: not a KVX file\".  The exit status is 0 when every recording was\n"
        "decoded, 1 when one failed, else 3 when one was salvaged.  An output file is written\n"
        "as .NAME.PID.part beside it and takes its name only when whole.\n\n"
        "-o - writes a WAV stream to standard output (its sizes say \"unknown\" where the output\n"
        "cannot seek), --raw the samples alone (little-endian); a name ending in .raw or .pcm\n"
        "gets the samples alone too.  Messages and progress go to standard error only.");
}
