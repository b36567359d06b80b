/* Windows-1252 to and from UTF-8. */
#include "text.h"

#include <stdint.h>
#include <cstdio>

namespace {

/* The characters of bytes 0x80..0x9F; 0 where the code page has none.
 * The rest of the page is Latin-1: byte and code point are equal. */
const uint16_t kHigh[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

bool is_control(uint32_t c) { return c < 0x20 || c == 0x7F; }

/* The code point of byte b, or 0 when the byte stands for nothing
 * printable. */
uint32_t code_point(unsigned char b)
{
    if (is_control(b)) return 0;
    if (b >= 0x80 && b < 0xA0) return kHigh[b - 0x80];
    return b;
}

void put_utf8(uint32_t c, std::string *out)
{
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | c >> 6);
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out += static_cast<char>(0xE0 | c >> 12);
        *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | c >> 18);
        *out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

/* The character at text[*at], its bytes stepped over; false for a
 * malformed, overlong or surrogate sequence or one past U+10FFFF. */
bool next_char(const std::string &text, size_t *at, uint32_t *c)
{
    const unsigned char lead = static_cast<unsigned char>(text[*at]);
    size_t extra;
    uint32_t value, least;
    if (lead < 0x80) {
        extra = 0, value = lead, least = 0;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1, value = lead & 0x1Fu, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, value = lead & 0x0Fu, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, value = lead & 0x07u, least = 0x10000;
    } else {
        return false;
    }
    if (text.size() - *at <= extra) return false;
    for (size_t i = 1; i <= extra; ++i) {
        const unsigned char b = static_cast<unsigned char>(text[*at + i]);
        if ((b & 0xC0) != 0x80) return false;
        value = value << 6 | (b & 0x3Fu);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    *at += extra + 1;
    *c = value;
    return true;
}

} // namespace

std::string to_cp1252(const std::string &utf8, std::string *out)
{
    std::string bytes;
    for (size_t at = 0; at < utf8.size();) {
        const size_t start = at;
        uint32_t c = 0;
        if (!next_char(utf8, &at, &c)) {
            char where[64];
            std::snprintf(where, sizeof where, "not valid UTF-8 (at byte %zu)", start + 1);
            return where;
        }
        int byte = -1;
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            byte = static_cast<int>(c);
        } else {
            for (int i = 0; i < 32; ++i)
                if (kHigh[i] == c) byte = 0x80 + i;
        }
        char name[80];
        const std::string shown = utf8.substr(start, at - start);
        if (byte < 0 || is_control(c) || byte == 0xFF) {
            std::snprintf(name, sizeof name, "%s (U+%04X)", is_control(c) ? "a control character" : ("'" + shown + "'").c_str(),
                          static_cast<unsigned>(c));
            if (byte == 0xFF) return std::string(name) + " cannot be stored: that byte ends a header text";
            if (byte >= 0) return std::string(name) + " cannot be stored in a header text";
            return std::string(name) + " has no Windows-1252 byte";
        }
        bytes += static_cast<char>(byte);
    }
    *out = bytes;
    return "";
}

std::string from_cp1252(const std::string &bytes)
{
    std::string out;
    for (char b : bytes) {
        const uint32_t c = code_point(static_cast<unsigned char>(b));
        put_utf8(c != 0 ? c : 0xFFFD, &out);
    }
    return out;
}

std::string header_text(const char *field, size_t size)
{
    std::string bytes;
    for (size_t i = 0; i < size && field[i] != '\0' && field[i] != '\xFF'; ++i) bytes += field[i];
    while (!bytes.empty() && bytes.back() == ' ') bytes.pop_back();
    return from_cp1252(bytes);
}
