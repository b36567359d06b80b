/* A recording's header fields and index marks as the tool hands them on:
 * one JSON object, a CSV row, a label track, the "key=value" lines of an
 * audio file's comment.  output.cpp puts them into WAV and FLAC tags. */
#ifndef KVX_TOOL_METADATA_H
#define KVX_TOOL_METADATA_H

#include <stdint.h>
#include <string>
#include <vector>

#include "kvx.h"

struct Mark {
    uint32_t ms = 0;       /* in the recording */
    bool extended = false; /* an extended mark, else a short one */
    std::string text;      /* the header keeps no words with a mark: "mark N", N in time order */
};

/* The header's fields, texts in UTF-8 (the header holds Windows-1252), as
 * `kvx info` shows them. */
struct Metadata {
    std::string file;
    uint32_t lengthMs = 0;
    uint16_t codecs = 0;
    long chunks = -1;
    int headerBlocks = 1;
    bool extended = false;
    std::string text1, text2, text3, text4;
    uint32_t number = 0, number2 = 0, headerLengthMs = 0;
    uint16_t word32 = 0, endTrans = 0;
    int16_t signedWord = 0;
    std::string lengthDigits, startDate, startTime, endDate, endTime; /* HHMMSS, YYMMDD, HHMMSS */
    uint8_t lock = 0, priority = 0, codingMode = 0, flag1 = 0, flag2 = 0;
    struct Item {
        uint32_t a = 0, b = 0;
        std::string text;
    } items[3]; /* itemA, itemB, itemC */
    std::vector<Mark> marks; /* in time order */
    std::vector<std::string> damage; /* what a damaged file's scan says */
};

/* The ACTIVE file's record and marks (`path` is that file, read for its
 * record; length and codecs as opening it gave them).  A library result. */
uint32_t read_metadata(const std::string &path, uint32_t length, uint16_t codecs, Metadata *out);

/* The header record without changing the file: read here and handed over
 * as an image (the file getter would add a second header block to a
 * one-block file).  Says whether the file has two header blocks and the
 * second is valid. */
bool read_record(const char *path, HeaderInfoEx *info, bool *two_blocks, bool *extended);

/* "SP", "LP", "SP and LP" or "none". */
std::string codec_names(uint16_t codecs);

/* A JSON string literal of UTF-8 text; bytes that are not UTF-8 become
 * U+FFFD, so that the result is always valid JSON. */
std::string json_string(const std::string &text);
/* One line, no newline: every field and the marks; `more` (members
 * "\"key\": value" joined by ", ") is added at the end. */
std::string metadata_json(const Metadata &m, const std::string &more = "");
std::string json_error(const std::string &file, const std::string &error, uint32_t code);

/* A CSV field quoted as RFC 4180 has it, where it needs to be. */
std::string csv_field(const std::string &text);
/* Rows end in CRLF.  The header names the columns of metadata_csv(). */
std::string csv_header();
std::string metadata_csv(const Metadata &m);
std::string csv_error(const std::string &file, const std::string &error, uint32_t code);

/* The marks an output of the recording's stretch [startMs, endMs] holds. */
std::vector<Mark> marks_within(const Metadata &m, uint32_t startMs, uint32_t endMs);
/* A label track: "start<TAB>end<TAB>text" a line, seconds from startMs
 * with 6 decimals, end = start (a point). */
std::string label_track(const std::vector<Mark> &marks, uint32_t startMs);
/* "hh:mm:ss.mmm". */
std::string cue_time(uint32_t ms);

/* decode's sidecars: the marks of the output's stretch as a label track
 * into `labels`, every field and mark as JSON (with the output's name,
 * rate and stretch) into `json`; "" for none.  Without a record (m null)
 * neither can be written.  Says why on stderr when one fails. */
bool write_sidecars(const std::string &labels, const std::string &json, const Metadata *m, const std::string &output,
                    uint32_t rate, uint32_t startMs, uint32_t endMs);

/* What an audio file's tags say.  title, artist, album: texts 1, 2 and 3;
 * date: the recording's start as "YYYY-MM-DD hh:mm:ss" (empty when the
 * header has none); comment: "key=value" lines of every other field. */
struct Tags {
    std::string title, artist, album, date, comment;
};
Tags tags_of(const Metadata &m);

#endif
