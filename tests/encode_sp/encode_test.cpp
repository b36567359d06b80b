// The SP encoder: the packer against sp_unpack, every frame it writes
// against the decoder, and the quality of speech coded and decoded again.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "codec_sp/sp_frame.h"
#include "codec_sp/sp_state.h"
#include "codec_sp/sp_synthesis.h"
#include "encode_sp/sp_encoder.h"

#ifdef KVX_TEST_SPEECH
#include <sndfile.h>

#include "resample.h"
#endif

using namespace kvx;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr double kPi = 3.14159265358979323846;

void to_words(const uint8_t *bytes, uint32_t length, uint16_t words[kSpFrameWords])
{
    memset(words, 0, kSpFrameWords * sizeof words[0]);
    for (uint32_t i = 0; i < length; ++i) words[i >> 1] |= static_cast<uint16_t>(bytes[i] << ((i & 1) ? 0 : 8));
}

// A random frame as the decoder may meet it, less the bits sp_unpack drops:
// a lag code past the last one the four lags can give, and the two unused
// bits of a noise frame.
Bytes random_frame(std::mt19937 &rng, bool mode, bool noise)
{
    Bytes f(noise ? kSpNoiseBytes : kSpFullBytes);
    for (uint8_t &b : f) b = static_cast<uint8_t>(rng());
    if (mode) f[0] = static_cast<uint8_t>(noise ? f[0] & 0x7F : f[0] | 0x80);
    if (noise) f[7] &= 0xFC;  // bits 62 and 63
    else {
        const uint32_t code = static_cast<uint32_t>(rng() % (151u * 48 * 48 * 48));
        f[38] = static_cast<uint8_t>(code >> 16), f[39] = static_cast<uint8_t>(code >> 8), f[40] = static_cast<uint8_t>(code);
    }
    return f;
}

TEST(SpPack, InvertsUnpackOnEveryField)
{
    std::mt19937 rng(20);
    for (int trial = 0; trial < 3000; ++trial) {
        const bool mode = trial % 2, noise = mode && trial % 4 == 1;
        const Bytes f = random_frame(rng, mode, noise);
        uint16_t words[kSpFrameWords];
        to_words(f.data(), static_cast<uint32_t>(f.size()), words);
        SpFrameParams p{};
        sp_unpack(words, mode, &p);
        uint8_t out[kSpFullBytes];
        ASSERT_EQ(sp_pack(p, mode, out), f.size());
        ASSERT_EQ(Bytes(out, out + f.size()), f) << "trial " << trial;
        if (noise) continue;
        // The pulse positions back to their index (the decoder lowers an
        // index past the last combination to it).
        for (const SpSubframeParams &sub : p.sub)
            ASSERT_EQ(sp_encode_pulses(sub.position), std::min(sub.combination, kSpMaxCombination));
    }
}

// The encoder's frames for one input, each checked against the decoder:
// fields in range, packed again to the same bytes, and the decoder's
// synthesis (postfilter off) giving the very samples the encoder reckoned
// with.  Returns the decoder's output.
std::vector<int16_t> code_and_check(const std::vector<int16_t> &in, const SpEncoderOptions &options)
{
    SpEncoder *enc = sp_encoder_create(options);
    const bool mode = options.speechFlagMode;
    memset(&g_sp, 0, sizeof g_sp);
    SpChannelState channel{};
    SpFrameParams p{};
    std::vector<int16_t> decoded;
    for (size_t at = 0; at + kSpFrameSamples <= in.size(); at += kSpFrameSamples) {
        uint8_t frame[kSpFullBytes];
        const uint32_t length = sp_encode_frame(enc, in.data() + at, frame);
        EXPECT_TRUE(length == kSpFullBytes || (length == kSpNoiseBytes && mode && options.noiseFrames));
        uint16_t words[kSpFrameWords];
        to_words(frame, length, words);
        sp_unpack(words, mode, &p);
        EXPECT_EQ(p.speechFlag == 0, length == kSpNoiseBytes);
        for (int i = 0; i < kSpOrder; ++i) EXPECT_LT(p.filterIndex[i], kSpReflectionSize[i + 1]);
        if (p.speechFlag) {
            uint32_t code;
            EXPECT_TRUE(sp_encode_lags(p.lag, &code));
            for (const SpSubframeParams &sub : p.sub) EXPECT_LE(sub.combination, kSpMaxCombination);
        }
        uint8_t again[kSpFullBytes];
        EXPECT_EQ(sp_pack(p, mode, again), length);
        EXPECT_EQ(memcmp(again, frame, length), 0);
        int32_t out[kSpFrameSamples];
        sp_synthesize(p, mode, false, &channel, out);
        const int16_t *own = sp_encoder_output(enc);
        for (int n = 0; n < kSpFrameSamples; ++n) {
            decoded.push_back(static_cast<int16_t>(out[n]));
            if (out[n] != own[n]) {
                ADD_FAILURE() << "frame " << at / kSpFrameSamples << " sample " << n << ": decoder " << out[n]
                              << ", encoder " << own[n];
                sp_encoder_destroy(enc);
                return decoded;
            }
        }
    }
    sp_encoder_destroy(enc);
    return decoded;
}

