// Deleting files as the shell does, with the host's confirmation; the
// system's language from the locale environment.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "helpers.h"

namespace {

using Names = std::initializer_list<std::string>;

// The hook's answers by file name (IDNO for others), and what it was asked.
struct Answers {
    std::map<std::string, int> byName;
    std::vector<std::pair<std::string, BOOL>> asked;
};

int answer_hook(const char *path, BOOL readOnly, void *user)
{
    auto *answers = static_cast<Answers *>(user);
    const std::string name = std::strrchr(path, '/') + 1;
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
    // Makes the files; those whose name begins with "locked" read-only.
    void make(Names names) const
    {
        for (const std::string &name : names) {
            std::ofstream(path(name)) << name;
            if (name.rfind("locked", 0) == 0) chmod(path(name).c_str(), 0444);
        }
    }
    // Which of the files are still there.
    std::string left(Names names) const
    {
        std::string out;
        for (const std::string &name : names)
            if (access(path(name).c_str(), F_OK) == 0) out += (out.empty() ? "" : " ") + name;
        return out;
    }
    // Deletes the files as one operation; `op` stays for a look.
    int remove(Names names, FILEOP_FLAGS flags, UINT func = FO_DELETE)
    {
        std::string from;
        for (const std::string &name : names) from += path(name) + '\0';
        op = SHFILEOPSTRUCTA{};
        op.wFunc = func;
        op.pFrom = (from += '\0').c_str();
        op.fFlags = flags;
        return SHFileOperationA(&op);
    }
    SHFILEOPSTRUCTA op{};
};

TEST_F(Delete, WithoutAHookReadOnlyFilesAreKept)
{
    make({"a", "b", "c", "locked"});
    EXPECT_EQ(remove({"a", "locked"}, FOF_SILENT | FOF_NOERRORUI | FOF_ALLOWUNDO), 0);
    EXPECT_TRUE(op.fAnyOperationsAborted);
    EXPECT_EQ(left({"a", "locked"}), "locked");
    // FOF_NOCONFIRMATION lets everything go; a missing file is an error, and
    // the others still go.
    EXPECT_EQ(remove({"locked", "missing", "b"}, FOF_NOCONFIRMATION), static_cast<int>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(op.fAnyOperationsAborted);
    EXPECT_NE(remove({"c"}, FOF_NOCONFIRMATION, FO_COPY), 0) << "only deleting is done";
    EXPECT_EQ(left({"locked", "b", "c"}), "c");
}

TEST_F(Delete, TheHookIsAskedForEachFileUntilItCancels)
{
    Answers answers;
    answers.byName = {{"locked-yes", IDYES}, {"yes", IDYES}, {"cancel", IDCANCEL}};
    KVXPosixSetConfirmHook(answer_hook, &answers);
    make({"no", "locked-yes", "yes", "cancel", "after"});
    EXPECT_EQ(remove({"no", "missing", "locked-yes", "yes", "cancel", "after"}, 0),
              static_cast<int>(ERROR_FILE_NOT_FOUND));
    using Asked = std::vector<std::pair<std::string, BOOL>>;
    EXPECT_EQ(answers.asked, (Asked{{"no", FALSE}, {"locked-yes", TRUE}, {"yes", FALSE}, {"cancel", FALSE}}));
    // A yes deletes a read-only file too; a cancel keeps the rest.
    EXPECT_EQ(left({"no", "locked-yes", "yes", "cancel", "after"}), "no cancel after");
    EXPECT_TRUE(op.fAnyOperationsAborted);

    // Kept by answer is no error; FOF_NOCONFIRMATION does not ask.
    answers.asked.clear();
    EXPECT_EQ(remove({"no"}, 0), 0);
    EXPECT_EQ(remove({"no", "after"}, FOF_NOCONFIRMATION), 0);
    EXPECT_EQ(answers.asked.size(), 1u);
    EXPECT_EQ(left({"no", "after"}), "");
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
        {"", "", "", 0x0409},         {"", "", "de_DE.UTF-8", 0x0407},   {"", "", "fr", 0x040C},
        {"", "", "SV_se@euro", 0x041D}, {"", "", "nb_NO.UTF-8", 0x0414},   {"", "", "zh_TW.UTF-8", 0x0404},
        {"", "", "zh_CN", 0x0804},    {"", "", "C.UTF-8", 0x0409},       {"", "", "xx_YY", 0x0409},
        {"", "it_IT", "de_DE", 0x0410}, {"C", "it_IT", "de_DE", 0x0409},
    };
    for (const auto &c : cases) {
        const char *values[] = {c.all, c.messages, c.lang};
        for (int i = 0; i < 3; ++i) setenv(names[i], values[i], 1);
        EXPECT_EQ(GetSystemDefaultLCID(), c.lcid) << c.all << "/" << c.messages << "/" << c.lang;
    }
    for (int i = 0; i < 3; ++i) setenv(names[i], saved[i].c_str(), 1);
}

} // namespace
