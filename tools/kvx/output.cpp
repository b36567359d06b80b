/*
 * The tool's audio outputs.  WAV and FLAC files go through libsndfile, with
 * the recording's tags and marks.  WAV to standard output, where libsndfile
 * cannot write it (a pipe cannot seek back to the sizes), and every WAV of
 * a build without libsndfile, is written here: mono 16-bit PCM or 32-bit
 * float, without tags.
 */
#include "output.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "metadata.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif
#ifdef KVX_HAVE_SNDFILE
#include <sndfile.h>
#endif
#ifndef KVX_TOOL_VERSION
#define KVX_TOOL_VERSION "unknown"
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
    /* Rounded to the nearest, ties to even, as lrint() does: adding and
     * taking away 1.5 * 2^23 leaves a float of that size no fraction, and
     * its rounding is to even.  Exact for every clipped value, and a loop
     * the compiler can vectorise. */
#if FLT_EVAL_METHOD == 0
    const float magic = 12582912.0f;
    for (size_t i = 0; i < count; ++i) {
        float v = in[i] * 32768.0f;
        v = std::min(std::max(v, -32768.0f), 32767.0f);
        out[i] = static_cast<int16_t>(static_cast<int32_t>((v + magic) - magic));
    }
#else
    /* x87 sums keep more bits than a float: no such trick there. */
    for (size_t i = 0; i < count; ++i) {
        const float v = in[i] * 32768.0f;
        out[i] = static_cast<int16_t>(v >= 32767.0f ? 32767 : v <= -32768.0f ? -32768 : std::lrint(v));
    }
#endif
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

#ifdef KVX_HAVE_SNDFILE
namespace {

/* The tags that libsndfile writes: WAV's LIST/INFO chunk (INAM, IART,
 * IPRD, ICRD, ICMT, ISFT) or FLAC's Vorbis comment.  libsndfile has no way
 * to write a Vorbis comment of another name, so a FLAC file's marks are
 * lines "CUE=hh:mm:ss.mmm text" of its comment. */
bool set_tags(SNDFILE *file, const Metadata &m, const std::vector<Mark> &marks, uint32_t startMs, bool flac)
{
    Tags tags = tags_of(m);
    if (flac)
        for (const Mark &k : marks) tags.comment += "CUE=" + cue_time(k.ms - startMs) + " " + k.text + "\n";
    const std::pair<int, const std::string *> strings[] = {{SF_STR_TITLE, &tags.title},   {SF_STR_ARTIST, &tags.artist},
                                                           {SF_STR_ALBUM, &tags.album},   {SF_STR_DATE, &tags.date},
                                                           {SF_STR_COMMENT, &tags.comment}};
    bool ok = sf_set_string(file, SF_STR_SOFTWARE, "kvx " KVX_TOOL_VERSION) == 0;
    for (const auto &s : strings)
        if (!s.second->empty()) ok = sf_set_string(file, s.first, s.second->c_str()) == 0 && ok;
    return ok;
}

/* libsndfile writes a WAV file's cue points without their names: the
 * labels go into a LIST/adtl chunk of "labl" chunks (cue point id, text)
 * added at the end of the closed file, and the RIFF size grows by it. */
bool append_labels(const std::string &path, const std::vector<Mark> &marks)
{
    if (marks.empty()) return true;
    std::vector<unsigned char> chunk;
    auto u32 = [&](size_t at, uint32_t v) { for (int i = 0; i < 4; ++i) chunk[at + i] = static_cast<unsigned char>(v >> (8 * i)); };
    auto text = [&](const char *t) { chunk.insert(chunk.end(), t, t + 4); };
    text("LIST");
    chunk.resize(8);
    text("adtl");
    for (size_t i = 0; i < marks.size(); ++i) {
        const std::string &label = marks[i].text;
        text("labl");
        const size_t at = chunk.size();
        chunk.resize(at + 8);
        u32(at, static_cast<uint32_t>(4 + label.size() + 1));
        u32(at + 4, static_cast<uint32_t>(i + 1));
        chunk.insert(chunk.end(), label.begin(), label.end());
        chunk.push_back(0);
        if (chunk.size() % 2) chunk.push_back(0); /* chunks start at even offsets */
    }
    u32(4, static_cast<uint32_t>(chunk.size() - 8));

    std::FILE *file = std::fopen(path.c_str(), "r+b");
    if (file == nullptr) return false;
    bool ok = std::fseek(file, 0, SEEK_END) == 0;
    long size = ok ? std::ftell(file) : -1;
    if (size > 0 && size % 2) {
        ok = std::fputc(0, file) != EOF;
        ++size;
    }
    ok = ok && size >= 12 && std::fwrite(chunk.data(), 1, chunk.size(), file) == chunk.size();
    unsigned char riff[4];
    const uint64_t total = static_cast<uint64_t>(size) + chunk.size() - 8;
    for (int i = 0; i < 4; ++i) riff[i] = static_cast<unsigned char>(total >> (8 * i));
    ok = ok && total <= 0xFFFFFFFFu && std::fseek(file, 4, SEEK_SET) == 0 && std::fwrite(riff, 1, 4, file) == 4;
    return std::fclose(file) == 0 && ok;
}

} // namespace
#endif

