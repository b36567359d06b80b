// Making a file the active file: the header checks, lengths, chunk tables,
// the shortcut for the active name, and every bad file's result code.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "core/state.h"
#include "kvx.h"
#include "kvx_gen.h"

namespace {

using kvxgen::Bytes;

// A fresh folder for each test, named after it.
std::string temp_folder()
{
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string dir = ::testing::TempDir() + "kvx-open-" + test->name();
#ifdef _WIN32
    std::system(("rmdir /s /q \"" + dir + "\" 2>nul").c_str());
    CreateDirectoryA(dir.c_str(), nullptr);
#else
    std::system(("rm -rf '" + dir + "'").c_str());
    mkdir(dir.c_str(), 0755);
#endif
    return dir;
}

class Opening : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = temp_folder();
        forget_active_file();
    }
    void TearDown() override
    {
        kvx::g_write.sessionOpen = false;
        kvx::g_folder.path[0] = '\0';
        kvx::g_decoder.chunkBytes = kvx::kChunkBytes;
    }
    static void forget_active_file()
    {
        kvx::g_file.name[0] = '\0';
        kvx::g_file.lastResult = kvx::g_file.lastResult2 = 0;
    }
    std::string write(const char *name, const Bytes &bytes, kvxgen::Layout *layout = nullptr)
    {
        (void)layout;
        const std::string path = dir_ + "/" + name;
        EXPECT_TRUE(kvxgen::write(path, bytes));
        return path;
    }
    std::string write_file(const char *name, const kvxgen::File &file, kvxgen::Layout *layout = nullptr)
    {
        return write(name, kvxgen::build(file, layout));
    }
    static kvxgen::File sp_file(size_t frames, uint32_t seed = 1)
    {
        kvxgen::File file;
        file.segments.push_back(kvxgen::random_segment(1, frames, seed));
        return file;
    }
    std::string dir_;
};

TEST_F(Opening, ReportsLengthCodecsAndTable)
{
    kvxgen::File file;
    file.segments.push_back(kvxgen::random_segment(1, 300, 7));
    file.segments.push_back(kvxgen::random_segment(2, 200, 8));
    kvxgen::Layout layout;
    const std::string path = write_file("mixed.kvx", file, &layout);

    uint32_t length = 0;
    uint16_t codecs = 0;
    ASSERT_EQ(KVXActiveFile(path.c_str(), &length, &codecs), 0u);
    EXPECT_EQ(length, 300u * 24 + 200u * 30);
    EXPECT_EQ(length, layout.totalMs);
    EXPECT_EQ(codecs, KVX_CODEC_SP | KVX_CODEC_LP);
    EXPECT_EQ(kvx::g_file.headerBlocks, 2);
    EXPECT_EQ(kvx::g_file.audioBytes, layout.audioBytes);
    EXPECT_EQ(kvx::g_file.chunkCount, 1);
    EXPECT_EQ(kvx::g_file.handle, nullptr) << "no handle is kept between calls";
    EXPECT_EQ(kvx::g_file.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
}

TEST_F(Opening, HeaderFactsAreTakenOver)
{
    kvxgen::File file = sp_file(10);
    file.header.number = 0xA1B2C3D4u;
    file.header.lock = 0;
    file.header.endDate = "261205";
    file.header.endTime = "235959";
    file.fillLengths = false;
    file.header.lengthDigits = "000001";
    const std::string path = write_file("facts.kvx", file);
    ASSERT_EQ(KVXActiveFile(path.c_str(), nullptr, nullptr), 0u);
    EXPECT_EQ(kvx::g_file.number, 0xA1B2C3D4u);
    EXPECT_EQ(kvx::g_file.lock, 0);
    EXPECT_TRUE(kvx::g_file.extended);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(kvx::g_file.timeKey), 18), "000001261205235959");
}

TEST_F(Opening, OneBlockHeaderHasItsAudioAt512)
{
    kvxgen::File file = sp_file(50);
    file.header.blocks = 1;
    kvxgen::Layout layout;
    const std::string path = write_file("one.kvx", file, &layout);
    uint32_t length = 0;
    uint16_t codecs = 0;
    ASSERT_EQ(KVXActiveFile(path.c_str(), &length, &codecs), 0u);
    EXPECT_EQ(length, 50u * 24);
    EXPECT_EQ(codecs, KVX_CODEC_SP);
    EXPECT_EQ(kvx::g_file.headerBlocks, 1);
    EXPECT_EQ(kvx::g_file.audioBytes, layout.audioBytes);
}

