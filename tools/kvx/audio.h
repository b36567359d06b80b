/* The tool's decode and play commands. */
#ifndef KVX_TOOL_AUDIO_H
#define KVX_TOOL_AUDIO_H

#include <stdint.h>
#include <string>

struct DecodeOptions {
    std::string input;
    std::string output;
    uint32_t startMs = 0;
    uint32_t endMs = 0; /* 0: to the end */
    bool postfilter = false;
    bool nativeRate = false;
};

struct PlayOptions {
    std::string input;
    uint32_t startMs = 0;
    int speed = 0; /* -4..4 */
    bool postfilter = false;
};

int decode_file(const DecodeOptions &options);
int play_file(const PlayOptions &options);

#endif
