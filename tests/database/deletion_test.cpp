// Deleting recordings: locked ones are made read-only first and kept unless
// the user says otherwise; the answer is about the first file only.
#include "../header/header_fixture.h"

#include <string>

namespace {

#ifndef _WIN32
using Deleting = DatabaseFolder;

struct Answers {
    int answer;
    std::vector<std::string> asked;
};

int confirm(const char *path, BOOL read_only, void *user)
{
    auto *answers = static_cast<Answers *>(user);
    answers->asked.push_back(std::string(read_only ? "read-only " : "") + path);
    return answers->answer;
}

// No hook: unlocked files go, locked ones stay (read-only now).  IDNO: all
// stay; IDYES: all go.  The list holds a locked file, an unlocked one, in
// either order, and one that is missing.
TEST_F(Deleting, LockedFilesAskedAboutAndTheFirstFileAnswers)
{
    const struct {
        bool hook;
        int answer;
        bool lockedFirst;
        int result;
        bool lockedStays, unlockedStays;
    } cases[] = {{false, 0, true, 1, true, false}, {false, 0, false, 0, true, false},
                 {true, IDNO, true, 1, true, true}, {true, IDYES, true, 0, false, false}};
    for (const auto &c : cases) {
        kvxgen::Bytes bytes = recording(10);
        bytes[68] = 0;
        const std::string locked = write("locked.kvx", bytes);
        bytes[68] = 0xFF;
        const std::string unlocked = write("unlocked.kvx", bytes);
        Answers answers{c.answer, {}};
        KVXPosixSetConfirmHook(c.hook ? confirm : nullptr, &answers);
        const std::string list = (c.lockedFirst ? locked + '\0' + unlocked : unlocked + '\0' + locked) + '\0' +
                                 path("none.kvx") + '\0';
        EXPECT_EQ(KVXDeleteFiles(list.c_str()), c.result) << c.answer;
        KVXPosixSetConfirmHook(nullptr, nullptr);
        EXPECT_EQ(GetFileAttributesA(locked.c_str()), c.lockedStays ? FILE_ATTRIBUTE_READONLY : INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetFileAttributesA(unlocked.c_str()), c.unlockedStays ? FILE_ATTRIBUTE_NORMAL : INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(answers.asked, (c.hook ? std::vector<std::string>{"read-only " + locked, unlocked}
                                         : std::vector<std::string>{}));
        set_read_only("locked.kvx", false);
    }
    // The first file missing: 0; an empty list: 0.
    EXPECT_EQ(KVXDeleteFiles((path("none.kvx") + '\0' + '\0').c_str()), 0);
    EXPECT_EQ(KVXDeleteFiles(std::string(2, '\0').c_str()), 0);
}
#endif

} // namespace
