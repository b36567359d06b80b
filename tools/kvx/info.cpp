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
#include "metadata.h"
#include "salvage.h"
#include "text.h"

namespace {

enum class InfoFormat { Text, Json, Csv };

/* A file that cannot be shown: on stderr (unless `said` already), and as a
 * JSON line or CSV row with the error; exit status 1. */
int info_failed(const std::string &file, InfoFormat format, const std::string &error, uint32_t code,
                bool said = false)
{
    if (format == InfoFormat::Json) std::printf("%s\n", json_error(file, error, code).c_str());
    if (format == InfoFormat::Csv) std::printf("%s", csv_error(file, error, code).c_str());
    return said ? kExitFailure : fail(file, code);
}

void print_text(const Metadata &m, const std::vector<std::string> &damage)
{
    std::printf("file:          %s\n", m.file.c_str());
    std::printf("length:        %s (%u ms)\n", format_time(m.lengthMs).c_str(), m.lengthMs);
    std::printf("codecs:        %s (flags %u)\n", codec_names(m.codecs).c_str(), m.codecs);
    std::printf("chunks:        %ld\n", m.chunks);
    std::printf("header:        %d block%s%s\n", m.headerBlocks, m.headerBlocks == 2 ? "s" : "",
                m.extended ? ", extended" : "");
    for (const std::string &line : damage) std::printf("%s\n", line.c_str());
    std::printf("\nfirst block\n");
    std::printf("  text 1:      \"%s\"\n", m.text1.c_str());
    std::printf("  number:      %u\n", m.number);
    std::printf("  word 32:     0x%04X\n", m.word32);
    std::printf("  end-trans:   0x%04X\n", m.endTrans);
    std::printf("  signed word: %d\n", m.signedWord);
    std::printf("  recorded:    %s %s to %s %s\n", m.startDate.c_str(), m.startTime.c_str(), m.endDate.c_str(),
                m.endTime.c_str());
    std::printf("  length:      %s (HHMMSS)\n", m.lengthDigits.c_str());
    std::printf("  lock:        %u (%s)\n", m.lock, m.lock == 0 ? "locked" : "changes allowed");
    std::printf("  priority:    %u\n", m.priority);
    std::printf("  text 2:      \"%s\"\n", m.text2.c_str());
    std::printf("\nsecond block%s\n", m.extended && m.headerBlocks == 2 ? "" : " (none: fields read as zero)");
    std::printf("  coding mode: %u (%s)\n", m.codingMode, m.codingMode & 2 ? "LP" : "SP");
    std::printf("  length:      %s (%u ms)\n", format_time(m.headerLengthMs).c_str(), m.headerLengthMs);
    std::printf("  text 3:      \"%s\"\n", m.text3.c_str());
    const char *names[3] = {"itemA", "itemB", "itemC"};
    for (int i = 0; i < 3; ++i)
        std::printf("  %s:       %u, %u, \"%s\"\n", names[i], m.items[i].a, m.items[i].b, m.items[i].text.c_str());
    std::printf("  flag 1:      %u\n  flag 2:      %u\n  number 2:    %u\n", m.flag1, m.flag2, m.number2);
    std::printf("  text 4:      \"%s\"\n", m.text4.c_str());
}

/* One file's facts and fields; its exit status. */
int command_info(const std::string &file, InfoFormat format)
{
    uint32_t length = 0;
    uint16_t codecs = 0;
    /* A damaged file shows what the decode of it would give, and the
     * damage. */
    Salvage salvage;
    if (salvage.open(file, true) != 0) return info_failed(file, format, salvage.scan().problem, KVX_ERR_NOT_KVX, true);
    uint32_t result = activate(salvage.path(), &length, &codecs);
    if (result != KVX_OK) return info_failed(file, format, describe_result(result), result);
    length += salvage.silence_ms();
    Metadata m;
    result = read_metadata(salvage.path(), length, codecs, &m);
    if (result != KVX_OK) return info_failed(file, format, describe_result(result), result);
    m.file = file;
    m.chunks = chunk_count(file.c_str());
    const std::vector<std::string> damage = salvage.report();
    m.damage = damage;
    if (format == InfoFormat::Json) std::printf("%s\n", metadata_json(m).c_str());
    if (format == InfoFormat::Csv) std::printf("%s", metadata_csv(m).c_str());
    if (format == InfoFormat::Text) print_text(m, damage);
    if (format == InfoFormat::Text) return damage.empty() ? 0 : kExitSalvaged;
    return salvage.damaged() || salvage.scan().verdict == FileScan::NoAudio ? report_salvage(file, salvage) : 0;
}

/* Every file in turn: 1 when any failed, else 3 when any was salvaged. */
int command_info_all(const std::vector<std::string> &files, bool json, bool csv)
{
    const InfoFormat format = json ? InfoFormat::Json : csv ? InfoFormat::Csv : InfoFormat::Text;
    if (csv) std::printf("%s", csv_header().c_str());
    int status = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        if (format == InfoFormat::Text && i > 0) std::printf("\n");
        const int one = command_info(files[i], format);
        if (one == kExitFailure || (one == kExitSalvaged && status == 0)) status = one;
        std::fflush(stdout);
    }
    return status;
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
        const std::string field = arg.substr(0, eq);
        std::string value = arg.substr(eq + 1);
        /* The header's texts are Windows-1252 bytes. */
        for (const char *text : {"text1", "text2", "text3", "text4", "itemAtext", "itemBtext", "itemCtext"}) {
            if (field != text) continue;
            const std::string refused = to_cp1252(arg.substr(eq + 1), &value);
            if (!refused.empty()) return field + ": " + refused;
        }
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
    std::vector<std::string> files; /* info */
    bool json = false, csv = false;
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
                                 [args]() { return command_info_all(args->files, args->json, args->csv); });
    info->add_option("FILE", args->files, "the recordings")->required();
    CLI::Option *json = info->add_flag("--json", args->json, "a JSON object a line (JSON Lines) for each file");
    info->add_flag("--csv", args->csv, "a CSV header row and a row for each file")->excludes(json);
    info->footer("--json: the members are the fields of the text form, the marks (ms, time, kind, text) and,\n"
                 "for a damaged file, its diagnostics; a file that cannot be read is a line\n"
                 "{\"file\": ..., \"error\": ..., \"code\": N} (N: the library's result).  --csv: the same\n"
                 "fields flat (itemA.a ...), the marks as milliseconds separated by spaces, the error and\n"
                 "code in columns 2 and 3; quoted as RFC 4180, rows end in CRLF.  Texts are UTF-8.\n"
                 "Of several files, each is shown; the exit status is 1 when any could not be read,\n"
                 "else 3 when any was damaged (shown with its damage).");

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
                "Numbers are decimal or 0x hex within the field's width; texts are cut to it.\n"
                "Texts are stored in the Windows Western code page (Windows-1252), a byte a\n"
                "character, and printed as UTF-8: accented Latin letters, the euro sign and\n"
                "typographic quotes fit; a character that does not (Greek, CJK, emoji), a control\n"
                "character, y with diaeresis (its byte ends a text in the header) and invalid UTF-8\n"
                "are refused, naming the character.");

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
