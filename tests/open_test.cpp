// Making a file the active file: what it reports of random files, the
// shortcut for the active name, names in the active folder, and every
// refused file's result code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>
#ifdef _WIN32
#include <io.h> // chmod
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "core/state.h"
#include "kvx.h"
#include "kvx_gen.h"

namespace {

using kvxgen::Bytes;

class Opening : public ::testing::Test {
protected:
    void SetUp() override { forget(); }
    void TearDown() override
    {
        kvx::g_write.sessionOpen = false;
        kvx::g_folder.path[0] = '\0';
        kvx::g_decoder.chunkBytes = kvx::kChunkBytes;
        for (const std::string &path : written_) std::remove(path.c_str());
    }
    static void forget() { kvx::g_file.name[0] = '\0'; }
    std::string write(const char *name, const Bytes &bytes)
    {
        written_.push_back(dir_ + "/kvx-open-" + name);
        EXPECT_TRUE(kvxgen::write(written_.back(), bytes));
        return written_.back();
    }
    static Bytes sp_file(size_t frames, uint32_t seed = 1, uint8_t codec = 1)
    {
        return kvxgen::build(kvxgen::File{{}, {kvxgen::random_segment(codec, frames, seed)}});
    }
    const std::string dir_ = ::testing::TempDir().substr(0, ::testing::TempDir().size() - 1); // no separator at the end
    std::vector<std::string> written_;
};

// Random mixes of both codecs and blank blocks over up to five chunks, with
// one or two header blocks, no audio at all, and files cut at exactly two
// chunks and one block more: length, codecs, the chunk time table and the
// header's facts.
TEST_F(Opening, ReportsWhatTheFileHolds)
{
    std::mt19937 rng(20261206);
    for (int round = 0; round < 14; ++round) {
        kvxgen::File file;
        file.header.blocks = 1 + static_cast<int>(rng() % 2);
        file.header.number = 0xA1B2C3D4u * static_cast<uint32_t>(round + 1);
        file.header.lock = static_cast<uint8_t>(round % 2 ? 0 : 0xFF);
        file.header.extendedMark = round % 3 ? 2 : 0;
        file.header.lengthDigits = std::to_string(100000 + round);
        file.fillLengths = false;
        file.tail = kvxgen::Tail::PadBlock;
        const size_t cut = round == 1 ? 1000 : round == 2 ? 1001 : 0;
        const size_t target_blocks = round == 0 ? 0 : cut != 0 ? cut + 200 : 1 + rng() % 2400;
        for (size_t frames = 0; frames * 20 < target_blocks * 506;) {
            const uint8_t codec = static_cast<uint8_t>(rng() % 4);
            const size_t n = 1 + rng() % 3000;
            file.segments.push_back(kvxgen::random_segment(codec, n, static_cast<uint32_t>(rng())));
            if (rng() % 4 == 0)
                file.segments.push_back(kvxgen::Segment::blank(rng() % 2 ? 0 : 0xFF, 1 + rng() % 3, codec));
            frames += n;
        }
        kvxgen::Layout layout;
        Bytes bytes = kvxgen::build(file, &layout);
        if (cut != 0) {
            ASSERT_GT(layout.blocks.size(), cut);
            bytes.resize(layout.headerBytes + cut * 512);
            layout.blocks.resize(cut);
            layout.audioBytes = cut * 512;
        }
        forget();
        uint32_t length = 0;
        uint16_t codecs = 0;
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(KVXActiveFile(write("random.kvx", bytes).c_str(), &length, &codecs), 0u);
        const std::vector<uint32_t> want = kvxgen::chunk_times(layout);
        ASSERT_EQ(std::vector<uint32_t>(kvx::g_file.chunkTimes, kvx::g_file.chunkTimes + kvx::g_file.chunkCount), want);
        EXPECT_EQ(length, want.back());
        EXPECT_EQ(codecs, round == 0 ? KVX_CODEC_SP : kvxgen::codec_flags(layout)) << "an empty file counts as SP";
        EXPECT_EQ(kvx::g_file.headerBlocks, file.header.blocks);
        EXPECT_EQ(kvx::g_file.audioBytes, std::max<size_t>(layout.audioBytes, 1)) << "no audio counts one byte";
        EXPECT_EQ(kvx::g_file.handle, nullptr) << "no handle is kept between calls";
        EXPECT_EQ(kvx::g_file.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
        EXPECT_TRUE(kvx::g_file.number == file.header.number && kvx::g_file.lock == file.header.lock &&
                    kvx::g_file.extended == (round % 3 != 0));
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(kvx::g_file.timeKey), 18),
                  file.header.lengthDigits + file.header.endDate + file.header.endTime);
    }
}

