// The progress dialog: language, texts, the bar, and the result it ends
// with.
#include "database_fixture.h"

#include <cstring>
#ifndef _WIN32
#include <iconv.h>
#endif
#include <fstream>
#include <sstream>

#include "database/progress.h"

namespace {

constexpr size_t kChunkBlocks = 500;

TEST(ProgressLanguage, TemplateAndTextsFollowTheSystemLanguage)
{
    EXPECT_STREQ(kvx::progress_language_for(0x0407).dialog, "PROGRESSDLG_GR");
    EXPECT_EQ(kvx::progress_language_for(0x0407).stringBase, 1792);
    EXPECT_STREQ(kvx::progress_language_for(0x0411).dialog, "PROGRESSDLG_JP");
    EXPECT_STREQ(kvx::progress_language_for(0x0404).dialog, "PROGRESSDLG_TW");
    EXPECT_STREQ(kvx::progress_language_for(0x0804).dialog, "PROGRESSDLG_TW");
    EXPECT_STREQ(kvx::progress_language_for(0x040C).dialog, "PROGRESSDLG_FR");
    EXPECT_STREQ(kvx::progress_language_for(0x0C0A).dialog, "PROGRESSDLG_SE");
    EXPECT_STREQ(kvx::progress_language_for(0x0410).dialog, "PROGRESSDLG_IT");
    // Dutch, and anything else, is English.
    EXPECT_STREQ(kvx::progress_language_for(0x0413).dialog, "PROGRESSDLG");
    EXPECT_EQ(kvx::progress_language_for(0x0413).stringBase, 2304);
    EXPECT_STREQ(kvx::progress_language_for(0x0409).utf8[2], "Adding a KVX new file header. \nPlease wait.");

    EXPECT_EQ(kvx::progress_text_index(kvx::kJobEdit, 2), 1u);
    EXPECT_EQ(kvx::progress_text_index(kvx::kJobPass, 2), 2u);
    EXPECT_EQ(kvx::progress_text_index(kvx::kJobPass, 1), 0u);
    EXPECT_EQ(kvx::progress_text_index(kvx::kJobPass, -1), 0u);
}

TEST(ProgressBar, PercentAndSplit)
{
    char text[16];
    kvx::progress_percent_text(7, 7, text, sizeof text);
    EXPECT_STREQ(text, "100 %");
    EXPECT_EQ(kvx::progress_bar_split(3, 178, 7, 7), 178);
    kvx::progress_percent_text(1, 3, text, sizeof text);
    EXPECT_STREQ(text, "33 %");
    EXPECT_EQ(kvx::progress_bar_split(0, 175, 1, 3), 58);
    kvx::progress_percent_text(0, 3, text, sizeof text);
    EXPECT_STREQ(text, "0 %");
    EXPECT_EQ(kvx::progress_bar_split(10, 175, 0, 3), 10);
    // Chunk counts use all 16 bits.
    kvx::progress_percent_text(65535, 65535, text, sizeof text);
    EXPECT_STREQ(text, "100 %");
}

#ifndef _WIN32
std::string to_utf8(const char *code_page, const std::string &text)
{
    iconv_t convert = iconv_open("UTF-8", code_page);
    if (convert == reinterpret_cast<iconv_t>(-1)) return "(no " + std::string(code_page) + ")";
    std::string in = text, out(text.size() * 4 + 4, '\0');
    char *from = &in[0], *to = &out[0];
    size_t left = in.size(), room = out.size();
    const size_t done = iconv(convert, &from, &left, &to, &room);
    iconv_close(convert);
    if (done == static_cast<size_t>(-1)) return "(bad " + std::string(code_page) + ")";
    out.resize(out.size() - room);
    return out;
}

// The texts that Windows shows (the string table, the Shift-JIS and Big5
// copies) say what the UTF-8 copies say.
TEST(ProgressTexts, EveryCodePageCopyAgrees)
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
            if (line[i] != '\\') {
                text += line[i];
            } else if (line[i + 1] == 'n') {
                text += '\n';
                ++i;
            } else {
                text += static_cast<char>(std::stoi(line.substr(i + 1, 3), nullptr, 8));
                i += 3;
            }
        }
        const uint16_t primaries[] = {7, 10, 12, 16, 9};
        bool matched = false;
        for (uint16_t primary : primaries) {
            const kvx::ProgressLanguage &language = kvx::progress_language_for(primary);
            if (id >= language.stringBase && id < language.stringBase + 3u) {
                EXPECT_EQ(to_utf8("CP1252", text), language.utf8[id - language.stringBase]) << id;
                matched = true;
            }
        }
        EXPECT_TRUE(matched) << id;
        ++strings;
    }
    EXPECT_EQ(strings, 15);
}
#endif

uint32_t failing_job(void *)
{
    kvx::progress_report(4, 2);
    return 520;
}