TEST_F(Opening, HeaderWithoutAudioIsOneEmptyChunk)
{
    kvxgen::File file;
    const std::string path = write_file("empty.kvx", file);
    uint32_t length = 99;
    uint16_t codecs = 0;
    ASSERT_EQ(KVXActiveFile(path.c_str(), &length, &codecs), 0u);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(kvx::g_file.audioBytes, 1u);
    EXPECT_EQ(kvx::g_file.chunkCount, 1);
    EXPECT_EQ(kvx::g_file.chunkTimes[0], 0u);
}

TEST_F(Opening, ChunkBoundaries)
{
    // 1000 blocks are exactly two chunks, 1001 blocks three: the table
    // follows each block's time, also across the chunk boundary.
    for (size_t blocks : {size_t(1000), size_t(1001)}) {
        forget_active_file();
        kvxgen::File file;
        file.tail = kvxgen::Tail::PadBlock;
        // More 24-byte LP frames than the blocks hold; the file is cut after
        // the wanted number of blocks.
        std::vector<Bytes> frames;
        for (size_t i = 0; i < blocks * 22; ++i) frames.push_back(kvxgen::lp_active(static_cast<uint32_t>(i)));
        file.segments.push_back(kvxgen::Segment::audio(2, frames));
        kvxgen::Layout layout;
        Bytes bytes = kvxgen::build(file, &layout);
        ASSERT_GE(layout.blocks.size(), blocks);
        bytes.resize(layout.headerBytes + blocks * 512);
        layout.blocks.resize(blocks);
        layout.audioBytes = blocks * 512;
        const std::string path = write(("chunks" + std::to_string(blocks) + ".kvx").c_str(), bytes);
        uint32_t length = 0;
        ASSERT_EQ(KVXActiveFile(path.c_str(), &length, nullptr), 0u);
        const std::vector<uint32_t> want = kvxgen::chunk_times(layout);
        ASSERT_EQ(kvx::g_file.chunkCount, want.size()) << blocks << " blocks";
        for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(kvx::g_file.chunkTimes[i], want[i]) << "chunk " << i;
        EXPECT_EQ(length, want.back());
    }
}

TEST_F(Opening, GeneratedFilesReadBackTheirTables)
{
    // Random mixes of both codecs and blank blocks over one to five chunks.
    std::mt19937 rng(20261206);
    for (int round = 0; round < 12; ++round) {
        forget_active_file();
        kvxgen::File file;
        file.header.blocks = 1 + static_cast<int>(rng() % 2);
        const size_t target_blocks = 1 + rng() % 2400;
        size_t frames = 0;
        while (frames * 20 < target_blocks * 506) {
            const uint8_t codec = static_cast<uint8_t>(rng() % 4);
            const size_t n = 1 + rng() % 3000;
            file.segments.push_back(kvxgen::random_segment(codec, n, static_cast<uint32_t>(rng())));
            if (rng() % 4 == 0) // blank blocks carry their neighbours' codec byte
                file.segments.push_back(kvxgen::Segment::blank(rng() % 2 ? 0 : 0xFF, 1 + rng() % 3, codec));
            frames += n;
        }
        kvxgen::Layout layout;
        const std::string path = write_file("random.kvx", file, &layout);
        uint32_t length = 0;
        uint16_t codecs = 0;
        ASSERT_EQ(KVXActiveFile(path.c_str(), &length, &codecs), 0u) << "round " << round;
        const std::vector<uint32_t> want = kvxgen::chunk_times(layout);
        ASSERT_EQ(kvx::g_file.chunkCount, want.size()) << "round " << round;
        for (size_t i = 0; i < want.size(); ++i)
            ASSERT_EQ(kvx::g_file.chunkTimes[i], want[i]) << "round " << round << " chunk " << i;
        EXPECT_EQ(length, layout.totalMs);
        EXPECT_EQ(codecs, kvxgen::codec_flags(layout));
    }
}