TEST(SpEncoder, EveryFrameDecodesAsTheEncoderReckoned)
{
    constexpr int kLength = 40 * kSpFrameSamples;
    std::mt19937 rng(7);
    const std::vector<std::pair<const char *, std::function<int16_t(int)>>> inputs = {
        {"silence", [](int) { return int16_t{0}; }},
        {"noise", [&rng](int) { return static_cast<int16_t>(rng()); }},
        {"square 100 Hz", [](int n) { return static_cast<int16_t>(n / 60 % 2 ? 32767 : -32768); }},
        {"square 3 kHz", [](int n) { return static_cast<int16_t>(n / 2 % 2 ? 32767 : -32768); }},
        {"clipped sine", [](int n) { return static_cast<int16_t>(std::max(-32768.0, std::min(32767.0, 1e5 * sin(n * 0.07)))); }},
        {"DC high", [](int) { return int16_t{32767}; }},
        {"DC low", [](int) { return int16_t{-32768}; }},
        {"impulses", [](int n) { return static_cast<int16_t>(n % 97 == 0 ? 32767 : 0); }},
        {"bursts and pauses", [](int n) { return static_cast<int16_t>(n / 1000 % 2 ? n * 7919 % 41 - 20 : (n % 40 < 20 ? 30000 : -30000)); }},
    };
    for (const auto &input : inputs) {
        std::vector<int16_t> in(kLength);
        for (int n = 0; n < kLength; ++n) in[n] = input.second(n);
        for (int config = 0; config < 6; ++config) {
            SpEncoderOptions options;
            options.speechFlagMode = config % 3 != 0;
            options.noiseFrames = config % 3 == 2;
            options.analysisBySynthesis = config < 3;
            SCOPED_TRACE(std::string(input.first) + ", configuration " + std::to_string(config));
            code_and_check(in, options);
        }
    }
}

#ifdef KVX_TEST_SPEECH
// Ten sentences by two voices, made by espeak-ng at test time and brought to
// 12 kHz; coded by both encoders and decoded with the postfilter off.

std::vector<int16_t> speak(const std::string &voice, const std::string &text, const std::string &path)
{
    const std::string command = "espeak-ng -v " + voice + " -w '" + path + "' \"" + text + "\" 2>/dev/null";
    if (std::system(command.c_str()) != 0) return {};
    SF_INFO info{};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) return {};
    std::vector<int16_t> raw(static_cast<size_t>(info.frames * info.channels));
    sf_read_short(file, raw.data(), static_cast<sf_count_t>(raw.size()));
    sf_close(file);
    Resampler resampler;
    std::vector<float> out;
    if (!resampler.start(static_cast<uint32_t>(info.samplerate), 12000).empty()) return {};
    resampler.process(raw.data(), raw.size(), &out);
    resampler.finish(&out);
    std::vector<int16_t> speech(out.size());
    for (size_t i = 0; i < out.size(); ++i) speech[i] = static_cast<int16_t>(lrintf(std::max(-1.0f, std::min(1.0f, out[i])) * 32767));
    return speech;
}

struct Quality {
    double segmentalSnr = 0, spectralDistance = 0;
};

