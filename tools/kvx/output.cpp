/*
 * The tool's audio outputs.  WAV is written here: mono 16-bit PCM or 32-bit
 * float, to a file or to standard output, where libsndfile cannot write it
 * (a pipe cannot seek back to the sizes).  FLAC goes through libsndfile.
 */
#include "output.h"

#include <cctype>
#include <cmath>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif
#ifdef KVX_HAVE_SNDFILE
#include <sndfile.h>
#endif

std::string output_format(const std::string &path, AudioFormat *format)
{
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of("/\\");
    std::string extension = dot == std::string::npos || (slash != std::string::npos && dot < slash) ? ""
                                                                                                     : path.substr(dot);
    for (char &c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == ".wav") {
        *format = AudioFormat::Wav;
        return "";
    }
#ifdef KVX_HAVE_SNDFILE
    const char *known = ".wav or .flac";
    if (extension == ".flac") {
        *format = AudioFormat::Flac;
        return "";
    }
#else
    const char *known = ".wav (this build writes no FLAC: it has no libsndfile)";
#endif
    return "'" + path + "': " + (extension.empty() ? "no extension" : "unknown output format " + extension) +
           "; the name must end in " + known;
}

void WavWriter::header(uint32_t rate, bool final)
{
    /* 0xFFFFFFFF in the size fields: the length is not known (yet). */
    const uint32_t unknown = 0xFFFFFFFFu;
    const uint32_t extra = isFloat ? 2 + 12 : 0; /* a float format's cbSize and fact chunk */
    const uint64_t riff = 36 + extra + bytes;
    const unsigned width = isFloat ? 4 : 2;
    const uint32_t sizes[3] = {!final || riff > unknown ? unknown : static_cast<uint32_t>(riff),
                               !final || bytes > unknown ? unknown : static_cast<uint32_t>(bytes / width),
                               !final || bytes > unknown ? unknown : static_cast<uint32_t>(bytes)};
    unsigned char h[58];
    size_t n = 0;
    auto text = [&](const char *t) { for (int i = 0; i < 4; ++i) h[n++] = static_cast<unsigned char>(t[i]); };
    auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) h[n++] = static_cast<unsigned char>(v >> (8 * i)); };
    auto u16 = [&](uint32_t v) { for (int i = 0; i < 2; ++i) h[n++] = static_cast<unsigned char>(v >> (8 * i)); };
    text("RIFF");
    u32(sizes[0]);
    text("WAVE");
    text("fmt ");
    u32(isFloat ? 18 : 16);
    u16(isFloat ? 3 : 1); /* IEEE float or PCM */
    u16(1);
    u32(rate);
    u32(rate * width);
    u16(width);
    u16(width * 8);
    if (isFloat) {
        u16(0);
        text("fact");
        u32(4);
        u32(sizes[1]);
    }
    text("data");
    u32(sizes[2]);
    std::fwrite(h, 1, n, file);
}

bool WavWriter::open(const char *path, uint32_t rate)
{
    owned = std::strcmp(path, "-") != 0;
    if (owned) {
        file = std::fopen(path, "wb");
        if (file == nullptr) return false;
    } else {
#ifdef _WIN32
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        file = stdout;
    }
    origin = std::ftell(file); /* -1 on a pipe */
    if (!headerless) header(rate, false);
    return !std::ferror(file);
}

bool WavWriter::write(const int16_t *samples, size_t count)
{
    staged.resize(count * 2);
    for (size_t i = 0; i < count; ++i) {
        const uint16_t v = static_cast<uint16_t>(samples[i]);
        staged[2 * i] = static_cast<unsigned char>(v & 0xFF);
        staged[2 * i + 1] = static_cast<unsigned char>(v >> 8);
    }
    bytes += count * 2;
    return std::fwrite(staged.data(), 1, staged.size(), file) == staged.size();
}

void to_s16(const float *in, size_t count, int16_t *out)
{
    for (size_t i = 0; i < count; ++i) {
        const float v = in[i] * 32768.0f;
        out[i] = static_cast<int16_t>(v >= 32767.0f ? 32767 : v <= -32768.0f ? -32768 : std::lrint(v));
    }
}

bool WavWriter::write(const float *samples, size_t count)
{
    if (!isFloat) {
        std::vector<int16_t> pcm(count);
        to_s16(samples, count, pcm.data());
        return write(pcm.data(), count);
    }
    staged.resize(count * 4);
    for (size_t i = 0; i < count; ++i) {
        uint32_t v;
        std::memcpy(&v, &samples[i], 4);
        for (int k = 0; k < 4; ++k) staged[4 * i + k] = static_cast<unsigned char>(v >> (8 * k));
    }
    bytes += count * 4;
    return std::fwrite(staged.data(), 1, staged.size(), file) == staged.size();
}

bool WavWriter::close(uint32_t rate)
{
    bool ok = std::fflush(file) == 0 && !std::ferror(file);
    /* A pipe cannot go back: its header keeps the unknown sizes. */
    if (ok && !headerless && origin >= 0 && std::fseek(file, origin, SEEK_SET) == 0) {
        header(rate, true);
        ok = std::fflush(file) == 0 && !std::ferror(file);
    }
    if (owned) ok = std::fclose(file) == 0 && ok;
    file = nullptr;
    return ok;
}

bool Sink::open(const std::string &path, AudioFormat format, bool f32, uint32_t rate)
{
#ifdef KVX_HAVE_SNDFILE
    if (format == AudioFormat::Flac) {
        SF_INFO info{};
        info.samplerate = static_cast<int>(rate);
        info.channels = 1;
        info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
        flac = sf_open(path.c_str(), SFM_WRITE, &info);
        if (flac == nullptr) std::fprintf(stderr, "kvx: %s: %s\n", path.c_str(), sf_strerror(nullptr));
        return flac != nullptr;
    }
#endif
    wav.isFloat = f32;
    wav.headerless = format == AudioFormat::Raw;
    if (wav.open(path.c_str(), rate)) return true;
    std::fprintf(stderr, "kvx: %s: cannot be created\n", path.c_str());
    return false;
}

bool Sink::write(const std::vector<float> &samples)
{
    if (samples.empty()) return true;
#ifdef KVX_HAVE_SNDFILE
    if (flac != nullptr) {
        pcm.resize(samples.size());
        to_s16(samples.data(), samples.size(), pcm.data());
        return sf_write_short(static_cast<SNDFILE *>(flac), pcm.data(), static_cast<sf_count_t>(pcm.size())) ==
               static_cast<sf_count_t>(pcm.size());
    }
#endif
    return wav.write(samples.data(), samples.size());
}

bool Sink::close(uint32_t rate)
{
#ifdef KVX_HAVE_SNDFILE
    if (flac != nullptr) return sf_close(static_cast<SNDFILE *>(flac)) == 0;
#endif
    return wav.close(rate);
}
