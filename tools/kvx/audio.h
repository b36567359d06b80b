/* The tool's decode and play commands. */
#ifndef KVX_TOOL_AUDIO_H
#define KVX_TOOL_AUDIO_H

#include <stddef.h>
#include <stdint.h>
#include <cstdio>
#include <string>
#include <vector>

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
    std::string labels; /* the marks as a label track, or "" */
    std::string json;   /* every header field and mark as JSON, or "" */
    /* Several files into a folder (batch.h). */
    std::vector<std::string> inputs;
    std::string folder;         /* -d: the outputs' folder, or "" */
    std::string type = "wav";   /* -d: the outputs' format, their extension */
    unsigned jobs = 1;          /* files decoded at once */
    bool force = false;         /* replace an existing output */
    bool status = false;        /* "IN -> OUT: length" on stderr at the end */
};

struct PlayOptions {
    std::string input;
    uint32_t startMs = 0;
    int speed = 0; /* -4..4 */
    bool postfilter = false;
};

/* Sets up the decoding service with a window of the tool's own and makes
 * the file the active file, its folder the active folder. */
uint32_t open_for_decoding(const std::string &path, uint32_t *length, uint16_t *codecs);
/* The control word that the decoding service reads. */
extern uint32_t g_control;
/* A start at or past the end: said on stderr, false. */
bool start_fits(const std::string &path, uint32_t start, uint32_t length);

int decode_file(const DecodeOptions &options);
int play_file(const PlayOptions &options);

namespace CLI {
class App;
}
void add_decode_command(CLI::App &tool);

#endif
