/*
 * kvx - a command-line tool over the kvx library.
 *
 *   kvx info FILE [--json]           opening facts and every header field
 *   kvx marks FILE                   the index marks, as times
 *   kvx marks FILE add|del TIME      add or delete an index mark
 *   kvx set FILE FIELD=VALUE ...     set header fields
 *   kvx lock FILE | unlock FILE      lock the file against changes, or not
 *   kvx priority FILE N              set the priority byte
 *   kvx decode FILE -o OUT ...       decode to a WAV or FLAC file
 *   kvx play FILE ...                play through the sound device
 *   kvx index FILE...                record large files in their folder's database
 *   kvx delete [--yes] FILE...       delete recordings, asking about locked ones
 *   kvx cut FILE START END [-o OUT]  erase a stretch (edit.cpp has the editing commands)
 *   kvx insert|overwrite FILE AT SOURCE [--from T] [--to T] [-o OUT]
 *   kvx cat FILE... -o OUT           join recordings of one codec
 *   kvx feed FILE [--way 2] -o OUT   pull the frames through the transcription feed
 *
 * Times are milliseconds or h:mm:ss.mmm (also mm:ss and ss.mmm).
 */
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

#ifndef _WIN32
#include <unistd.h>

#include "kvx_posix.h"
#include "kvx_progress.h"
#endif

#include "audio.h"
#include "edit.h"
#include "feed.h"
#include "kvx.h"

std::string format_time(uint32_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%u:%02u:%02u.%03u", ms / 3600000u, ms / 60000u % 60u, ms / 1000u % 60u,
                  ms % 1000u);
    return text;
}

/* Milliseconds, or h:mm:ss.mmm and its shorter forms. */
bool parse_time(const char *text, uint32_t *ms)
{
    uint64_t fields[3] = {0, 0, 0};
    int count = 0;
    uint64_t millis = 0;
    const char *p = text;
    bool colon = false;
    for (;;) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
        uint64_t value = 0;
        while (std::isdigit(static_cast<unsigned char>(*p))) {
            value = value * 10 + static_cast<uint64_t>(*p++ - '0');
            if (value > 0xFFFFFFFFull) return false;
        }
        if (count == 3) return false;
        fields[count++] = value;
        if (*p == ':') {
            colon = true;
            ++p;
            continue;
        }
        break;
    }
    if (*p == '.') {
        ++p;
        int digits = 0;
        while (std::isdigit(static_cast<unsigned char>(*p)) && digits < 3) {
            millis = millis * 10 + static_cast<uint64_t>(*p++ - '0');
            ++digits;
        }
        if (digits == 0 || std::isdigit(static_cast<unsigned char>(*p))) return false;
        while (digits++ < 3) millis *= 10;
        colon = true;
    }
    if (*p != '\0') return false;
    uint64_t total;
    if (!colon) {
        total = fields[0];
    } else {
        uint64_t seconds = 0;
        for (int i = 0; i < count; ++i) seconds = seconds * 60 + fields[i];
        total = seconds * 1000 + millis;
    }
    if (total > 0xFFFFFFFFull) return false;
    *ms = static_cast<uint32_t>(total);
    return true;
}

const char *describe_result(uint32_t code)
{
    switch (code) {
    case KVX_ERR_OPEN: return "the file cannot be opened";
    case KVX_ERR_MEMORY: return "out of memory";
    case KVX_ERR_SIZE: return "the file's size cannot be read";
    case KVX_ERR_NO_FOLDER: return "no folder is active";
    case KVX_ERR_NOT_KVX: return "not a KVX file";
    case KVX_ERR_READ_ONLY: return "the file may not be written";
    case KVX_ERR_FOLDER: return "no such folder";
    case KVX_ERR_LOCKED: return "the file is locked (or the mark cannot be stored)";
    case KVX_ERR_ONE_BLOCK_HEADER: return "the file has a one-block header: no second-block fields";
    case KVX_ERR_NO_ACTIVE_FILE: return "no active file";
    case KVX_ERR_OPEN_FOR_WRITE: return "the file cannot be opened for writing";
    case KVX_ERR_NOT_EXTENDED: return "the header has no extended block";
    case KVX_ERR_REOPEN: return "the file cannot be opened";
    case KVX_ERR_BUSY: return "a write session is open";
    case KVX_ERR_MARKS_FULL: return "16 marks exist already, or one lies within a second of that time";
    case KVX_ERR_NO_SUCH_MARK: return "no mark at that time";
    case KVX_ERR_HANDLE: return "not the write session's handle";
    case KVX_ERR_NO_WRITE_POINTER: return "no write position set";
    case KVX_ERR_EDIT_MEMORY: return "out of memory while editing";
    case KVX_ERR_EDIT_OPEN: return "a file of the write session cannot be opened";
    case KVX_ERR_ERASE_RANGE: return "nothing to erase: the stretch is empty or lies past the end";
    case KVX_ERR_DISK_FULL: return "not enough disk space";
    case KVX_ERR_WRITE: return "a write to a file failed";
    case KVX_ERR_READ: return "a read from a file failed";
    case KVX_ERR_CREATE: return "a working or output file cannot be created";
    case KVX_ERR_RESERVE: return "the space reservation file cannot be made";
    case KVX_ERR_LENGTH_LIMIT: return "the length would pass 99:59:59";
    default: return "failed";
    }
}

