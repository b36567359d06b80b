/* The tool's decode and play commands, and what they share with the feed
 * command: the output names and the WAV writer. */
#ifndef KVX_TOOL_AUDIO_H
#define KVX_TOOL_AUDIO_H

#include <stddef.h>
#include <stdint.h>
#include <cstdio>
#include <string>

/* The audio files the tool writes. */
enum class AudioFormat { Wav, Flac };

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
};

struct PlayOptions {
    std::string input;
    uint32_t startMs = 0;
    int speed = 0; /* -4..4 */
    bool postfilter = false;
};

/* A WAV file of 16-bit mono PCM, its sizes written at the end by close(). */
struct WavWriter {
    std::FILE *file = nullptr;
    uint32_t bytes = 0;
    bool open(const char *path, uint32_t rate);
    bool write(const int16_t *samples, size_t count);
    bool close(uint32_t rate);

private:
    void header(uint32_t rate);
};

int decode_file(const DecodeOptions &options);
int play_file(const PlayOptions &options);

#endif