bool Sink::open(const std::string &path_, AudioFormat format, bool f32, uint32_t rate)
{
    path = path_;
#ifdef KVX_HAVE_SNDFILE
    /* libsndfile cannot write a WAV to a pipe ("this file format does not
     * support pipe write"): standard output goes through the WavWriter. */
    if (format == AudioFormat::Flac || (format == AudioFormat::Wav && path != "-")) {
        flac = format == AudioFormat::Flac;
        isFloat = f32 && !flac;
        SF_INFO info{};
        info.samplerate = static_cast<int>(rate);
        info.channels = 1;
        info.format = (flac ? SF_FORMAT_FLAC : SF_FORMAT_WAV) | (isFloat ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
        SNDFILE *sf = sf_open(path.c_str(), SFM_WRITE, &info);
        if (sf == nullptr) {
            std::fprintf(stderr, "kvx: %s: %s\n", path.c_str(), sf_strerror(nullptr));
            return false;
        }
        file = sf;
        if (metadata != nullptr) {
            marks = marks_within(*metadata, startMs, endMs);
            /* Cue points are taken before the first sample only, at the
             * output rate from the output's start. */
            SF_CUES cues{};
            for (const Mark &k : marks) {
                SF_CUE_POINT &cue = cues.cue_points[cues.cue_count];
                cue.indx = static_cast<int32_t>(++cues.cue_count);
                cue.position = cue.sample_offset = static_cast<uint32_t>(uint64_t(k.ms - startMs) * rate / 1000);
                std::memcpy(&cue.fcc_chunk, "data", 4);
                std::snprintf(cue.name, sizeof cue.name, "%s", k.text.c_str());
            }
            bool ok = true;
            if (!flac && cues.cue_count > 0) ok = sf_command(sf, SFC_SET_CUE, &cues, sizeof cues) == SF_TRUE;
            /* A FLAC file's tags come before its samples; a WAV file's are
             * written at close(), after the samples, so that a WAV without
             * marks keeps the plain 44-byte header of 16-bit samples. */
            if (flac) ok = set_tags(sf, *metadata, marks, startMs, true) && ok;
            if (!ok) {
                std::fprintf(stderr, "kvx: %s: the tags cannot be written: %s\n", path.c_str(), sf_strerror(sf));
                return false;
            }
        }
        return true;
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
    if (file != nullptr) {
        SNDFILE *sf = static_cast<SNDFILE *>(file);
        const sf_count_t count = static_cast<sf_count_t>(samples.size());
        if (isFloat) return sf_write_float(sf, samples.data(), count) == count;
        pcm.resize(samples.size());
        to_s16(samples.data(), samples.size(), pcm.data());
        return sf_write_short(sf, pcm.data(), count) == count;
    }
#endif
    return wav.write(samples.data(), samples.size());
}

bool Sink::close(uint32_t rate)
{
#ifdef KVX_HAVE_SNDFILE
    if (file != nullptr) {
        SNDFILE *sf = static_cast<SNDFILE *>(file);
        file = nullptr;
        bool ok = flac || metadata == nullptr || set_tags(sf, *metadata, marks, startMs, false);
        ok = sf_close(sf) == 0 && ok;
        return ok && (flac || append_labels(path, marks));
    }
#endif
    return wav.close(rate);
}