namespace {

const char *const kUsage =
    "usage: kvx COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  info FILE [--json]          length, codecs, chunks and every header field\n"
    "  marks FILE                  list the index marks (short and extended) as times\n"
    "  marks FILE add TIME         add an index mark (extended where the header has them)\n"
    "  marks FILE del TIME         delete the index mark at TIME\n"
    "  set FILE FIELD=VALUE ...    set header fields: text1 number endtrans signed text2\n"
    "                              priority lock text3 itemA1 itemA2 itemAtext (B, C alike)\n"
    "                              flag1 flag2 number2 text4\n"
    "  lock FILE                   lock the file against changes\n"
    "  unlock FILE                 allow changes again\n"
    "  priority FILE N             set the priority byte (0..255)\n"
    "  decode FILE -o OUT [--start TIME] [--end TIME] [--postfilter] [--native-rate]\n"
    "                              decode to OUT: .wav, or .flac; SP at 11025 Hz (12000 Hz\n"
    "                              with --native-rate), LP at 8000 Hz; a file with both\n"
    "                              codecs gives one output at the SP rate, the LP parts\n"
    "                              resampled to it\n"
    "  play FILE [--start TIME] [--speed -4..4] [--postfilter]\n"
    "                              play through the sound device; Ctrl-C stops and prints\n"
    "                              the stop position\n"
    "  index FILE...               open each file with its folder's database on: a large\n"
    "                              file (3 chunks or more) gets its table recorded in the\n"
    "                              folder's KVXMANAGEMENT.DAT, if it is not there yet\n"
    "  delete [--yes] FILE...      delete recordings; a locked one only when confirmed\n"
    "                              (asked on a terminal, or all confirmed by --yes; on\n"
    "                              Windows the shell asks)\n"
    "  cut FILE START END [-o OUT] erase START..END (both taken back to a frame's start);\n"
    "                              OUT: write the result there and leave FILE as it is\n"
    "  insert FILE AT SOURCE [--from TIME] [--to TIME] [-o OUT]\n"
    "                              insert the frames of SOURCE (or of its stretch FROM..TO)\n"
    "                              at AT; SOURCE must be of FILE's codec and hold full frames\n"
    "                              only (no SP noise or LP silence frames, and for an SP file\n"
    "                              no speech-flag mode)\n"
    "  overwrite FILE AT SOURCE [--from TIME] [--to TIME] [-o OUT]\n"
    "                              the same, replacing the audio from AT on for as long as\n"
    "                              the new frames last (or to FILE's end and beyond)\n"
    "  cat FILE... -o OUT          join recordings of one codec and frame kind into the new\n"
    "                              file OUT, with the index marks of each at their new times\n"
    "  feed FILE [--way 1|2] [--postfilter] -o OUT.wav\n"
    "                              pull the SP frames through the transcription feed into a\n"
    "                              WAV file at 11025 Hz; --way 2 feeds from the first\n"
    "                              extended mark to the second; FILE must be named *.kvx\n"
    "  help                        show this text\n"
    "\n"
    "TIME is milliseconds or h:mm:ss.mmm (mm:ss.mmm and ss.mmm also do).\n"
    "The editing commands change nothing when they fail; they print the new length.\n";

int fail(const char *path, uint32_t code)
{
    std::fprintf(stderr, "kvx: %s: %s (result %u)\n", path, describe_result(code), code);
    return 1;
}

/* Splits a path into its folder and its name; the folder becomes the
 * active folder, so that the header functions find the name in it. */
struct Place {
    std::string folder;
    std::string name;
};

Place place_of(const std::string &path)
{
    const size_t cut = path.find_last_of("/\\");
    if (cut == std::string::npos) return {".", path};
    return {cut == 0 ? path.substr(0, 1) : path.substr(0, cut), path.substr(cut + 1)};
}

uint32_t activate(const char *path)
{
    const Place place = place_of(path);
    uint32_t result = KVXActiveFolder(place.folder.c_str(), 0);
    if (result != KVX_OK) return result;
    uint32_t length = 0;
    uint16_t codecs = 0;
    return KVXActiveFile(path, &length, &codecs);
}

/* The full record without changing the file: the header is read here and
 * handed over as an image (the file getter would add a second header block
 * to a one-block file). */
bool read_record(const char *path, HeaderInfoEx *info, bool *two_blocks, bool *extended)
{
    std::vector<uint8_t> image(9 + 1024, 0);
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    const size_t got = std::fread(image.data() + 9, 1, 1024, file);
    std::fclose(file);
    if (got < 512) return false;
    *two_blocks = image[9] == 2;
    *extended = image[9 + 8] == 2 && image[9 + 9] == 0 && image[9 + 10] == 0 && image[9 + 11] == 0;
    std::memset(image.data(), 'h', 9);
    return KVXGetHeaderInfoEx(reinterpret_cast<const char *>(image.data()), info) == KVX_OK;
}

std::string text_of(const char *field, size_t size)
{
    std::string out;
    for (size_t i = 0; i < size && field[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(field[i]);
        if (c == 0xFF) break;
        out += std::isprint(c) ? static_cast<char>(c) : '?';
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

std::string json_string(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

long chunk_count(const char *path)
{
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr) return -1;
    int blocks = std::fgetc(file);
    long size = -1;
    if (blocks != EOF && std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    std::fclose(file);
    if (size < 0 || blocks < 1) return -1;
    long audio = size - 512L * blocks;
    if (audio <= 0) audio = 1;
    return (audio + 255999) / 256000;
}

int command_info(const char *path, bool json)
{
    const Place place = place_of(path);
    uint32_t result = KVXActiveFolder(place.folder.c_str(), 0);
    uint32_t length = 0;
    uint16_t codecs = 0;
    if (result == KVX_OK) result = KVXActiveFile(path, &length, &codecs);
    if (result != KVX_OK) return fail(path, result);
    HeaderInfoEx ex{};
    bool two_blocks = false, extended = false;
    if (!read_record(path, &ex, &two_blocks, &extended)) return fail(path, KVX_ERR_NOT_KVX);
    std::string names;
    if (codecs & KVX_CODEC_SP) names += "SP";
    if (codecs & KVX_CODEC_LP) names += names.empty() ? "LP" : " and LP";
    if (names.empty()) names = "none";
    const std::string digits[5] = {std::string(ex.lengthDigits, 6), std::string(ex.startDate, 6),
                                   std::string(ex.startTime, 6), std::string(ex.endDate, 6),
                                   std::string(ex.endTime, 6)};
    struct Item {
        const char *name;
        uint32_t a, b;
        std::string text;
    } items[3] = {{"itemA", ex.itemA1, ex.itemA2, text_of(ex.itemAText, 20)},
                  {"itemB", ex.itemB1, ex.itemB2, text_of(ex.itemBText, 20)},
                  {"itemC", ex.itemC1, ex.itemC2, text_of(ex.itemCText, 20)}};

    if (json) {
        std::printf("{\n");
        std::printf("  \"file\": %s,\n", json_string(path).c_str());
        std::printf("  \"lengthMs\": %u,\n  \"length\": \"%s\",\n", length, format_time(length).c_str());
        std::printf("  \"codecs\": %u,\n  \"chunks\": %ld,\n", codecs, chunk_count(path));
        std::printf("  \"headerBlocks\": %d,\n  \"extended\": %s,\n", two_blocks ? 2 : 1, extended ? "true" : "false");
        std::printf("  \"text1\": %s,\n  \"number\": %u,\n", json_string(text_of(ex.text1, 16)).c_str(), ex.number);
        std::printf("  \"word32\": %u,\n  \"endTrans\": %u,\n  \"signedWord\": %d,\n", ex.word32, ex.endTrans,
                    ex.signedWord);
        std::printf("  \"lengthDigits\": %s,\n  \"startDate\": %s,\n  \"startTime\": %s,\n",
                    json_string(digits[0]).c_str(), json_string(digits[1]).c_str(), json_string(digits[2]).c_str());
        std::printf("  \"endDate\": %s,\n  \"endTime\": %s,\n", json_string(digits[3]).c_str(),
                    json_string(digits[4]).c_str());
        std::printf("  \"lock\": %u,\n  \"locked\": %s,\n  \"priority\": %u,\n", ex.lock, ex.lock == 0 ? "true" : "false",
                    ex.priority);
        std::printf("  \"text2\": %s,\n", json_string(text_of(ex.text2, 16)).c_str());
        std::printf("  \"codingMode\": %u,\n  \"headerLengthMs\": %u,\n", ex.codingMode, ex.lengthMs);
        std::printf("  \"text3\": %s,\n", json_string(text_of(ex.text3, 16)).c_str());
        for (const Item &item : items)
            std::printf("  \"%s\": {\"a\": %u, \"b\": %u, \"text\": %s},\n", item.name, item.a, item.b,
                        json_string(item.text).c_str());
        std::printf("  \"flag1\": %u,\n  \"flag2\": %u,\n  \"number2\": %u,\n", ex.flag1, ex.flag2, ex.number2);
        std::printf("  \"text4\": %s\n}\n", json_string(text_of(ex.text4, 100)).c_str());
        return 0;
    }
    std::printf("file:          %s\n", path);
    std::printf("length:        %s (%u ms)\n", format_time(length).c_str(), length);
    std::printf("codecs:        %s (flags %u)\n", names.c_str(), codecs);
    std::printf("chunks:        %ld\n", chunk_count(path));
    std::printf("header:        %d block%s%s\n", two_blocks ? 2 : 1, two_blocks ? "s" : "",
                extended ? ", extended" : "");
    std::printf("\nfirst block\n");
    std::printf("  text 1:      \"%s\"\n", text_of(ex.text1, 16).c_str());
    std::printf("  number:      %u\n", ex.number);
    std::printf("  word 32:     0x%04X\n", ex.word32);
    std::printf("  end-trans:   0x%04X\n", ex.endTrans);
    std::printf("  signed word: %d\n", ex.signedWord);
    std::printf("  recorded:    %s %s to %s %s\n", digits[1].c_str(), digits[2].c_str(), digits[3].c_str(),
                digits[4].c_str());
    std::printf("  length:      %s (HHMMSS)\n", digits[0].c_str());
    std::printf("  lock:        %u (%s)\n", ex.lock, ex.lock == 0 ? "locked" : "changes allowed");
    std::printf("  priority:    %u\n", ex.priority);
    std::printf("  text 2:      \"%s\"\n", text_of(ex.text2, 16).c_str());
    std::printf("\nsecond block%s\n", extended && two_blocks ? "" : " (none: fields read as zero)");
    std::printf("  coding mode: %u (%s)\n", ex.codingMode, ex.codingMode & 2 ? "LP" : "SP");
    std::printf("  length:      %s (%u ms)\n", format_time(ex.lengthMs).c_str(), ex.lengthMs);
    std::printf("  text 3:      \"%s\"\n", text_of(ex.text3, 16).c_str());
    for (const Item &item : items)
        std::printf("  %s:       %u, %u, \"%s\"\n", item.name, item.a, item.b, item.text.c_str());
    std::printf("  flag 1:      %u\n  flag 2:      %u\n  number 2:    %u\n", ex.flag1, ex.flag2, ex.number2);
    std::printf("  text 4:      \"%s\"\n", text_of(ex.text4, 100).c_str());
    return 0;
}

int command_marks(const char *path, const char *action, const char *time_text)
{
    uint32_t result = activate(path);
    if (result != KVX_OK) return fail(path, result);
    if (action != nullptr) {
        uint32_t ms = 0;
        if (!parse_time(time_text, &ms) || ms > 0x7FFFFFFFu) {
            std::fprintf(stderr, "kvx: not a time: %s\n", time_text);
            return 2;
        }
        uint32_t positions[16], count = 0;
        const bool add = std::strcmp(action, "add") == 0;
        result = add ? KVXWriteExtIndexMark(static_cast<int32_t>(ms)) : KVXDeleteExtIndexMark(ms);
        if (result == KVX_ERR_NOT_EXTENDED) {
            /* No extended marks in this header: the short ones. */
            result = KVXGetIndexMark(positions, &count);
            if (result == KVX_OK) result = add ? KVXWriteIndexMark(ms) : KVXDeleteIndexMark(ms);
        }
        if (result != KVX_OK) return fail(path, result);
        std::printf("%s %s\n", add ? "added" : "deleted", format_time(ms).c_str());
        return 0;
    }
    uint32_t positions[16], count = 0;
    result = KVXGetIndexMark(positions, &count);
    if (result != KVX_OK) return fail(path, result);
    std::printf("short marks: %u\n", count);
    for (uint32_t i = 0; i < count; ++i) std::printf("  %s (%u ms)\n", format_time(positions[i]).c_str(), positions[i]);
    result = KVXGetExtIndexMark(positions, &count);
    if (result != KVX_OK) return fail(path, result);
    std::printf("extended marks: %u\n", count);
    for (uint32_t i = 0; i < count; ++i) std::printf("  %s (%u ms)\n", format_time(positions[i]).c_str(), positions[i]);
    return 0;
}

bool parse_number(const std::string &text, uint64_t max, uint64_t *value)
{
    if (text.empty()) return false;
    char *end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || v > max) return false;
    *value = v;
    return true;
}

/* A number field of the packed record, by its place and width: decimal or
 * 0x hex, within its width.  Written byte-wise, since the record is packed. */
struct Field {
    char *at;
    size_t size;
};
#define RECORD_FIELD(record, member) \
    Field { reinterpret_cast<char *>(&(record)) + offsetof(HeaderInfoEx, member), sizeof((record).member) }

bool set_number(const std::string &text, Field field)
{
    uint64_t value = 0;
    const uint64_t max = field.size >= 8 ? ~0ull : (1ull << (8 * field.size)) - 1;
    if (!parse_number(text, max, &value)) return false;
    for (size_t i = 0; i < field.size; ++i) field.at[i] = static_cast<char>(value >> (8 * i)); /* little-endian */
    return true;
}

void put_text(char *field, size_t size, const std::string &text, char pad)
{
    std::memset(field, pad, size);
    std::memcpy(field, text.data(), text.size() < size ? text.size() : size);
}

int command_set(const char *path, int argc, char **argv)
{
    HeaderInfoEx ex{};
    bool two_blocks = false, extended = false;
    if (!read_record(path, &ex, &two_blocks, &extended)) return fail(path, KVX_ERR_NOT_KVX);
    uint32_t mask = 0;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t eq = arg.find('=');
        if (eq == std::string::npos) {
            std::fprintf(stderr, "kvx: expected FIELD=VALUE: %s\n", argv[i]);
            return 2;
        }
        const std::string field = arg.substr(0, eq), value = arg.substr(eq + 1);
        bool ok = true;
        struct ItemRef {
            const char *prefix;
            Field a, b;
            char *text;
            uint32_t bit;
        } item_refs[3] = {
            {"itemA", RECORD_FIELD(ex, itemA1), RECORD_FIELD(ex, itemA2), ex.itemAText, KVX_FIELD_ITEM_A},
            {"itemB", RECORD_FIELD(ex, itemB1), RECORD_FIELD(ex, itemB2), ex.itemBText, KVX_FIELD_ITEM_B},
            {"itemC", RECORD_FIELD(ex, itemC1), RECORD_FIELD(ex, itemC2), ex.itemCText, KVX_FIELD_ITEM_C}};
        bool known = true;
        if (field == "text1") {
            put_text(ex.text1, 16, value, ' ');
            mask |= KVX_FIELD_TEXT1;
        } else if (field == "number") {
            ok = set_number(value, RECORD_FIELD(ex, number));
            mask |= KVX_FIELD_NUMBER;
        } else if (field == "endtrans") {
            ok = set_number(value, RECORD_FIELD(ex, endTrans));
            mask |= KVX_FIELD_END_TRANS;
        } else if (field == "signed") {
            char *end = nullptr;
            const long v = std::strtol(value.c_str(), &end, 0);
            ok = !value.empty() && *end == '\0' && v >= -32768 && v <= 32767;
            ex.signedWord = static_cast<int16_t>(v);
            mask |= KVX_FIELD_SIGNED_WORD;
        } else if (field == "text2") {
            put_text(ex.text2, 16, value, static_cast<char>(0xFF));
            mask |= KVX_FIELD_TEXT2;
        } else if (field == "priority") {
            ok = set_number(value, RECORD_FIELD(ex, priority));
            mask |= KVX_FIELD_PRIORITY;
        } else if (field == "lock") {
            ok = set_number(value, RECORD_FIELD(ex, lock));
            mask |= KVX_FIELD_LOCK;
        } else if (field == "text3") {
            put_text(ex.text3, 16, value, 0);
            mask |= KVX_FIELD_TEXT3;
        } else if (field == "flag1") {
            ok = set_number(value, RECORD_FIELD(ex, flag1));
            mask |= KVX_FIELD_FLAG1;
        } else if (field == "flag2") {
            ok = set_number(value, RECORD_FIELD(ex, flag2));
            mask |= KVX_FIELD_FLAG2;
        } else if (field == "number2") {
            ok = set_number(value, RECORD_FIELD(ex, number2));
            mask |= KVX_FIELD_NUMBER2;
        } else if (field == "text4") {
            put_text(ex.text4, 100, value, 0);
            mask |= KVX_FIELD_TEXT4;
        } else {
            known = false;
            for (ItemRef &ref : item_refs) {
                const std::string prefix = ref.prefix;
                if (field == prefix + "1") ok = set_number(value, ref.a);
                else if (field == prefix + "2") ok = set_number(value, ref.b);
                else if (field == prefix + "text") put_text(ref.text, 20, value, 0);
                else continue;
                known = true;
                mask |= ref.bit;
            }
        }
        if (!known) {
            std::fprintf(stderr, "kvx: unknown field: %s\n", field.c_str());
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "kvx: bad value for %s: %s\n", field.c_str(), value.c_str());
            return 2;
        }
    }
    const uint32_t result = activate(path);
    if (result != KVX_OK) return fail(path, result);
    const uint32_t set = KVXSetHeaderInfo(&ex, mask);
    if (set != KVX_OK) return fail(path, set);
    return 0;
}

int command_lock(const char *path, bool lock)
{
    HeaderInfoEx ex{};
    ex.lock = lock ? 0 : 0xFF;
    uint32_t result = activate(path);
    if (result == KVX_OK) result = KVXSetHeaderInfo(&ex, KVX_FIELD_LOCK);
    if (result != KVX_OK) return fail(path, result);
    std::printf("%s %s\n", path, lock ? "locked" : "unlocked");
    return 0;
}

int command_priority(const char *path, const char *text)
{
    uint64_t n = 0;
    if (!parse_number(text, 0xFF, &n)) {
        std::fprintf(stderr, "kvx: priority is 0..255: %s\n", text);
        return 2;
    }
    uint32_t result = activate(path);
    if (result == KVX_OK) result = KVXWritePriority(static_cast<uint8_t>(n));
    if (result != KVX_OK) return fail(path, result);
    return 0;
}

bool time_option(const char *name, int argc, char **argv, int *i, uint32_t *ms)
{
    if (std::strcmp(argv[*i], name) != 0) return false;
    if (*i + 1 >= argc || !parse_time(argv[*i + 1], ms)) {
        std::fprintf(stderr, "kvx: %s needs a time\n", name);
        std::exit(2);
    }
    ++*i;
    return true;
}

int command_decode(int argc, char **argv)
{
    DecodeOptions options;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (time_option("--start", argc, argv, &i, &options.startMs)) continue;
        if (time_option("--end", argc, argv, &i, &options.endMs)) continue;
        if (arg == "--postfilter") options.postfilter = true;
        else if (arg == "--native-rate") options.nativeRate = true;
        else if (arg == "-o" && i + 1 < argc) options.output = argv[++i];
        else if (options.input.empty() && arg[0] != '-') options.input = arg;
        else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (options.input.empty() || options.output.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    return decode_file(options);
}

int command_play(int argc, char **argv)
{
    PlayOptions options;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (time_option("--start", argc, argv, &i, &options.startMs)) continue;
        if (arg == "--postfilter") options.postfilter = true;
        else if (arg == "--speed" && i + 1 < argc) {
            char *end = nullptr;
            const long speed = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || speed < -4 || speed > 4) {
                std::fprintf(stderr, "kvx: --speed is -4..4\n");
                return 2;
            }
            options.speed = static_cast<int>(speed);
        } else if (options.input.empty() && arg[0] != '-') options.input = arg;
        else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (options.input.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    return play_file(options);
}

/* The whole management file, to tell whether an opening changed it. */
struct Snapshot {
    bool present = false;
    std::string bytes;
};

Snapshot snapshot_of(const std::string &path)
{
    Snapshot shot;
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return shot;
    shot.present = true;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) shot.bytes.append(buffer, got);
    std::fclose(file);
    return shot;
}

bool operator!=(const Snapshot &a, const Snapshot &b)
{
    return a.present != b.present || a.bytes != b.bytes;
}

#ifndef _WIN32
/* What the progress dialog showed during one opening.  The bar is drawn
 * only when stderr is a terminal; that a pass ran is noted either way. */
struct IndexWatch {
    bool draw = false;
    bool pass_ran = false;
    unsigned drawn = 0; /* the bar's state on screen, to draw changes only */
};

void draw_bar(IndexWatch *watch, const KVXProgress *progress)
{
    const unsigned state = progress->percent << 16 | progress->barPerMille;
    if (progress->event == KVX_PROGRESS_STEP && state == watch->drawn) return;
    watch->drawn = state;
    const unsigned width = 30;
    const unsigned filled = progress->barPerMille >= 1000 ? width : progress->barPerMille * width / 1000;
    char bar[width + 1];
    for (unsigned i = 0; i < width; ++i) bar[i] = i < filled ? '#' : ' ';
    bar[width] = '\0';
    std::fprintf(stderr, "\r[%s] %5s", bar, progress->percentText != nullptr ? progress->percentText : "");
    std::fflush(stderr);
}

void on_index_progress(const KVXProgress *progress, void *user)
{
    auto *watch = static_cast<IndexWatch *>(user);
    if (progress->event == KVX_PROGRESS_OPEN) watch->pass_ran = true;
    if (!watch->draw) return;
    switch (progress->event) {
    case KVX_PROGRESS_OPEN: {
        /* The message's first line; the rest asks the user to wait. */
        std::string line = progress->text != nullptr ? progress->text : "";
        line = line.substr(0, line.find('\n'));
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::fprintf(stderr, "%s\n", line.c_str());
        draw_bar(watch, progress);
        break;
    }
    case KVX_PROGRESS_STEP: draw_bar(watch, progress); break;
    case KVX_PROGRESS_CLOSE: std::fputc('\n', stderr); break;
    default: break;
    }
}
#endif

} // namespace

void show_progress(bool on)
{
#ifndef _WIN32
    static IndexWatch watch;
    watch = IndexWatch{};
    watch.draw = isatty(STDERR_FILENO) != 0;
    KVXPosixSetProgressHook(on ? on_index_progress : nullptr, on ? &watch : nullptr);
#else
    (void)on;
#endif
}

namespace {

int command_index(int count, char **paths)
{
#ifndef _WIN32
    IndexWatch watch;
    watch.draw = isatty(STDERR_FILENO) != 0;
    KVXPosixSetProgressHook(on_index_progress, &watch);
#endif
    int status = 0;
    for (int i = 0; i < count; ++i) {
        const char *path = paths[i];
        const Place place = place_of(path);
        const char last = place.folder.back();
        const std::string dat = place.folder + (last == '/' || last == '\\' ? "" : "/") + "KVXMANAGEMENT.DAT";
        const Snapshot before = snapshot_of(dat);
#ifndef _WIN32
        watch.pass_ran = false;
#endif
        /* Mode 1: the pass runs under the progress dialog and its table
         * goes into the management file. */
        uint32_t result = KVXActiveFolder(place.folder.c_str(), 1);
        uint32_t length = 0;
        uint16_t codecs = 0;
        if (result == KVX_OK) result = KVXActiveFile(path, &length, &codecs);
        if (result != KVX_OK) {
            status = fail(path, result);
            continue;
        }
        const Snapshot after = snapshot_of(dat);
        const char *what;
        if (chunk_count(path) < 3) what = "small file, not recorded";
        else if (after != before) what = "recorded";
#ifndef _WIN32
        /* A table found in the management data needs no pass. */
        else if (!watch.pass_ran) what = "found";
#else
        /* No word of the dialog here: a management file that is there and
         * stays as it was held the table already. */
        else if (after.present) what = "found";
#endif
        else what = "read, but not recorded: the management file cannot be written";
        std::printf("%s: %s, %s\n", path, format_time(length).c_str(), what);
    }
#ifndef _WIN32
    KVXPosixSetProgressHook(nullptr, nullptr);
#endif
    return status;
}

/* Whether a regular file is at `path`; `writable` tells about its write
 * permission. */
bool file_exists(const std::string &path, bool *writable = nullptr)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || (st.st_mode & S_IFMT) != S_IFREG) return false;
    if (writable != nullptr) *writable = (st.st_mode & S_IWUSR) != 0;
    return true;
}

