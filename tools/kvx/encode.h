/*
 * encode.h - speech from a sound file coded as SP frames: for kvx encode
 * and for the editing commands' WAV sources.
 */
#ifndef KVX_TOOL_ENCODE_H
#define KVX_TOOL_ENCODE_H

#include <cstdint>
#include <string>
#include <vector>

/* The sound file's samples mixed to mono at 12000 Hz; empty, or why not. */
std::string read_speech(const std::string &path, std::vector<int16_t> *speech);

/* The speech as 41-byte SP frames one after another, plain or with the
 * speech flag, the last frame filled up with silence: the frames a write
 * session takes.  Returns the number of frames. */
size_t encode_speech(const std::vector<int16_t> &speech, bool flagMode, std::vector<uint8_t> *frames);

#endif
