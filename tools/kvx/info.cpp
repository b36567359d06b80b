/*
 * The commands on a recording's header and marks:
 *
 *   kvx info FILE [--json]           opening facts and every header field
 *   kvx marks FILE                   the index marks, as times
 *   kvx marks FILE add|del TIME      add or delete an index mark
 *   kvx set FILE FIELD=VALUE ...     set header fields
 *   kvx lock FILE | unlock FILE      lock the file against changes, or not
 *   kvx priority FILE N              set the priority byte
 */
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "common.h"
#include "kvx.h"
#include "salvage.h"

namespace {

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

int command_info(const std::string &file, bool json)
{
    const char *path = file.c_str();
    uint32_t length = 0;
    uint16_t codecs = 0;
    /* A damaged file shows what the decode of it would give, and the
     * damage. */
    Salvage salvage;
    const int refused = salvage.open(file, true);
    if (refused != 0) return refused;
    const uint32_t result = activate(salvage.path(), &length, &codecs);
    if (result != KVX_OK) return fail(path, result);
    length += salvage.silence_ms();
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
        return salvage.damaged() || salvage.scan().verdict == FileScan::NoAudio ? report_salvage(path, salvage) : 0;
    }
    std::printf("file:          %s\n", path);
    std::printf("length:        %s (%u ms)\n", format_time(length).c_str(), length);
    std::printf("codecs:        %s (flags %u)\n", names.c_str(), codecs);
    std::printf("chunks:        %ld\n", chunk_count(path));
    std::printf("header:        %d block%s%s\n", two_blocks ? 2 : 1, two_blocks ? "s" : "",
                extended ? ", extended" : "");
    for (const std::string &line : salvage.report()) std::printf("%s\n", line.c_str());
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
    return salvage.report().empty() ? 0 : kExitSalvaged;
}

/* Lists the marks; with an action, adds or deletes the one at `ms`. */
int command_marks(const std::string &path, const std::string &action, uint32_t ms)
{
    uint32_t length = 0;
    uint32_t result = activate(path, &length);
    if (result != KVX_OK) return fail(path, result);
    if (!action.empty()) {
        const bool add = action == "add";
        if (add && ms > length) {
            std::fprintf(stderr, "kvx: %s: %s lies past its end (%s)\n", path.c_str(), format_time(ms).c_str(),
                         format_time(length).c_str());
            return kExitFailure;
        }
        uint32_t positions[16], count = 0;
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

/* Puts FIELD=VALUE settings into the record and their bits into *mask;
 * empty, or what is wrong with one of them. */
std::string apply_settings(const std::vector<std::string> &settings, HeaderInfoEx &ex, uint32_t *mask_out)
{
    uint32_t mask = 0;
    for (const std::string &arg : settings) {
        const size_t eq = arg.find('=');
        if (eq == std::string::npos) return "expected FIELD=VALUE: '" + arg + "'";
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
        if (!known) return "unknown field '" + field + "'";
        if (!ok) return "bad value for " + field + ": '" + value + "'";
    }
    *mask_out = mask;
    return "";
}

int command_set(const CLI::App *command, const std::string &path, const std::vector<std::string> &settings)
{
    /* The settings are checked before the file is looked at. */
    HeaderInfoEx ex{};
    uint32_t mask = 0;
    const std::string wrong = apply_settings(settings, ex, &mask);
    if (!wrong.empty()) return usage_error(command, wrong);
    const uint32_t opened = activate(path);
    if (opened != KVX_OK) return fail(path, opened);
    bool two_blocks = false, extended = false;
    if (!read_record(path.c_str(), &ex, &two_blocks, &extended)) return fail(path, KVX_ERR_NOT_KVX);
    apply_settings(settings, ex, &mask);
    const uint32_t set = KVXSetHeaderInfo(&ex, mask);
    if (set != KVX_OK) return fail(path, set);
    return 0;
}

int command_lock(const std::string &path, bool lock)
{
    HeaderInfoEx ex{};
    ex.lock = lock ? 0 : 0xFF;
    uint32_t result = activate(path);
    if (result == KVX_OK) result = KVXSetHeaderInfo(&ex, KVX_FIELD_LOCK);
    if (result != KVX_OK) return fail(path, result);
    std::printf("%s %s\n", path.c_str(), lock ? "locked" : "unlocked");
    return 0;
}

int command_priority(const std::string &path, unsigned priority)
{
    uint32_t result = activate(path);
    if (result == KVX_OK) result = KVXWritePriority(static_cast<uint8_t>(priority));
    if (result != KVX_OK) return fail(path, result);
    return 0;
}

struct HeaderArgs {
    std::string path;
    bool json = false;
    std::string action;
    uint32_t ms = 0;
    std::vector<std::string> settings;
    unsigned priority = 0;
};

} // namespace

void add_header_commands(CLI::App &tool)
{
    auto args = std::make_shared<HeaderArgs>();
    CLI::App *info = add_command(tool, "info", "length, codecs, chunks and every header field",
                                 [args]() { return command_info(args->path, args->json); });
    info->add_option("FILE", args->path, "the recording")->required();
    info->add_flag("--json", args->json, "print the facts and fields as one JSON object");

    CLI::App *marks = add_command(tool, "marks", "list, add or delete the index marks",
                                  [args]() { return command_marks(args->path, args->action, args->ms); });
    marks->add_option("FILE", args->path, "the recording")->required();
    CLI::Option *action = marks->add_option("ACTION", args->action, "add or del; without it the marks are listed")
                              ->check(CLI::IsMember({"add", "del"}));
    CLI::Option *at = add_time(marks, "TIME", &args->ms, "where the mark is, at most the file's length");
    action->needs(at);
    at->needs(action);
    marks->footer("Marks are listed short and extended, as times.  'add' writes an extended mark where the header\n"
                  "has them, else a short one; marks lie a second apart at least, 16 at most.");

    /* set reports its bad fields as usage errors, so it needs itself. */
    auto self = std::make_shared<CLI::App *>(nullptr);
    CLI::App *set = add_command(tool, "set", "set header fields",
                                [args, self]() { return command_set(*self, args->path, args->settings); });
    *self = set;
    set->add_option("FILE", args->path, "the recording")->required();
    set->add_option("FIELD=VALUE", args->settings, "the fields to set")->required();
    set->footer("FIELD is one of: text1 number endtrans signed text2 priority lock text3\n"
                "itemA1 itemA2 itemAtext (itemB.. and itemC.. alike) flag1 flag2 number2 text4.\n"
                "Numbers are decimal or 0x hex within the field's width; texts are cut to it.");

    for (const bool lock : {true, false}) {
        CLI::App *command = add_command(tool, lock ? "lock" : "unlock",
                                        lock ? "lock the file against changes" : "allow changes again",
                                        [args, lock]() { return command_lock(args->path, lock); });
        command->add_option("FILE", args->path, "the recording")->required();
    }

    CLI::App *priority = add_command(tool, "priority", "set the priority byte",
                                     [args]() { return command_priority(args->path, args->priority); });
    priority->add_option("FILE", args->path, "the recording")->required();
    priority->add_option("N", args->priority, "the priority, 0 to 255")->required()->check(CLI::Range(0, 255));
}
