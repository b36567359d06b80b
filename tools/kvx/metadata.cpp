/*
 * A recording's header fields and marks as one flat list of named values,
 * written out as JSON, CSV, a label track and the comment of an audio file.
 * The JSON object nests the dotted names ("itemA.a") of an item in one
 * member; CSV and the comment keep them flat.
 */
#include "metadata.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "common.h"
#include "kvx.h"
#include "text.h"

namespace {

enum class Kind { Number, Text, Bool };
struct Field {
    std::string key, value;
    Kind kind;
};

std::vector<Field> fields_of(const Metadata &m)
{
    auto n = [](long long v) { return std::to_string(v); };
    std::vector<Field> f = {
        {"file", m.file, Kind::Text},
        {"lengthMs", n(m.lengthMs), Kind::Number},
        {"length", format_time(m.lengthMs), Kind::Text},
        {"codecs", n(m.codecs), Kind::Number},
        {"codecNames", codec_names(m.codecs), Kind::Text},
        {"chunks", n(m.chunks), Kind::Number},
        {"headerBlocks", n(m.headerBlocks), Kind::Number},
        {"extended", m.extended ? "true" : "false", Kind::Bool},
        {"text1", m.text1, Kind::Text},
        {"number", n(m.number), Kind::Number},
        {"word32", n(m.word32), Kind::Number},
        {"endTrans", n(m.endTrans), Kind::Number},
        {"signedWord", n(m.signedWord), Kind::Number},
        {"lengthDigits", m.lengthDigits, Kind::Text},
        {"startDate", m.startDate, Kind::Text},
        {"startTime", m.startTime, Kind::Text},
        {"endDate", m.endDate, Kind::Text},
        {"endTime", m.endTime, Kind::Text},
        {"lock", n(m.lock), Kind::Number},
        {"locked", m.lock == 0 ? "true" : "false", Kind::Bool},
        {"priority", n(m.priority), Kind::Number},
        {"text2", m.text2, Kind::Text},
        {"codingMode", n(m.codingMode), Kind::Number},
        {"headerLengthMs", n(m.headerLengthMs), Kind::Number},
        {"text3", m.text3, Kind::Text},
    };
    const char *names[3] = {"itemA", "itemB", "itemC"};
    for (int i = 0; i < 3; ++i) {
        const std::string name = names[i];
        f.push_back({name + ".a", n(m.items[i].a), Kind::Number});
        f.push_back({name + ".b", n(m.items[i].b), Kind::Number});
        f.push_back({name + ".text", m.items[i].text, Kind::Text});
    }
    f.push_back({"flag1", n(m.flag1), Kind::Number});
    f.push_back({"flag2", n(m.flag2), Kind::Number});
    f.push_back({"number2", n(m.number2), Kind::Number});
    f.push_back({"text4", m.text4, Kind::Text});
    return f;
}


/* The length of the UTF-8 sequence at text[i], or 0 where it is not one. */
size_t utf8_length(const std::string &text, size_t i)
{
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t n = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return 0;
    uint32_t point = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        const unsigned char d = static_cast<unsigned char>(text[i + k]);
        if ((d & 0xC0) != 0x80) return 0;
        point = point << 6 | (d & 0x3F);
    }
    /* Overlong forms, surrogates and points past U+10FFFF are not UTF-8. */
    const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < least[n] || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF) return 0;
    return n;
}

} // namespace

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

std::string codec_names(uint16_t codecs)
{
    std::string names;
    if (codecs & KVX_CODEC_SP) names += "SP";
    if (codecs & KVX_CODEC_LP) names += names.empty() ? "LP" : " and LP";
    return names.empty() ? "none" : names;
}

