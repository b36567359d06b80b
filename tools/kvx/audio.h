/* The tool's decode and play commands, and what they share with the feed
 * command: the output names and the WAV writer. */
#ifndef KVX_TOOL_AUDIO_H
#define KVX_TOOL_AUDIO_H

#include <stddef.h>
#include <stdint.h>
#include <cstdio>
#include <string>
#include <vector>

/* The audio files the tool writes: WAV, FLAC, or the samples alone. */
enum class AudioFormat { Wav, Flac, Raw };

/* The format that an output file's name asks for, by its extension (in
 * any case), or why the name will not do.  Every command that writes audio
 * checks its output name here. */
std::string output_format(const std::string &path, AudioFormat *format);

struct DecodeOptions {
    std::string input;
    std::string output;
    uint32_t startMs = 0;
    uint32_t endMs = 0; /* 0: to the end */
    bool haveEnd = false;
    bool postfilter = false;
    bool nativeRate = false;
    uint32_t rate = 0;  /* 0: the codec's rate (see decode --help) */
    bool raw = false;   /* "-" gives the samples alone */
    bool f32 = false;   /* 32-bit float samples rather than 16-bit */
};

struct PlayOptions {
    std::string input;
    uint32_t startMs = 0;
    int speed = 0; /* -4..4 */
    bool postfilter = false;
};

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

int decode_file(const DecodeOptions &options);
int play_file(const PlayOptions &options);

#endif