// Segmental SNR over 24 ms segments with some speech in them (each limited
// to -10..35 dB), and the RMS difference of the log power spectra (dB, 256
// bins of a Hann-windowed 512-point transform) over the same segments.
void measure(const std::vector<int16_t> &x, const std::vector<int16_t> &y, double *snr, double *lsd, int *count)
{
    constexpr int kSeg = 288, kBins = 256;
    static double kCos[512];
    for (int n = 0; n < 512; ++n) kCos[n] = cos(2 * kPi * n / 512);
    for (size_t at = kSeg; at + 512 <= std::min(x.size(), y.size()); at += kSeg) {
        double signal = 0, noise = 0;
        for (int n = 0; n < kSeg; ++n) {
            signal += double(x[at + n]) * x[at + n];
            noise += (double(x[at + n]) - y[at + n]) * (double(x[at + n]) - y[at + n]);
        }
        if (signal < kSeg * 100.0 * 100.0) continue;  // below -50 dB: a pause
        *snr += std::max(-10.0, std::min(35.0, 10 * log10(signal / (noise + 1e-9))));
        double px[kBins], py[kBins], top = 0;
        for (int k = 1; k <= kBins; ++k) {
            double xr = 0, xi = 0, yr = 0, yi = 0;
            for (int n = 0; n < 512; ++n) {
                const double w = (0.5 - 0.5 * kCos[n]) * x[at + n], v = (0.5 - 0.5 * kCos[n]) * y[at + n];
                const int ph = k * n % 512;
                xr += w * kCos[ph], xi -= w * kCos[(ph + 384) % 512];
                yr += v * kCos[ph], yi -= v * kCos[(ph + 384) % 512];
            }
            px[k - 1] = xr * xr + xi * xi, py[k - 1] = yr * yr + yi * yi;
            top = std::max(top, px[k - 1]);
        }
        // Bins more than 50 dB below the input's strongest count as at that floor.
        double d = 0;
        for (int k = 0; k < kBins; ++k) {
            const double diff = 10 * log10(std::max(px[k], top * 1e-5) / std::max(py[k], top * 1e-5));
            d += diff * diff;
        }
        *lsd += sqrt(d / kBins);
        ++*count;
    }
}

TEST(SpEncoderQuality, BeatsTheOpenLoopEncoderOnSpeech)
{
    if (std::system("espeak-ng --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "espeak-ng is not installed: no speech to code";
    const char *sentences[] = {
        "The quick brown fox jumps over the lazy dog.",
        "Please send the report to the accounts department by Friday.",
        "Dictation saves time when the letter is long.",
        "Seven new patients were admitted on Tuesday morning.",
        "The meeting has been moved to half past three.",
    };
    const char *tmp = std::getenv("TEST_TMPDIR");
    const std::string folder = tmp != nullptr ? tmp : "/tmp";
    double snr[2] = {}, lsd[2] = {};
    int count[2] = {};
    int made = 0;
    for (const char *voice : {"en", "en+f3"}) {
        for (const char *text : sentences) {
            const std::vector<int16_t> x = speak(voice, text, folder + "/sentence.wav");
            ASSERT_GT(x.size(), 12000u) << voice << ": " << text;
            ++made;
            for (int abs = 0; abs < 2; ++abs) {
                SpEncoderOptions options;
                options.analysisBySynthesis = abs == 1;
                // The decoder's output is the input's time: no delay to align.
                measure(x, code_and_check(x, options), &snr[abs], &lsd[abs], &count[abs]);
            }
        }
    }
    ASSERT_EQ(made, 10);
    for (int abs = 0; abs < 2; ++abs) snr[abs] /= count[abs], lsd[abs] /= count[abs];
    std::printf("segmental SNR: %.2f dB (analysis by synthesis), %.2f dB (open loop)\n", snr[1], snr[0]);
    std::printf("log-spectral distance: %.2f dB (analysis by synthesis), %.2f dB (open loop)\n", lsd[1], lsd[0]);
    EXPECT_GE(snr[1], snr[0] + 3.0);
    // Floors a little below what the encoder reaches (11.7 dB, 7.6 dB), so
    // that a search that loses its way shows even while it beats open loop.
    EXPECT_GT(snr[1], 10.5);
    EXPECT_LT(lsd[1], 8.1);
}
#endif

} // namespace
