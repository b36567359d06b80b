// The header texts' code page (tools/kvx/text.h): every storable byte
// comes back from its UTF-8 unchanged, and what cannot be stored is
// refused with the character named.
#include <gtest/gtest.h>

#include <string>

#include "text.h"

namespace {

TEST(ToolText, EveryStorableByteRoundTrips)
{
    int undefined = 0;
    for (int b = 1; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        const std::string utf8 = from_cp1252(byte);
        std::string back;
        const std::string refused = to_cp1252(utf8, &back);
        const bool storable = b >= 0x20 && b != 0x7F && b != 0xFF && utf8 != "\xEF\xBF\xBD";
        if (utf8 == "\xEF\xBF\xBD" && b >= 0x80) ++undefined;
        if (storable) {
            EXPECT_EQ(refused, "") << "byte " << b;
            EXPECT_EQ(back, byte) << "byte " << b;
            // Printable ASCII is itself; the rest are two or three UTF-8 bytes.
            EXPECT_EQ(utf8.size() == 1, b < 0x80) << "byte " << b;
        } else {
            EXPECT_NE(refused, "") << "byte " << b;
        }
    }
    EXPECT_EQ(undefined, 5);
}

TEST(ToolText, KnownCharactersAndRefusals)
{
    const struct {
        const char *utf8;
        const char *bytes;   // nullptr: refused
        const char *message; // part of the refusal
    } cases[] = {
        {"\xC3\x9C" "ber", "\xDC" "ber", ""},                  // Über
        {"\xE2\x82\xAC 5", "\x80 5", ""},                      // €
        {"\xE2\x80\x9E" "a\xE2\x80\x9C", "\x84" "a\x93", ""}, // „a“
        {"\xC5\xB8\xC5\xBD", "\x9F\x8E", ""},                  // ŸŽ
        {"\xE6\x97\xA5\xE6\x9C\xAC", nullptr, "'\xE6\x97\xA5' (U+65E5) has no Windows-1252 byte"},
        {"ok \xF0\x9F\x98\x80", nullptr, "(U+1F600)"},
        {"\xC3\xBF", nullptr, "ends a header text"},           // ÿ
        {"a\tb", nullptr, "control character (U+0009)"},
        {"\xC2\x81", nullptr, "(U+0081) has no"},              // a C1 control, not byte 0x81
        {"ab\xC3", nullptr, "not valid UTF-8 (at byte 3)"},    // cut short
        {"\xC0\xAF", nullptr, "not valid UTF-8 (at byte 1)"},  // overlong
        {"\xED\xA0\x80", nullptr, "not valid UTF-8"},          // a surrogate
        {"\xF4\x90\x80\x80", nullptr, "not valid UTF-8"},      // past U+10FFFF
        {"x\x80", nullptr, "not valid UTF-8 (at byte 2)"},     // a lone continuation byte
    };
    for (const auto &c : cases) {
        std::string out = "unchanged";
        const std::string refused = to_cp1252(c.utf8, &out);
        if (c.bytes != nullptr) {
            EXPECT_EQ(refused, "") << c.utf8;
            EXPECT_EQ(out, c.bytes) << c.utf8;
            EXPECT_EQ(from_cp1252(out), c.utf8);
        } else {
            EXPECT_NE(refused.find(c.message), std::string::npos) << refused;
            EXPECT_EQ(out, "unchanged") << c.utf8;
        }
    }
}

TEST(ToolText, HeaderFieldsEndAtTheirPadding)
{
    const char nul[8] = {'\xDC', 'b', ' ', ' ', '\0', 'x', 'x', 'x'};
    const char ff[8] = {'a', '\x80', '\xFF', 'x', 'x', 'x', 'x', 'x'};
    const char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(header_text(nul, 8), "\xC3\x9C" "b");
    EXPECT_EQ(header_text(ff, 8), "a\xE2\x82\xAC");
    EXPECT_EQ(header_text(full, 4), "abcd");
    EXPECT_EQ(header_text(full, 2), "ab");
}

} // namespace