TEST_F(Opening, BrokenFilesAreNotKvxFiles)
{
    kvxgen::Layout layout;
    const Bytes good = kvxgen::build(sp_file(40), &layout);
    struct Case {
        const char *what;
        Bytes bytes;
    } cases[] = {
        {"empty file", Bytes()},
        {"shorter than one block", kvxgen::truncated(good, 511)},
        {"wrong magic", kvxgen::with_magic(good, "kvy")},
        {"upper-case magic", kvxgen::with_magic(good, "KVX")},
        {"header block count 0", kvxgen::with_header_blocks(good, 0)},
        {"header block count 3", kvxgen::with_header_blocks(good, 3)},
        {"header block count 200", kvxgen::with_header_blocks(good, 200)},
        {"shorter than its two header blocks", kvxgen::truncated(good, 1000)},
    };
    for (const Case &c : cases) {
        forget_active_file();
        const std::string path = write("broken.kvx", c.bytes);
        uint32_t length = 1234;
        uint16_t codecs = 0;
        EXPECT_EQ(KVXActiveFile(path.c_str(), &length, &codecs), 7u) << c.what;
        EXPECT_EQ(length, 1234u) << c.what << ": a failure reports nothing";
        EXPECT_EQ(kvx::g_file.handle, nullptr) << c.what;
        forget_active_file();
        EXPECT_EQ(KVXActiveFile2(path.c_str(), &length, &codecs), 7u) << c.what;
    }
    // A file cut inside its audio is still a KVX file.
    forget_active_file();
    const std::string cut = write("cut.kvx", kvxgen::truncated(good, 1024 + 700));
    EXPECT_EQ(KVXActiveFile(cut.c_str(), nullptr, nullptr), 0u);
}

TEST_F(Opening, FilesThatCannotBeOpened)
{
    uint32_t length = 5;
    EXPECT_EQ(KVXActiveFile((dir_ + "/missing.kvx").c_str(), &length, nullptr), 1u);
    EXPECT_EQ(KVXActiveFile(dir_.c_str(), &length, nullptr), 1u) << "a folder";
    EXPECT_EQ(KVXActiveFile(nullptr, &length, nullptr), 1u);
    EXPECT_EQ(length, 5u);

    // A name of 260 characters or more cannot be held as the active name.
    std::string long_name = dir_ + "/";
    long_name.append(300 - long_name.size(), 'a');
    EXPECT_EQ(KVXActiveFile(long_name.c_str(), &length, nullptr), 1u);
    EXPECT_EQ(KVXActiveFile2(long_name.c_str(), &length, nullptr), 1u);
    EXPECT_LT(std::strlen(kvx::g_file.name), 260u);
}

TEST_F(Opening, SameNameReturnsStoredResultWithoutReading)
{
    const std::string path = write_file("a.kvx", sp_file(25));
    uint32_t length = 0;
    uint16_t codecs = 0;
    ASSERT_EQ(KVXActiveFile(path.c_str(), &length, &codecs), 0u);
    // Replace the file behind the name: the shortcut does not look.
    write("a.kvx", kvxgen::with_magic(kvxgen::build(sp_file(25)), "xxx"));
    length = 0;
    codecs = 0;
    EXPECT_EQ(KVXActiveFile(path.c_str(), &length, &codecs), 0u);
    EXPECT_EQ(length, 25u * 24);
    EXPECT_EQ(codecs, KVX_CODEC_SP);
    // Either opening answers for the active file.
    EXPECT_EQ(KVXActiveFile2(path.c_str(), &length, &codecs), 0u);

    // A failed opening leaves its name active and its failure stored.
    const std::string bad = write("bad.kvx", kvxgen::with_magic(kvxgen::build(sp_file(5)), "KVX"));
    EXPECT_EQ(KVXActiveFile(bad.c_str(), &length, &codecs), 7u);
    write("bad.kvx", kvxgen::build(sp_file(5)));
    length = 77;
    EXPECT_EQ(KVXActiveFile(bad.c_str(), &length, &codecs), 7u);
    EXPECT_EQ(length, 77u) << "a stored failure reports no length";
    // Another name opens again.
    EXPECT_EQ(KVXActiveFile(path.c_str(), &length, &codecs), 7u) << "the file behind a.kvx is broken now";
}

TEST_F(Opening, NamesDifferingInCase)
{
    const std::string lower = write_file("case.kvx", sp_file(10));
    const std::string upper = dir_ + "/CASE.kvx";
    ASSERT_EQ(KVXActiveFile(lower.c_str(), nullptr, nullptr), 0u);
    uint32_t length = 0;
#ifdef _WIN32
    // One file: the shortcut answers.
    EXPECT_EQ(KVXActiveFile(upper.c_str(), &length, nullptr), 0u);
    EXPECT_EQ(length, 240u);
#else
    // Two files: the other one does not exist.
    EXPECT_EQ(KVXActiveFile(upper.c_str(), &length, nullptr), 1u);
    write_file("CASE.kvx", sp_file(20));
    forget_active_file();
    ASSERT_EQ(KVXActiveFile(lower.c_str(), nullptr, nullptr), 0u);
    EXPECT_EQ(KVXActiveFile(upper.c_str(), &length, nullptr), 0u);
    EXPECT_EQ(length, 480u);
#endif
}

