// Deleting recordings: locked ones are made read-only first, and the
// answer is about the first file only.
#include "database_fixture.h"

#include <string>

namespace {

using Deleting = DatabaseFolder;

#ifndef _WIN32
// A file list as the shell takes it: NUL after each, and one more.
std::string list(const std::vector<std::string> &paths)
{
    std::string out;
    for (const std::string &p : paths) out += p + '\0';
    return out + '\0';
}

kvxgen::Bytes with_lock(kvxgen::Bytes bytes, uint8_t lock)
{
    bytes[68] = lock;
    return bytes;
}

bool read_only(const std::string &file)
{
    const DWORD attributes = GetFileAttributesA(file.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

TEST_F(Deleting, LockedFilesAreKeptWithoutAConfirmation)
{
    const std::string open_one = write("open.kvx", with_lock(recording(10), 0xFF));
    const std::string locked = write("locked.kvx", with_lock(recording(10), 0));
    // The first file goes, a later one stays: 0.
    EXPECT_EQ(KVXDeleteFiles(list({open_one, locked}).c_str()), 0);
    EXPECT_FALSE(exists(open_one));
    EXPECT_TRUE(exists(locked));
    EXPECT_TRUE(read_only(locked));
    // The first file stays: 1.
    const std::string other = write("other.kvx", with_lock(recording(10), 0xFF));
    EXPECT_EQ(KVXDeleteFiles(list({locked, other}).c_str()), 1);
    EXPECT_FALSE(exists(other));
}

struct Answers {
    int answer;
    std::vector<std::string> asked;
    std::vector<int> readOnly;
};

int confirm(const char *path, BOOL is_read_only, void *user)
{
    auto *answers = static_cast<Answers *>(user);
    answers->asked.push_back(path);
    answers->readOnly.push_back(is_read_only ? 1 : 0);
    return answers->answer;
}

TEST_F(Deleting, TheUserIsAskedAboutEachFile)
{
    const std::string unlocked = write("a.kvx", with_lock(recording(10), 0xFF));
    const std::string locked = write("b.kvx", with_lock(recording(10), 0));
    Answers no{IDNO, {}, {}};
    KVXPosixSetConfirmHook(confirm, &no);
    EXPECT_EQ(KVXDeleteFiles(list({locked, unlocked}).c_str()), 1);
    EXPECT_EQ(no.asked, (std::vector<std::string>{locked, unlocked}));
    EXPECT_EQ(no.readOnly, (std::vector<int>{1, 0}));
    EXPECT_TRUE(read_only(locked)); // declined: it stays read-only
    EXPECT_FALSE(read_only(unlocked));

    Answers yes{IDYES, {}, {}};
    KVXPosixSetConfirmHook(confirm, &yes);
    EXPECT_EQ(KVXDeleteFiles(list({locked, unlocked}).c_str()), 0);
    EXPECT_FALSE(exists(locked));
    EXPECT_FALSE(exists(unlocked));
    KVXPosixSetConfirmHook(nullptr, nullptr);
}

TEST_F(Deleting, MissingFilesAndEmptyLists)
{
    EXPECT_EQ(KVXDeleteFiles(list({path("none.kvx")}).c_str()), 0);
    EXPECT_EQ(KVXDeleteFiles(std::string(2, '\0').c_str()), 0);
}
#endif

} // namespace
