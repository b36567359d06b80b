/* The audio files the tool writes: WAV (through libsndfile, or here for
 * standard output and builds without it), FLAC (libsndfile) or the samples
 * alone, to a file or standard output. */
#ifndef KVX_TOOL_OUTPUT_H
#define KVX_TOOL_OUTPUT_H

#include <stddef.h>
#include <stdint.h>
#include <cstdio>
#include <string>
#include <vector>

#include "metadata.h"

/* The audio files the tool writes: WAV, FLAC, or the samples alone. */
enum class AudioFormat { Wav, Flac, Raw };

/* The format that an output file's name asks for, by its extension (in
 * any case), or why the name will not do.  Every command that writes audio
 * checks its output name here. */
std::string output_format(const std::string &path, AudioFormat *format);

/* A WAV file of mono 16-bit PCM or 32-bit float samples, or the samples
 * alone (little-endian).  The header's sizes are written by close() where
 * the stream can seek; a pipe keeps the "length unknown" sizes of the
 * first header, which readers take as "to the end". */
struct WavWriter {
    std::FILE *file = nullptr;
    uint64_t bytes = 0;
    bool isFloat = false;
    bool headerless = false;
    /* A file of that name, or standard output for "-". */
    bool open(const char *path, uint32_t rate);
    bool write(const int16_t *samples, size_t count);
    /* Full scale is 1.0; a 16-bit output rounds and clips. */
    bool write(const float *samples, size_t count);
    bool close(uint32_t rate);

private:
    bool owned = false;
    long origin = -1; /* where the header starts */
    std::vector<unsigned char> staged;
    void header(uint32_t rate, bool final);
};

/* Samples of full scale 1.0 as 16-bit ones, rounded and clipped. */
void to_s16(const float *in, size_t count, int16_t *out);

/* Where decode's samples go: a WavWriter (standard output, the samples
 * alone, or any WAV in a build without libsndfile) or libsndfile (WAV and
 * FLAC files), which keeps the recording's tags and marks in the file:
 * see decode --help. */
struct Sink {
    /* Tags and marks to keep, and the recording's stretch that the output
     * holds (marks are placed relative to startMs); set before open(). */
    const Metadata *metadata = nullptr;
    uint32_t startMs = 0, endMs = 0;

    /* Says why on stderr when it fails. */
    bool open(const std::string &path, AudioFormat format, bool f32, uint32_t rate);
    bool write(const std::vector<float> &samples);
    bool close(uint32_t rate);

    /* Where the samples go now. */
    WavWriter wav;
    void *file = nullptr; /* SNDFILE */
    std::string path;
    bool flac = false, isFloat = false;
    std::vector<Mark> marks; /* those within the stretch */
    std::vector<int16_t> pcm;
};

#endif
