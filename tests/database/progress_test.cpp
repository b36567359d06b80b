// The progress dialog: language, texts, the bar, and the result it ends
// with.
#include "../header/header_fixture.h"

#include <cstring>
#include <fstream>
#ifndef _WIN32
#include <iconv.h>
#endif

#include "database/progress.h"

namespace {

TEST(Progress, LanguageTextIndexAndBar)
{
    const struct {
        uint32_t lcid;
        const char *dialog;
        uint16_t base;
    } languages[] = {{0x0407, "PROGRESSDLG_GR", 1792}, {0x0411, "PROGRESSDLG_JP", 4352},
                     {0x0404, "PROGRESSDLG_TW", 1024}, {0x0804, "PROGRESSDLG_TW", 1024},
                     {0x040C, "PROGRESSDLG_FR", 3072}, {0x0C0A, "PROGRESSDLG_SE", 2560},
                     {0x0410, "PROGRESSDLG_IT", 4096}, {0x0413, "PROGRESSDLG", 2304}};
    for (const auto &l : languages) {
        EXPECT_STREQ(kvx::progress_language_for(l.lcid).dialog, l.dialog) << l.lcid;
        EXPECT_EQ(kvx::progress_language_for(l.lcid).stringBase, l.base) << l.lcid;
    }
    EXPECT_EQ(kvx::progress_text_index(kvx::kJobEdit, 2), 1u);
    EXPECT_EQ(kvx::progress_text_index(kvx::kJobPass, 2), 2u);
    EXPECT_EQ(kvx::progress_text_index(kvx::kJobPass, -1), 0u);

    const struct {
        uint32_t done, total;
        int32_t left, right, split;
        const char *text;
    } bars[] = {{7, 7, 3, 178, 178, "100 %"}, {1, 3, 0, 175, 58, "33 %"}, {0, 3, 10, 175, 10, "0 %"},
                {65535, 65535, 0, 10, 10, "100 %"}};
    for (const auto &b : bars) {
        char text[16];
        kvx::progress_percent_text(b.done, b.total, text, sizeof text);
        EXPECT_STREQ(text, b.text);
        EXPECT_EQ(kvx::progress_bar_split(b.left, b.right, b.done, b.total), b.split);
    }
}

uint32_t failing_job(void *)
{
    kvx::progress_report(4, 2);
    return 520;
}

TEST_F(DatabaseFolder, WithoutADialogTheJobRunsHere)
{
    kvx::g_decoder.window = reinterpret_cast<HWND>(static_cast<intptr_t>(0x5EED0)); // no window
    EXPECT_EQ(kvx::run_under_progress(kvx::kJobPass, 0, failing_job, nullptr), 520u);
    EXPECT_EQ(shown_.opens, 0);
    kvx::g_decoder.window = nullptr;
}

#ifndef _WIN32
// `in` in UTF-8; empty when it does not convert.
std::string to_utf8(const char *code_page, std::string in)
{
    iconv_t convert = iconv_open("UTF-8", code_page);
    const bool opened = convert != reinterpret_cast<iconv_t>(-1);
    std::string out(in.size() * 4 + 4, '\0');
    char *from = &in[0], *to = &out[0];
    size_t left = in.size(), room = out.size();
    const bool done = opened && iconv(convert, &from, &left, &to, &room) != static_cast<size_t>(-1);
    if (opened) iconv_close(convert);
    out.resize(out.size() - room);
    return done ? out : std::string();
}

// What Windows shows (the string table in the resource script, the
// Shift-JIS and Big5 copies) says what the UTF-8 copies say.
TEST(Progress, EveryCodePageCopyAgrees)
{
    for (unsigned i = 0; i < 3; ++i)
        EXPECT_EQ(to_utf8("SHIFT_JIS", kvx::kShiftJisTexts[i]), kvx::progress_language_for(0x0411).utf8[i]) << i;
    EXPECT_EQ(to_utf8("BIG5", kvx::kBig5Text), kvx::progress_language_for(0x0404).utf8[1]);
    std::ifstream rc(KVX_PROGRESS_RC);
    ASSERT_TRUE(rc.good()) << KVX_PROGRESS_RC;
    std::string line;
    int strings = 0;
    while (std::getline(rc, line)) {
        unsigned id = 0;
        const size_t quote = line.find('"');
        if (std::sscanf(line.c_str(), " %u,", &id) != 1 || quote == std::string::npos) continue;
        std::string text;
        for (size_t i = quote + 1; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] != '\\') text += line[i];
            else if (line[++i] == 'n') text += '\n';
            else text += static_cast<char>(std::stoi(line.substr(i, 3), nullptr, 8)), i += 2;
        }
        const kvx::ProgressLanguage *language = nullptr;
        for (uint16_t primary : {7, 10, 12, 16, 9})
            if (id - kvx::progress_language_for(primary).stringBase < 3u) language = &kvx::progress_language_for(primary);
        ASSERT_NE(language, nullptr) << id;
        EXPECT_EQ(to_utf8("CP1252", text), language->utf8[id - language->stringBase]) << id;
        ++strings;
    }
    EXPECT_EQ(strings, 15);
}

