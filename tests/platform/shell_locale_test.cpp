// Deleting files as the shell does, with the host's confirmation; the
// system's language from the locale environment.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "helpers.h"

namespace {

using Names = std::vector<std::string>;

// The host's hook: yes for names with "yes", cancel for "cancel", else no;
// notes the names asked for, with "*" for a read-only file.
int answer_hook(const char *path, BOOL readOnly, void *asked)
{
    const std::string name = std::strrchr(path, '/') + 1;
    *static_cast<std::string *>(asked) += name + (readOnly ? "* " : " ");
    return name.find("yes") != std::string::npos ? IDYES : name == "cancel" ? IDCANCEL : IDNO;
}

class Delete : public kvxtest::TempFolder {
protected:
    void TearDown() override
    {
        KVXPosixSetConfirmHook(nullptr, nullptr);
        TempFolder::TearDown();
    }
    // Deletes the files as one operation; `op` stays for a look.
    int remove(const Names &names, FILEOP_FLAGS flags, UINT func = FO_DELETE)
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

// Without a hook read-only files are kept; with one, it is asked for each
// file until it cancels; FOF_NOCONFIRMATION lets all go unasked.  A missing
// file is an error, and the others still go.
TEST_F(Delete, WithoutAHookReadOnlyFilesAreKeptAndWithOneEachIsAsked)
{
    const int missing = static_cast<int>(ERROR_FILE_NOT_FOUND);
    const struct {
        bool hook;
        FILEOP_FLAGS flags;
        Names files; // those whose name begins with "locked" are read-only
        int result;
        const char *left, *asked;
        BOOL aborted;
    } cases[] = {
        {false, FOF_SILENT | FOF_NOERRORUI | FOF_ALLOWUNDO, {"a", "locked"}, 0, "locked", "", TRUE},
        {false, FOF_NOCONFIRMATION, {"locked", "missing", "b"}, missing, "", "", FALSE},
        {true, 0, {"no", "missing", "locked-yes", "yes", "cancel", "after"}, missing, "no cancel after",
         "no locked-yes* yes cancel ", TRUE},
        {true, 0, {"no"}, 0, "no", "no ", TRUE}, // kept by answer is no error
        {true, FOF_NOCONFIRMATION, {"no", "locked"}, 0, "", "", FALSE},
    };
    for (const auto &c : cases) {
        std::string asked, left;
        KVXPosixSetConfirmHook(c.hook ? answer_hook : nullptr, &asked);
        for (const std::string &name : c.files) {
            if (name != "missing") std::ofstream(path(name)) << name;
            if (name.rfind("locked", 0) == 0) chmod(path(name).c_str(), 0444);
        }
        EXPECT_EQ(remove(c.files, c.flags), c.result) << &c - cases;
        for (const std::string &name : c.files) {
            if (chmod(path(name).c_str(), 0644) != 0) continue; // gone
            left += (left.empty() ? "" : " ") + name;
            unlink(path(name).c_str());
        }
        EXPECT_EQ(left, c.left) << &c - cases;
        EXPECT_EQ(asked, c.asked) << &c - cases;
        EXPECT_EQ(op.fAnyOperationsAborted, c.aborted) << &c - cases;
    }
    std::ofstream(path("c")) << "c";
    EXPECT_NE(remove({"c"}, FOF_NOCONFIRMATION, FO_COPY), 0) << "only deleting is done";
    EXPECT_EQ(access(path("c").c_str(), F_OK), 0);
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