TEST_F(Opening, RefusedFilesReportNothing)
{
    const Bytes good = sp_file(40);
    std::string long_name = dir_ + "/";
    long_name.append(kvx::kNameBytes - long_name.size(), 'a'); // one more than the active name holds
    const struct {
        Bytes bytes;
        std::string path; // instead of the bytes
        uint32_t result;
    } cases[] = {
        {Bytes(), "", 7}, {kvxgen::truncated(good, 511), "", 7}, {kvxgen::with_magic(good, "kvy"), "", 7},
        {kvxgen::with_magic(good, "KVX"), "", 7}, {kvxgen::with_header_blocks(good, 0), "", 7},
        {kvxgen::with_header_blocks(good, 3), "", 7}, {kvxgen::truncated(good, 1000), "", 7}, // 1000: two header blocks
        {Bytes(), dir_ + "/kvx-open-missing.kvx", 1}, {Bytes(), dir_, 1}, {Bytes(), long_name, 1},
    };
    for (const auto &c : cases) {
        const std::string path = c.path.empty() ? write("broken.kvx", c.bytes) : c.path;
        for (auto open : {KVXActiveFile, KVXActiveFile2}) {
            forget();
            uint32_t length = 1234;
            EXPECT_EQ(open(path.c_str(), &length, nullptr), c.result) << &c - cases;
            EXPECT_EQ(length, 1234u) << &c - cases;
            EXPECT_EQ(kvx::g_file.handle, nullptr) << &c - cases;
            EXPECT_NE(std::memchr(kvx::g_file.name, 0, kvx::kNameBytes), nullptr) << "the name ends in its buffer";
        }
    }
    EXPECT_EQ(KVXActiveFile(nullptr, nullptr, nullptr), 1u);
    // A file cut inside its audio is still a KVX file.
    EXPECT_EQ(KVXActiveFile(write("cut.kvx", kvxgen::truncated(good, 1024 + 700)).c_str(), nullptr, nullptr), 0u);
    // Nothing opens while a write session is open.
    forget();
    kvx::g_write.sessionOpen = true;
    const std::string busy = write("busy.kvx", good);
    EXPECT_EQ(KVXActiveFile(busy.c_str(), nullptr, nullptr), 523u);
    EXPECT_EQ(KVXActiveFile2(busy.c_str(), nullptr, nullptr), 523u);
    EXPECT_EQ(kvx::g_file.name[0], '\0');
}

// The active name is answered from what is stored, a failure too; another
// name is read again: on Windows the name's case does not make another file.
TEST_F(Opening, SameNameReturnsStoredResultWithoutReading)
{
    const std::string path = write("a.kvx", sp_file(25));
    uint32_t length = 0;
    ASSERT_EQ(KVXActiveFile(path.c_str(), &length, nullptr), 0u);
    write("a.kvx", kvxgen::with_magic(sp_file(25), "xxx")); // the shortcut does not look
    length = 0;
    EXPECT_EQ(KVXActiveFile(path.c_str(), &length, nullptr), 0u);
    EXPECT_EQ(length, 25u * 24);
    EXPECT_EQ(KVXActiveFile2(path.c_str(), &length, nullptr), 0u) << "either opening answers";
    const std::string bad = write("bad.kvx", kvxgen::with_magic(sp_file(5), "KVX"));
    EXPECT_EQ(KVXActiveFile(bad.c_str(), &length, nullptr), 7u);
    write("bad.kvx", sp_file(5));
    for (auto open : {KVXActiveFile, KVXActiveFile2}) {
        length = 77;
        EXPECT_EQ(open(bad.c_str(), &length, nullptr), 7u);
        EXPECT_EQ(length, 77u) << "a stored failure reports no length";
    }
    EXPECT_EQ(KVXActiveFile(path.c_str(), &length, nullptr), 7u) << "another name is read again";
    write("A.kvx", sp_file(20));
    const uint32_t other_file = KVX_PATH_SEPARATOR == '\\' ? 7u : 0u; // Windows: the stored failure
    EXPECT_EQ(KVXActiveFile((dir_ + "/kvx-open-A.kvx").c_str(), &length, nullptr), other_file);
}

