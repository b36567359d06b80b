// Deleting files as the shell does, with the host's confirmation; the
// system's language from the locale environment.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "helpers.h"

namespace {

// The hook's answers by file name (IDNO for others), and what it was asked.
struct Answers {
    std::map<std::string, int> byName;
    std::vector<std::pair<std::string, BOOL>> asked;
};

int answer_hook(const char *path, BOOL readOnly, void *user)
{
    auto *answers = static_cast<Answers *>(user);
    std::string name(path);
    name = name.substr(name.rfind('/') + 1);
    answers->asked.emplace_back(name, readOnly);
    auto it = answers->byName.find(name);
    return it != answers->byName.end() ? it->second : IDNO;
}

class Delete : public kvxtest::TempFolder {
protected:
    void TearDown() override
    {
        KVXPosixSetConfirmHook(nullptr, nullptr);
        TempFolder::TearDown();
    }
    void make(const std::string &name, bool readOnly = false) const
    {
        std::ofstream(path(name)) << name;
        if (readOnly) chmod(path(name).c_str(), 0444);
    }
    bool exists(const std::string &name) const { return access(path(name).c_str(), F_OK) == 0; }
    // Deletes the named files as one operation; the result, and `op` stays for a look.
    int delete_files(std::initializer_list<std::string> names, FILEOP_FLAGS flags, UINT func = FO_DELETE)
    {
        from_.clear();
        for (const std::string &name : names) from_ += path(name) + '\0';
        from_ += '\0';
        op = SHFILEOPSTRUCTA{};
        op.wFunc = func;
        op.pFrom = from_.c_str();
        op.fFlags = flags;
        return SHFileOperationA(&op);
    }
    SHFILEOPSTRUCTA op{};

private:
    std::string from_;
};

} // namespace

TEST_F(Delete, WithoutAHookReadOnlyFilesAreKept)
{
    for (const char *name : {"a", "b", "c", "d"}) make(name);
    make("locked", true);
    EXPECT_EQ(delete_files({"a", "locked"}, FOF_SILENT | FOF_NOERRORUI | FOF_ALLOWUNDO), 0);
    EXPECT_FALSE(exists("a"));
    EXPECT_TRUE(exists("locked"));
    EXPECT_TRUE(op.fAnyOperationsAborted);
    // FOF_NOCONFIRMATION lets everything go; a missing file is an error, and
    // the others still go.
    EXPECT_EQ(delete_files({"locked", "missing", "b"}, FOF_NOCONFIRMATION), static_cast<int>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(exists("locked"));
    EXPECT_FALSE(exists("b"));
    EXPECT_FALSE(op.fAnyOperationsAborted);
    EXPECT_NE(delete_files({"c"}, FOF_NOCONFIRMATION, FO_COPY), 0) << "only deleting is done";
    EXPECT_TRUE(exists("c"));
}

TEST_F(Delete, TheHookIsAskedForEachFileUntilItCancels)
{
    Answers answers;
    answers.byName = {{"yes-locked", IDYES}, {"yes", IDYES}, {"cancel", IDCANCEL}};
    KVXPosixSetConfirmHook(answer_hook, &answers);
    for (const char *name : {"no", "yes", "cancel", "after"}) make(name);
    make("yes-locked", true);

    EXPECT_EQ(delete_files({"no", "missing", "yes-locked", "yes", "cancel", "after"}, 0),
              static_cast<int>(ERROR_FILE_NOT_FOUND));
    using Asked = std::vector<std::pair<std::string, BOOL>>;
    EXPECT_EQ(answers.asked, (Asked{{"no", FALSE}, {"yes-locked", TRUE}, {"yes", FALSE}, {"cancel", FALSE}}));
    EXPECT_TRUE(exists("no"));
    EXPECT_FALSE(exists("yes-locked")) << "a yes deletes a read-only file too";
    EXPECT_FALSE(exists("yes"));
    EXPECT_TRUE(exists("cancel"));
    EXPECT_TRUE(exists("after")) << "a cancel keeps the rest";
    EXPECT_TRUE(op.fAnyOperationsAborted);

    // Kept by answer is no error; FOF_NOCONFIRMATION does not ask.
    answers.asked.clear();
    EXPECT_EQ(delete_files({"no"}, 0), 0);
    EXPECT_EQ(delete_files({"no", "after"}, FOF_NOCONFIRMATION), 0);
    EXPECT_EQ(answers.asked.size(), 1u);
    EXPECT_FALSE(exists("no"));
    EXPECT_FALSE(exists("after"));
}

// LC_ALL, then LC_MESSAGES, then LANG; an empty one does not count.
TEST(Locale, TheLanguageOfTheLocaleEnvironment)
{
    const char *names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    std::string saved[3];
    for (int i = 0; i < 3; ++i) saved[i] = std::getenv(names[i]) ? std::getenv(names[i]) : "";
    const struct {
        const char *all, *messages, *lang;
        LCID lcid;
    } cases[] = {
        {"", "", "", 0x0409},           {"", "", "de_DE.UTF-8", 0x0407},   {"", "", "nl_NL", 0x0413},
        {"", "", "fr", 0x040C},         {"", "", "sv_SE.UTF-8@euro", 0x041D}, {"", "", "ja_JP.eucJP", 0x0411},
        {"", "", "nb_NO.UTF-8", 0x0414}, {"", "", "zh_TW.UTF-8", 0x0404},   {"", "", "zh_CN.GB18030", 0x0804},
        {"", "", "C.UTF-8", 0x0409},    {"", "", "POSIX", 0x0409},         {"", "", "xx_YY", 0x0409},
        {"", "it_IT", "de_DE", 0x0410}, {"C", "it_IT", "de_DE", 0x0409},
    };
    for (const auto &c : cases) {
        const char *values[] = {c.all, c.messages, c.lang};
        for (int i = 0; i < 3; ++i) setenv(names[i], values[i], 1);
        EXPECT_EQ(GetSystemDefaultLCID(), c.lcid) << c.all << "/" << c.messages << "/" << c.lang;
        EXPECT_EQ(GetSystemDefaultLangID(), static_cast<LANGID>(c.lcid));
    }
    for (int i = 0; i < 3; ++i) setenv(names[i], saved[i].c_str(), 1);
}