TEST_F(Opening, BareNameIsTakenFromTheActiveFolder)
{
    write_file("bare.kvx", sp_file(30));
    uint32_t length = 0;
    const std::string separator(1, KVX_PATH_SEPARATOR);
    for (const std::string &folder : {dir_, dir_ + separator}) {
        forget_active_file();
        std::snprintf(kvx::g_folder.path, sizeof kvx::g_folder.path, "%s", folder.c_str());
        ASSERT_EQ(KVXActiveFile2("bare.kvx", &length, nullptr), 0u) << folder;
        EXPECT_EQ(length, 720u);
        EXPECT_EQ(std::string(kvx::g_file.name), dir_ + separator + "bare.kvx")
            << "one separator, whichever form the folder has";
    }
    // KVXActiveFile takes the name as it is.
    forget_active_file();
    EXPECT_EQ(KVXActiveFile("bare.kvx", &length, nullptr), 1u);
}

TEST_F(Opening, ActiveFile2ReportsCurrentFlagsEvenOnFailure)
{
    kvxgen::File file;
    file.segments.push_back(kvxgen::random_segment(2, 10, 1));
    const std::string lp = write_file("lp.kvx", file);
    ASSERT_EQ(KVXActiveFile(lp.c_str(), nullptr, nullptr), 0u);
    uint16_t codecs = 0;
    EXPECT_EQ(KVXActiveFile2((dir_ + "/missing.kvx").c_str(), nullptr, &codecs), 1u);
    EXPECT_EQ(codecs, KVX_CODEC_LP);
}

TEST_F(Opening, RefusedWhileAWriteSessionIsOpen)
{
    const std::string path = write_file("busy.kvx", sp_file(3));
    kvx::g_write.sessionOpen = true;
    EXPECT_EQ(KVXActiveFile(path.c_str(), nullptr, nullptr), 523u);
    EXPECT_EQ(KVXActiveFile2(path.c_str(), nullptr, nullptr), 523u);
    EXPECT_EQ(kvx::g_file.name[0], '\0');
}

TEST_F(Opening, ReadOnlyFileOpensForReading)
{
    const std::string path = write_file("ro.kvx", sp_file(12));
#ifdef _WIN32
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
#else
    chmod(path.c_str(), 0444);
#endif
    uint32_t length = 0;
    ASSERT_EQ(KVXActiveFile2(path.c_str(), &length, nullptr), 0u);
    EXPECT_EQ(length, 288u);
    EXPECT_EQ(kvx::g_file.access, static_cast<DWORD>(GENERIC_READ));
#ifdef _WIN32
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
#endif
}

#ifndef _WIN32
TEST_F(Opening, AccessDeniedFallsBackToReading)
{
    // A file that its reader may read but not write, without the read-only
    // attribute: the read-and-write opening is denied and the file is
    // opened for reading.  Run as another user when the tests run as root.
    const std::string path = write_file("denied.kvx", sp_file(12));
    chmod(dir_.c_str(), 0755);
    chmod(path.c_str(), 0644);
    if (getuid() != 0) GTEST_SKIP() << "needs root to open as another user";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
        uint32_t length = 0;
        uint32_t result = KVXActiveFile(path.c_str(), &length, nullptr);
        if (result != 0) _exit(static_cast<int>(result));
        _exit(kvx::g_file.access == GENERIC_READ && length == 288 ? 0 : 101);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Opening, TooManyChunksForTheCount)
{
    // With the transcription feed's 10240-byte chunks a file of 671 MB has
    // more chunks than the 16-bit count holds; 4 GiB do not fit the 32-bit
    // audio byte count at all.  Both are refused before anything is read.
    const Bytes head = kvxgen::build(sp_file(1));
    for (uint64_t size : {uint64_t(1024) + 10240ull * 65536 + 1, (uint64_t(1) << 32) + 4096ull}) {
        forget_active_file();
        const std::string path = write("huge.kvx", head);
        ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0) << std::strerror(errno);
        kvx::g_decoder.chunkBytes = 10240;
        EXPECT_EQ(KVXActiveFile(path.c_str(), nullptr, nullptr), 7u) << size;
        unlink(path.c_str());
    }
}
#endif

} // namespace