uint32_t read_metadata(const std::string &path, uint32_t length, uint16_t codecs, Metadata *out)
{
    HeaderInfoEx ex{};
    bool two_blocks = false, extended = false;
    if (!read_record(path.c_str(), &ex, &two_blocks, &extended)) return KVX_ERR_NOT_KVX;
    Metadata &m = *out;
    m = Metadata{};
    m.file = path;
    m.lengthMs = length;
    m.codecs = codecs;
    m.chunks = chunk_count(path.c_str());
    m.headerBlocks = two_blocks ? 2 : 1;
    m.extended = extended;
    m.text1 = header_text(ex.text1, sizeof ex.text1);
    m.text2 = header_text(ex.text2, sizeof ex.text2);
    m.text3 = header_text(ex.text3, sizeof ex.text3);
    m.text4 = header_text(ex.text4, sizeof ex.text4);
    m.number = ex.number;
    m.number2 = ex.number2;
    m.headerLengthMs = ex.lengthMs;
    m.word32 = ex.word32;
    m.endTrans = ex.endTrans;
    m.signedWord = ex.signedWord;
    m.lengthDigits = header_text(ex.lengthDigits, 6);
    m.startDate = header_text(ex.startDate, 6);
    m.startTime = header_text(ex.startTime, 6);
    m.endDate = header_text(ex.endDate, 6);
    m.endTime = header_text(ex.endTime, 6);
    m.lock = ex.lock;
    m.priority = ex.priority;
    m.codingMode = ex.codingMode;
    m.flag1 = ex.flag1;
    m.flag2 = ex.flag2;
    const uint32_t a[3] = {ex.itemA1, ex.itemB1, ex.itemC1}, b[3] = {ex.itemA2, ex.itemB2, ex.itemC2};
    const char *texts[3] = {ex.itemAText, ex.itemBText, ex.itemCText};
    for (int i = 0; i < 3; ++i) m.items[i] = {a[i], b[i], header_text(texts[i], 20)};

    /* A header with an extended block keeps the marks there to the
     * millisecond, and the short marks are rebuilt from them at frame
     * times: the same marks, read once. */
    const bool exact = two_blocks && extended;
    uint32_t positions[16], count = 0;
    const uint32_t result = exact ? KVXGetExtIndexMark(positions, &count) : KVXGetIndexMark(positions, &count);
    if (result != KVX_OK) return result;
    for (uint32_t i = 0; i < count && i < 16; ++i) m.marks.push_back({positions[i], exact, ""});
    std::stable_sort(m.marks.begin(), m.marks.end(), [](const Mark &x, const Mark &y) { return x.ms < y.ms; });
    for (size_t i = 0; i < m.marks.size(); ++i) m.marks[i].text = "mark " + std::to_string(i + 1);
    return KVX_OK;
}

std::string json_string(const std::string &text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t n = utf8_length(text, i);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(text, i, n);
        }
        i += n;
    }
    return out + "\"";
}

std::string metadata_json(const Metadata &m, const std::string &more)
{
    std::string out = "{";
    std::string group; /* the dotted name's object that is open */
    for (const Field &f : fields_of(m)) {
        const size_t dot = f.key.find('.');
        const std::string prefix = dot == std::string::npos ? "" : f.key.substr(0, dot);
        if (prefix != group && !group.empty()) out += "}";
        if (out.back() != '{') out += ", ";
        if (prefix != group && !prefix.empty()) out += json_string(prefix) + ": {";
        group = prefix;
        out += json_string(dot == std::string::npos ? f.key : f.key.substr(dot + 1)) + ": ";
        out += f.kind == Kind::Text ? json_string(f.value) : f.value;
    }
    if (!group.empty()) out += "}";
    out += ", \"marks\": [";
    for (size_t i = 0; i < m.marks.size(); ++i) {
        const Mark &k = m.marks[i];
        out += (i ? ", " : "") + std::string("{\"ms\": ") + std::to_string(k.ms) +
               ", \"time\": " + json_string(format_time(k.ms)) + ", \"kind\": " +
               (k.extended ? "\"extended\"" : "\"short\"") + ", \"text\": " + json_string(k.text) + "}";
    }
    out += "]";
    if (!m.damage.empty()) {
        out += ", \"damage\": [";
        for (size_t i = 0; i < m.damage.size(); ++i) out += (i ? ", " : "") + json_string(m.damage[i]);
        out += "]";
    }
    if (!more.empty()) out += ", " + more;
    return out + "}";
}

std::string json_error(const std::string &file, const std::string &error, uint32_t code)
{
    return "{\"file\": " + json_string(file) + ", \"error\": " + json_string(error) +
           ", \"code\": " + std::to_string(code) + "}";
}