using ProgressDialog = DatabaseFolder;

// The language is chosen at load; the test chooses again under its locale.
class Locale {
public:
    explicit Locale(const char *value) : had_(std::getenv("LC_ALL") != nullptr), old_(had_ ? std::getenv("LC_ALL") : "")
    {
        setenv("LC_ALL", value, 1);
        kvx::choose_progress_language();
    }
    ~Locale()
    {
        had_ ? setenv("LC_ALL", old_.c_str(), 1) : unsetenv("LC_ALL");
        kvx::choose_progress_language();
    }

private:
    bool had_;
    std::string old_;
};

// In German: the database pass shows its text and every fiftieth block; a
// header conversion shows the header text, for large files only.
TEST_F(ProgressDialog, DatabasePassAndHeaderConversionInGerman)
{
    Locale german("de_DE.UTF-8");
    write("big.kvx", recording(2 * 500 + 120));
    open_in(1, "big.kvx");
    ASSERT_EQ(shown_.opens, 1);
    EXPECT_EQ(shown_.dialog, "PROGRESSDLG_GR");
    EXPECT_EQ(shown_.stringId, 1792u);
    EXPECT_EQ(shown_.text, "Da dies eine große Datei ist, wird eine Datenbank für Schnellzugriff erstellt. \nBitte waren");
    // Blocks 0, 50, ... 450 of the two full chunks, 0, 50, 100 of the third,
    // then done = total.
    std::vector<unsigned> done(10, 0u);
    done.resize(20, 1u);
    done.resize(23, 2u);
    done.push_back(3u);
    EXPECT_EQ(shown_.done, done);
    EXPECT_EQ(shown_.total, std::vector<unsigned>(24, 3u));
    EXPECT_EQ(shown_.lastPercent, "100 %");
    EXPECT_EQ(shown_.lastPerMille, 1000u);
    EXPECT_EQ(shown_.closes, 1u);
    EXPECT_EQ(shown_.result, 0u);

    shown_ = ShownProgress();
    write("small.kvx", recording(600, "093100", 1));
    HeaderInfoEx info{};
    ASSERT_EQ(KVXGetHeaderInfoEx("small.kvx", &info), 0u);
    EXPECT_EQ(shown_.opens, 0);
    write("old.kvx", recording(4000, "093100", 1));
    ASSERT_GT(read("old.kvx").size(), 2000000u);
    ASSERT_EQ(KVXGetHeaderInfoEx("old.kvx", &info), 0u);
    EXPECT_EQ(read("old.kvx")[0], 2);
    ASSERT_EQ(shown_.opens, 1);
    EXPECT_EQ(shown_.stringId, 1794u);
    EXPECT_EQ(shown_.text, "Füge einen neuen KVX-Dateianfangskennsatz hinzu. \nBitte waren");
    EXPECT_EQ(shown_.done.back(), shown_.total.back());
}

// The dialog ends with the job's result; a pending quit message, which ends
// a modal loop at once, neither loses the job nor is itself lost.
TEST_F(ProgressDialog, EndsWithTheJobsResultAlsoUnderAQuit)
{
    for (bool quit : {false, true}) {
        shown_ = ShownProgress();
        if (quit) PostQuitMessage(3);
        EXPECT_EQ(kvx::run_under_progress(kvx::kJobEdit, 0, failing_job, nullptr), 520u);
        EXPECT_FALSE(kvx::progress_showing());
        if (quit) continue;
        EXPECT_EQ(shown_.stringId, 2305u);
        EXPECT_EQ(shown_.lastPercent, "50 %");
        EXPECT_EQ(shown_.result, 520u);
    }
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(msg.wParam, 3u);
}
#endif

} // namespace