TEST_F(Opening, NamesInTheActiveFolder)
{
    // A bare name lies in the active folder, with one separator whichever
    // form the folder has; KVXActiveFile takes it as it is.
    write("bare.kvx", sp_file(30));
    const std::string separator(1, KVX_PATH_SEPARATOR);
    uint32_t length = 0;
    for (const std::string &folder : {dir_, dir_ + separator}) {
        std::snprintf(kvx::g_folder.path, sizeof kvx::g_folder.path, "%s", folder.c_str());
        forget();
        ASSERT_EQ(KVXActiveFile2("kvx-open-bare.kvx", &length, nullptr), 0u) << folder;
        EXPECT_EQ(length, 720u);
        EXPECT_EQ(std::string(kvx::g_file.name), dir_ + separator + "kvx-open-bare.kvx");
    }
    forget();
    EXPECT_EQ(KVXActiveFile("kvx-open-bare.kvx", &length, nullptr), 1u);
    // KVXActiveFile2 reports the active file's codecs even when it fails.
    ASSERT_EQ(KVXActiveFile(write("lp.kvx", sp_file(10, 1, 2)).c_str(), nullptr, nullptr), 0u);
    uint16_t codecs = 0;
    EXPECT_EQ(KVXActiveFile2((dir_ + "/kvx-open-missing.kvx").c_str(), nullptr, &codecs), 1u);
    EXPECT_EQ(codecs, KVX_CODEC_LP);
}

// A read-only file, and one writable by its owner only that another user
// opens: both are opened for reading.
TEST_F(Opening, ReadOnlyFileOpensForReading)
{
    const std::string path = write("ro.kvx", sp_file(12));
    chmod(path.c_str(), 0444);
    uint32_t length = 0;
    ASSERT_EQ(KVXActiveFile2(path.c_str(), &length, nullptr), 0u);
    EXPECT_EQ(length, 288u);
    EXPECT_EQ(kvx::g_file.access, static_cast<DWORD>(GENERIC_READ));
    chmod(path.c_str(), 0644);
#ifndef _WIN32
    forget();
    if (getuid() != 0) GTEST_SKIP() << "needs root to open as another user";
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
        const uint32_t result = KVXActiveFile(path.c_str(), &length, nullptr);
        _exit(result != 0 ? static_cast<int>(result) : kvx::g_file.access == GENERIC_READ && length == 288 ? 0 : 101);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
#endif
}

#ifndef _WIN32
// With the transcription feed's 10240-byte chunks a file of 671 MB has more
// chunks than the 16-bit count holds; 4 GiB do not fit the 32-bit audio byte
// count at all.  Both are refused before anything is read.
TEST_F(Opening, TooManyChunksForTheCount)
{
    kvx::g_decoder.chunkBytes = 10240;
    for (uint64_t size : {uint64_t(1024) + 10240ull * 65536 + 1, (uint64_t(1) << 32) + 4096ull}) {
        forget();
        const std::string path = write("huge.kvx", sp_file(1));
        ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);
        EXPECT_EQ(KVXActiveFile(path.c_str(), nullptr, nullptr), 7u) << size;
    }
}
#endif

} // namespace