std::string csv_field(const std::string &text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string csv_header()
{
    std::string row = "file,error,code";
    for (const Field &f : fields_of(Metadata{}))
        if (f.key != "file") row += "," + f.key;
    return row + ",marks,damage\r\n";
}

std::string metadata_csv(const Metadata &m)
{
    std::string row = csv_field(m.file) + ",,";
    for (const Field &f : fields_of(m))
        if (f.key != "file") row += "," + csv_field(f.value);
    std::string marks;
    for (const Mark &k : m.marks) marks += (marks.empty() ? "" : " ") + std::to_string(k.ms);
    std::string damage;
    for (const std::string &line : m.damage) damage += (damage.empty() ? "" : "; ") + line;
    return row + "," + marks + "," + csv_field(damage) + "\r\n";
}

std::string csv_error(const std::string &file, const std::string &error, uint32_t code)
{
    /* The row has as many columns as the header, the fields empty. */
    return csv_field(file) + "," + csv_field(error) + "," + std::to_string(code) +
           std::string(fields_of(Metadata{}).size() + 1, ',') + "\r\n";
}

std::vector<Mark> marks_within(const Metadata &m, uint32_t startMs, uint32_t endMs)
{
    std::vector<Mark> within;
    for (const Mark &k : m.marks)
        if (k.ms >= startMs && k.ms <= endMs) within.push_back(k);
    return within;
}

std::string label_track(const std::vector<Mark> &marks, uint32_t startMs)
{
    std::string out;
    for (const Mark &k : marks) {
        char at[32];
        const uint32_t ms = k.ms - startMs;
        std::snprintf(at, sizeof at, "%u.%03u000", ms / 1000, ms % 1000);
        out += std::string(at) + "\t" + at + "\t" + k.text + "\n";
    }
    return out;
}

std::string cue_time(uint32_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", ms / 3600000u, ms / 60000u % 60u, ms / 1000u % 60u,
                  ms % 1000u);
    return text;
}

Tags tags_of(const Metadata &m)
{
    Tags tags;
    tags.title = m.text1;
    tags.artist = m.text2;
    tags.album = m.text3;
    const std::string &d = m.startDate, &t = m.startTime;
    auto digits = [](const std::string &s) {
        return s.size() == 6 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (digits(d)) {
        const int year = std::stoi(d.substr(0, 2)), month = std::stoi(d.substr(2, 2)), day = std::stoi(d.substr(4, 2));
        if (month >= 1 && month <= 12 && day >= 1 && day <= 31) {
            tags.date = (year < 80 ? "20" : "19") + d.substr(0, 2) + "-" + d.substr(2, 2) + "-" + d.substr(4, 2);
            if (digits(t)) tags.date += " " + t.substr(0, 2) + ":" + t.substr(2, 2) + ":" + t.substr(4, 2);
        }
    }
    for (const Field &f : fields_of(m))
        if (f.key != "file" && f.key != "text1" && f.key != "text2" && f.key != "text3")
            tags.comment += f.key + "=" + f.value + "\n";
    return tags;
}

bool write_sidecars(const std::string &labels, const std::string &json, const Metadata *m, const std::string &output,
                    uint32_t rate, uint32_t startMs, uint32_t endMs)
{
    const std::string more = "\"output\": {\"file\": " + json_string(output) + ", \"rate\": " + std::to_string(rate) +
                             ", \"startMs\": " + std::to_string(startMs) + ", \"endMs\": " + std::to_string(endMs) + "}";
    const std::pair<const std::string *, std::string> files[2] = {
        {&labels, m != nullptr ? label_track(marks_within(*m, startMs, endMs), startMs) : ""},
        {&json, m != nullptr ? metadata_json(*m, more) + "\n" : ""}};
    for (const auto &f : files) {
        if (f.first->empty()) continue;
        if (m == nullptr) {
            std::fprintf(stderr, "kvx: %s: not written: the recording's header cannot be read\n", f.first->c_str());
            return false;
        }
        std::FILE *file = std::fopen(f.first->c_str(), "wb");
        bool ok = file != nullptr && std::fwrite(f.second.data(), 1, f.second.size(), file) == f.second.size();
        if (file != nullptr) ok = std::fclose(file) == 0 && ok;
        if (!ok) {
            std::fprintf(stderr, "kvx: %s: cannot be written\n", f.first->c_str());
            return false;
        }
    }
    return true;
}