/* The shell wants full paths. */
std::string full_path(const std::string &path)
{
#ifdef _WIN32
    char full[MAX_PATH];
    const DWORD got = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return got > 0 && got < sizeof full ? std::string(full) : path;
#else
    if (!path.empty() && path[0] == '/') return path;
    std::vector<char> cwd(4096);
    while (getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE) return path;
        cwd.resize(cwd.size() * 2);
    }
    const std::string folder = cwd.data();
    return folder + (folder == "/" ? "" : "/") + path;
#endif
}

#ifndef _WIN32
int confirm_all(const char *, BOOL, void *)
{
    return IDYES;
}

/* Asks on the terminal; end of input keeps this file and the rest. */
int confirm_on_terminal(const char *path, BOOL readOnly, void *)
{
    std::fprintf(stderr, "delete %s%s? [y/N] ", path, readOnly ? " (locked)" : "");
    std::fflush(stderr);
    std::string answer;
    int c;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') answer += static_cast<char>(c);
    if (c == EOF && answer.empty()) {
        std::fputc('\n', stderr);
        return IDCANCEL;
    }
    const size_t start = answer.find_first_not_of(" \t");
    const char first = start == std::string::npos ? '\0' : answer[start];
    return first == 'y' || first == 'Y' ? IDYES : IDNO;
}
#endif

