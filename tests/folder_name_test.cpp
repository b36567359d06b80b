// Paths of the active folder: a folder and a bare name are joined only when
// the result fits, and neither is read past the room for it, so that a name
// with no terminator (a caller's corrupt header image) gets a clean result.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/state.h"
#include "decode/open.h"
#include "kvx.h"

namespace {

// `count` copies of `c` in a heap block of exactly that size: no terminator,
// so that reading one byte too far is caught by the address sanitizer.
std::unique_ptr<char[]> unterminated(size_t count, char c)
{
    std::unique_ptr<char[]> p(new char[count]);
    std::memset(p.get(), c, count);
    return p;
}

TEST(FolderName, JoinsOnlyWhatFitsAndReadsNoFurther)
{
    struct Case {
        const char *folder;
        const char *name;
        size_t out_bytes;
        const char *want; // '?' for the separator; nullptr: does not fit
    } cases[] = {
        {"d", "nn", 5, "d?nn"}, // four characters and the terminator
        {"d/", "nnn", 6, "d/nnn"}, // no second separator
        {"d", "nnn", 5, nullptr},
        {"dddd", "", 5, nullptr}, // the folder and separator alone fill it
    };
    for (const Case &c : cases) {
        // A name that does not fit is given with no terminator, exactly as
        // long as the room that is left: the join must read none beyond it.
        const size_t length = std::strlen(c.name);
        auto name = unterminated(c.want != nullptr ? length + 1 : length, 'n');
        if (c.want != nullptr) name[length] = '\0';
        char out[16];
        const bool joined = kvx::join_folder(c.folder, name.get(), out, c.out_bytes);
        ASSERT_EQ(joined, c.want != nullptr) << c.folder << " + " << c.name;
        if (!joined) continue;
        std::string want = c.want;
        for (char &ch : want)
            if (ch == '?') ch = KVX_PATH_SEPARATOR;
        EXPECT_EQ(std::string(out), want);
    }
}

TEST(FolderName, OverlongOrUnterminatedNamesAreRefused)
{
    std::snprintf(kvx::g_folder.path, sizeof kvx::g_folder.path, "%s", ::testing::TempDir().c_str());
    for (size_t chars : {size_t{260}, size_t{1100}}) {
        auto name = unterminated(chars, 'y'); // also no header image: byte 9 is not 1 or 2
        HeaderInfo info;
        HeaderInfoEx ex;
        EXPECT_EQ(KVXGetHeaderInfo(name.get(), &info), KVX_ERR_OPEN) << chars;
        EXPECT_EQ(KVXGetHeaderInfoEx(name.get(), &ex), KVX_ERR_OPEN) << chars;
        const std::string terminated(chars, 'y');
        EXPECT_EQ(KVXActiveFile2(terminated.c_str(), nullptr, nullptr), KVX_ERR_OPEN) << chars;
        // With a folder part the name is taken as it is, and still not read past its end.
        name[1] = '/';
        EXPECT_EQ(KVXActiveFile(name.get(), nullptr, nullptr), KVX_ERR_OPEN) << chars;
        EXPECT_EQ(KVXActiveFile2(name.get(), nullptr, nullptr), KVX_ERR_OPEN) << chars;
        EXPECT_EQ(KVXActiveFolder(name.get(), 0), KVX_ERR_FOLDER) << chars;
    }
    kvx::g_folder.path[0] = '\0';
}

} // namespace
