/*
 * kvx encode: a WAV file (any rate, any number of channels) to a new KVX
 * recording of SP frames.
 *
 * The channels are mixed down to mono and brought to the codec's 12000 Hz
 * by libsoxr; the SP encoder (kvx_encode_sp) codes each 288 samples, the
 * last frame filled up with silence, and the library's write session writes
 * them as one segment and commits the file, which fills the header's dates.
 * With --flag-mode the frames carry the speech flag; every frame is a full
 * one, as the write session takes 41-byte SP frames only.  insert and
 * overwrite code their WAV sources here too (encode.h).
 */
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <sndfile.h>

#include "common.h"
#include "encode.h"
#include "encode_sp/sp_encoder.h"
#include "kvx.h"
#include "resample.h"

std::string read_speech(const std::string &path, std::vector<int16_t> *speech)
{
    SF_INFO info{};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) return sf_strerror(nullptr);
    if (info.channels < 1 || info.samplerate < 1) {
        sf_close(file);
        return "no audio channels";
    }
    std::vector<float> mixed;
    std::vector<float> block(4096 * static_cast<size_t>(info.channels));
    for (;;) {
        const sf_count_t frames = sf_readf_float(file, block.data(), 4096);
        if (frames <= 0) break;
        for (sf_count_t i = 0; i < frames; ++i) {
            float sum = 0;
            for (int c = 0; c < info.channels; ++c) sum += block[static_cast<size_t>(i * info.channels + c)];
            mixed.push_back(sum / static_cast<float>(info.channels));
        }
    }
    sf_close(file);
    std::vector<int16_t> pcm(mixed.size());
    for (size_t i = 0; i < mixed.size(); ++i)
        pcm[i] = static_cast<int16_t>(std::lrint(std::fmax(-1.0f, std::fmin(1.0f, mixed[i])) * 32767.0f));
    Resampler resampler;
    const std::string refused = resampler.start(static_cast<uint32_t>(info.samplerate), 12000);
    if (!refused.empty()) return refused;
    std::vector<float> out;
    if (!resampler.process(pcm.data(), pcm.size(), &out) || !resampler.finish(&out)) return "the rate conversion failed";
    speech->resize(out.size());
    for (size_t i = 0; i < out.size(); ++i)
        (*speech)[i] = static_cast<int16_t>(std::lrint(std::fmax(-1.0f, std::fmin(1.0f, out[i])) * 32767.0f));
    return "";
}

size_t encode_speech(const std::vector<int16_t> &speech, bool flagMode, std::vector<uint8_t> *frames)
{
    const size_t count = (speech.size() + kvx::kSpFrameSamples - 1) / kvx::kSpFrameSamples;
    kvx::SpEncoderOptions options;
    options.speechFlagMode = flagMode;
    std::unique_ptr<kvx::SpEncoder, void (*)(kvx::SpEncoder *)> encoder(kvx::sp_encoder_create(options),
                                                                       kvx::sp_encoder_destroy);
    frames->assign(count * kvx::kSpFullBytes, 0);
    int16_t in[kvx::kSpFrameSamples];
    for (size_t i = 0; i < count; ++i) {
        const size_t at = i * kvx::kSpFrameSamples, n = std::min<size_t>(kvx::kSpFrameSamples, speech.size() - at);
        std::copy(speech.begin() + static_cast<std::ptrdiff_t>(at), speech.begin() + static_cast<std::ptrdiff_t>(at + n), in);
        std::fill(in + n, in + kvx::kSpFrameSamples, int16_t{0});
        kvx::sp_encode_frame(encoder.get(), in, frames->data() + i * kvx::kSpFullBytes);
    }
    return count;
}

namespace {

struct EncodeArgs {
    std::string input;
    std::string output;
    bool flagMode = false;
};

int command_encode(const EncodeArgs &args)
{
    std::vector<int16_t> speech;
    const std::string problem = read_speech(args.input, &speech);
    if (!problem.empty()) {
        std::fprintf(stderr, "kvx: %s: %s\n", args.input.c_str(), problem.c_str());
        return 1;
    }
    std::vector<uint8_t> coded;
    const size_t frames = encode_speech(speech, args.flagMode, &coded);
    if (frames == 0) {
        std::fprintf(stderr, "kvx: %s: no samples to encode; nothing was written\n", args.input.c_str());
        return 1;
    }

    uint32_t result = 0;
    WriteHandle *h = KVXCreateFile(args.output.c_str(), 0, &result);
    if (h == nullptr) return fail(args.output, result);
    uint8_t mode = args.flagMode ? 1 : 0;
    result = KVXSetWritePointer(h, 0, &mode, 1, 0);
    WriteStatus status{};
    for (size_t i = 0; i < frames && result == KVX_OK; ++i)
        result = KVXWriteFile(h, coded.data() + i * kvx::kSpFullBytes, i + 1 == frames, &status);
    if (result == KVX_OK) result = KVXCloseFileEx(h, "", 0);
    if (result != KVX_OK) {
        KVXCloseFileEx(h, "", 1);
        return fail(args.output, result);
    }
    std::printf("%s: %zu frames, %s (%u ms)\n", args.output.c_str(), frames, format_time(status.length).c_str(),
                status.length);
    return 0;
}

} // namespace

void add_encode_command(CLI::App &tool)
{
    auto args = std::make_shared<EncodeArgs>();
    CLI::App *encode = add_command(tool, "encode", "code a WAV file as a new SP recording",
                                   [args]() { return command_encode(*args); });
    encode->add_option("IN", args->input, "the WAV file (any rate; channels mixed down)")->required();
    encode->add_option("-o,--output", args->output, "the recording to write, named *.kvx")->required()->type_name("OUT");
    encode->add_flag("--flag-mode", args->flagMode, "frames with the speech flag (all of them full frames)");
    encode->footer("The speech is coded at 12000 Hz, 24 ms a frame of 41 bytes.  The file is written\n"
                   "through the library's write session; its header dates are those of the encoding.");
}
