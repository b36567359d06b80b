// Multimedia files as a caller's output file, and thread priorities.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "helpers.h"
#include "platform/posix/objects.h"

namespace {

class Mmio : public kvxtest::TempFolder {
protected:
    void TearDown() override
    {
        posix::fail_writes_after(-1);
        TempFolder::TearDown();
    }
    static std::string contents(const std::string &name)
    {
        std::stringstream s;
        s << std::ifstream(name, std::ios::binary).rdbuf();
        return s.str();
    }
};

TEST_F(Mmio, WritesReadsAndReportsFailures)
{
    std::string name = path("out.pcm"), missing = path("missing.pcm"), nofolder = path("none/out.pcm");
    { std::ofstream(name) << "old content that is longer"; }
    MMIOINFO info{};
    HMMIO file = mmioOpenA(&name[0], &info, MMIO_CREATE | MMIO_WRITE | MMIO_EXCLUSIVE);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(mmioWrite(file, "abc", 3), 3);
    EXPECT_EQ(mmioWrite(file, "defg", 4), 4);
    EXPECT_EQ(mmioRead(file, &name[0], 1), -1) << "opened for writing only";
    EXPECT_EQ(mmioOpenA(&name[0], &info, MMIO_READ), nullptr) << "open with MMIO_EXCLUSIVE";
    EXPECT_EQ(info.wErrorRet, MMIOERR_SHARINGVIOLATION);
    // A write that fails (a full disk) returns -1.
    posix::fail_writes_after(1);
    EXPECT_EQ(mmioWrite(file, "hi", 2), 2);
    EXPECT_EQ(mmioWrite(file, "jk", 2), -1);
    posix::fail_writes_after(-1);
    EXPECT_EQ(mmioClose(file, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(contents(name), "abcdefghi") << "created anew, not over the old content";

    file = mmioOpenA(&name[0], nullptr, MMIO_READ);
    ASSERT_NE(file, nullptr);
    char got[8] = {};
    EXPECT_EQ(mmioSeek(file, 2, SEEK_SET), 2);
    EXPECT_EQ(mmioRead(file, got, 7), 7);
    EXPECT_EQ(std::string(got, 7), "cdefghi");
    EXPECT_EQ(mmioRead(file, got, 8), 0);
    EXPECT_EQ(mmioWrite(file, "x", 1), -1) << "opened for reading only";
    EXPECT_EQ(mmioSeek(file, 0, SEEK_END), 9);
    EXPECT_EQ(mmioClose(file, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(mmioClose(file, 0), MMSYSERR_INVALHANDLE);

    EXPECT_EQ(mmioOpenA(&missing[0], &info, MMIO_READ), nullptr);
    EXPECT_EQ(info.wErrorRet, MMIOERR_FILENOTFOUND);
    EXPECT_EQ(mmioOpenA(&nofolder[0], &info, MMIO_CREATE | MMIO_WRITE), nullptr);
    EXPECT_EQ(info.wErrorRet, MMIOERR_PATHNOTFOUND);
}

TEST(Threads, PriorityIsKeptPerThreadAndNeverRefusedForPermission)
{
    HANDLE self = GetCurrentThread();
    // Raising needs a privilege that a plain user lacks: it succeeds anyway.
    EXPECT_TRUE(SetThreadPriority(self, THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_HIGHEST);
    int other = -1;
    std::thread([&] { other = GetThreadPriority(GetCurrentThread()); }).join();
    EXPECT_EQ(other, THREAD_PRIORITY_NORMAL);
    EXPECT_TRUE(SetThreadPriority(self, THREAD_PRIORITY_NORMAL));
    EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_NORMAL);
    EXPECT_FALSE(SetThreadPriority(self, 7));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

} // namespace