int command_delete(int argc, char **argv)
{
    bool yes = false;
    std::vector<std::string> names;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--yes") yes = true;
        else if (!arg.empty() && arg[0] != '-') names.push_back(arg);
        else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (names.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    int status = 0;
    std::vector<std::string> present;
    std::string list;
    for (const std::string &name : names) {
        if (!file_exists(name)) {
            struct stat st;
            const bool there = stat(name.c_str(), &st) == 0;
            std::fprintf(stderr, "kvx: %s: %s\n", name.c_str(), there ? "not a file" : "no such file");
            status = 1;
            continue;
        }
        present.push_back(name);
        list += full_path(name);
        list += '\0';
    }
    if (present.empty()) return status;
    list += '\0';

#ifndef _WIN32
    /* Without a hook the library keeps read-only (locked) files: so it
     * goes when nobody is there to ask. */
    if (yes) KVXPosixSetConfirmHook(confirm_all, nullptr);
    else if (isatty(STDIN_FILENO)) KVXPosixSetConfirmHook(confirm_on_terminal, nullptr);
#else
    (void)yes;
#endif
    KVXDeleteFiles(list.c_str());
#ifndef _WIN32
    KVXPosixSetConfirmHook(nullptr, nullptr);
#endif

    for (const std::string &name : present) {
        bool writable = true;
        if (!file_exists(name, &writable)) {
            std::printf("deleted %s\n", name.c_str());
            continue;
        }
        std::printf("kept %s%s\n", name.c_str(), writable ? "" : " (read-only)");
        status = 1;
    }
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string command = argc >= 2 ? argv[1] : "";
    if (command == "help" || command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "info" && (argc == 3 || (argc == 4 && std::strcmp(argv[3], "--json") == 0)))
        return command_info(argv[2], argc == 4);
    if (command == "marks" && argc == 3) return command_marks(argv[2], nullptr, nullptr);
    if (command == "marks" && argc == 5 && (std::strcmp(argv[3], "add") == 0 || std::strcmp(argv[3], "del") == 0))
        return command_marks(argv[2], argv[3], argv[4]);
    if (command == "set" && argc >= 4) return command_set(argv[2], argc - 3, argv + 3);
    if ((command == "lock" || command == "unlock") && argc == 3) return command_lock(argv[2], command == "lock");
    if (command == "priority" && argc == 4) return command_priority(argv[2], argv[3]);
    if (command == "decode") return command_decode(argc - 2, argv + 2);
    if (command == "play") return command_play(argc - 2, argv + 2);
    if (command == "index" && argc >= 3) return command_index(argc - 2, argv + 2);
    if (command == "delete") return command_delete(argc - 2, argv + 2);
    if (command == "cut") return command_cut(argc - 2, argv + 2);
    if (command == "insert" || command == "overwrite") return command_insert(argc - 2, argv + 2, command == "insert");
    if (command == "cat") return command_cat(argc - 2, argv + 2);
    if (command == "feed") return command_feed(argc - 2, argv + 2);
    std::fputs(kUsage, stderr);
    return 2;
}