#ifndef _WIN32
using ProgressDialog = DatabaseFolder;

// The locale decides at load; the test chooses again after changing it.
class Locale {
public:
    explicit Locale(const char *value)
    {
        const char *old = std::getenv("LC_ALL");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("LC_ALL", value, 1);
        kvx::choose_progress_language();
    }
    ~Locale()
    {
        if (had_) setenv("LC_ALL", old_.c_str(), 1);
        else unsetenv("LC_ALL");
        kvx::choose_progress_language();
    }

private:
    bool had_ = false;
    std::string old_;
};

TEST_F(ProgressDialog, DatabasePassShowsGermanTextAndEveryFiftiethBlock)
{
    Locale german("de_DE.UTF-8");
    write("big.kvx", recording(2 * kChunkBlocks + 120));
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    ASSERT_EQ(open("big.kvx"), 0u);
    ASSERT_EQ(shown_.opens(), 1);
    EXPECT_EQ(shown_.dialog, "PROGRESSDLG_GR");
    EXPECT_EQ(shown_.stringId, 1792u);
    EXPECT_EQ(shown_.text, "Da dies eine große Datei ist, wird eine Datenbank für Schnellzugriff erstellt. \nBitte waren");
    // Blocks 0, 50, ... 450 of the two full chunks, 0, 50, 100 of the
    // third, then done = total.
    ASSERT_EQ(shown_.done.size(), 10u + 10u + 3u + 1u);
    EXPECT_EQ(shown_.done[0], 0u);
    EXPECT_EQ(shown_.done[10], 1u);
    EXPECT_EQ(shown_.done[20], 2u);
    EXPECT_EQ(shown_.done.back(), 3u);
    EXPECT_EQ(shown_.total.back(), 3u);
    EXPECT_EQ(shown_.lastPercent, "100 %");
    EXPECT_EQ(shown_.lastPerMille, 1000u);
    EXPECT_EQ(shown_.events.back(), KVX_PROGRESS_CLOSE);
    EXPECT_EQ(shown_.result, 0u);
}

TEST_F(ProgressDialog, DutchFallsBackToEnglish)
{
    Locale dutch("nl_NL.UTF-8");
    write("big.kvx", recording(1100));
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 3), 0u);
    ASSERT_EQ(open("big.kvx"), 0u);
    EXPECT_EQ(shown_.dialog, "PROGRESSDLG");
    EXPECT_EQ(shown_.stringId, 2304u);
}

TEST_F(ProgressDialog, HeaderInfoConversionShowsTheHeaderText)
{
    Locale english("C");
    const std::string file = write("old.kvx", recording(4000, "093100", 1));
    ASSERT_GT(read(file).size(), 2000000u);
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 0), 0u);
    HeaderInfoEx info{};
    ASSERT_EQ(KVXGetHeaderInfoEx("old.kvx", &info), 0u);
    EXPECT_EQ(read(file)[0], 2);
    ASSERT_EQ(shown_.opens(), 1);
    EXPECT_EQ(shown_.stringId, 2306u);
    EXPECT_EQ(shown_.text, "Adding a KVX new file header. \nPlease wait.");
    EXPECT_EQ(shown_.done.back(), shown_.total.back());

    // Small files are converted without the dialog.
    write("small.kvx", recording(600, "093100", 1));
    ASSERT_EQ(KVXGetHeaderInfoEx("small.kvx", &info), 0u);
    EXPECT_EQ(shown_.opens(), 1);
}

TEST_F(ProgressDialog, EndsWithTheJobsResult)
{
    EXPECT_EQ(kvx::run_under_progress(kvx::kJobEdit, 0, failing_job, nullptr), 520u);
    EXPECT_EQ(shown_.stringId, 2305u);
    ASSERT_EQ(shown_.done.size(), 1u);
    EXPECT_EQ(shown_.lastPercent, "50 %");
    EXPECT_EQ(shown_.result, 520u);
    EXPECT_FALSE(kvx::progress_showing());
}

// A quit message ends a modal loop at once; the job must still run, and
// the quit must reach the caller's own loop afterwards.
TEST_F(ProgressDialog, PendingQuitDoesNotLoseTheJob)
{
    PostQuitMessage(3);
    EXPECT_EQ(kvx::run_under_progress(kvx::kJobPass, 0, failing_job, nullptr), 520u);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(msg.wParam, 3u);
}
#endif

TEST_F(DatabaseFolder, WithoutADialogTheJobRunsHere)
{
    // An owner that is no window: the dialog cannot be made.
    kvx::g_decoder.window = reinterpret_cast<HWND>(static_cast<intptr_t>(0x5EED0));
    EXPECT_EQ(kvx::run_under_progress(kvx::kJobPass, 0, failing_job, nullptr), 520u);
    EXPECT_TRUE(shown_.events.empty());
    kvx::g_decoder.window = nullptr;
}

} // namespace
