// The large-file database: when a file's table is looked up, built and
// recorded, and what a damaged management file gets.
#include "database_fixture.h"

#include <cstring>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

#include "database/drives.h"
#include "database/management.h"
#ifndef _WIN32
#include "platform/posix/objects.h"
#endif

namespace {

using kvxgen::Bytes;

constexpr size_t kChunkBlocks = 500;

// Management data with records for the given keys (one chunk each).
Bytes management_data(const std::vector<std::string> &keys, uint8_t count_byte)
{
    Bytes data = {count_byte, 0, 0, 0};
    for (const std::string &key : keys) {
        Bytes record(28 + 4, 0);
        std::memcpy(record.data(), "KVX", 3);
        std::memcpy(record.data() + 7, key.data(), 18);
        record[25] = 1;
        record[26] = 1;
        record[28] = 42;
        data.insert(data.end(), record.begin(), record.end());
    }
    return data;
}

std::string key(int i)
{
    char text[19];
    std::snprintf(text, sizeof text, "%018d", i);
    return text;
}

const uint8_t *find(const Bytes &data, const std::string &k)
{
    return kvx::find_record(data.data(), static_cast<uint32_t>(data.size()),
                            reinterpret_cast<const uint8_t *>(k.data()), 1);
}

TEST(ManagementData, LookUpStopsAtAnythingThatDoesNotFit)
{
    const Bytes good = management_data({key(1), key(2)}, 2);
    EXPECT_EQ(find(good, key(2)), good.data() + 4 + 32);
    EXPECT_EQ(find(good, key(3)), nullptr);

    // A count byte that lies: more records than the data holds.
    Bytes lying = good;
    lying[0] = 5;
    EXPECT_EQ(find(lying, key(3)), nullptr);
    // Cut inside the second record's table, then inside its head.
    for (size_t cut : {good.size() - 1, good.size() - 10, size_t{3}}) {
        Bytes cut_data(good.begin(), good.begin() + static_cast<long>(cut));
        const std::vector<uint8_t> copy(cut_data.begin(), cut_data.end());
        EXPECT_EQ(kvx::find_record(copy.data(), static_cast<uint32_t>(copy.size()),
                                   reinterpret_cast<const uint8_t *>(key(2).data()), 1),
                  nullptr);
    }
    // A chunk count running past the end of the data.
    Bytes long_count = good;
    long_count[4 + 26] = 0xFF;
    EXPECT_EQ(find(long_count, key(2)), nullptr);
    // A bad record mark ends the search.
    Bytes bad_mark = good;
    bad_mark[4] = 'k';
    EXPECT_EQ(find(bad_mark, key(2)), nullptr);
    // 128 and more count as no records; a record for another chunk count
    // does not describe the file.
    Bytes many = good;
    many[0] = 0x80;
    EXPECT_EQ(find(many, key(1)), nullptr);
    EXPECT_EQ(kvx::find_record(good.data(), static_cast<uint32_t>(good.size()),
                               reinterpret_cast<const uint8_t *>(key(1).data()), 2),
              nullptr);
}

TEST(ManagementData, AppendingKeepsOldRecordsAndStaysReadable)
{
    const Bytes old = management_data({key(1), key(2)}, 2);
    const uint32_t table[3] = {100, 200, 300};
    const std::string k = key(9);
    const kvx::ManagementRecord record{0x01020304, reinterpret_cast<const uint8_t *>(k.data()), 3, 3, table};
    uint32_t bytes = 0;
    uint8_t *data = kvx::append_record(old.data(), static_cast<uint32_t>(old.size()), record, &bytes);
    ASSERT_NE(data, nullptr);
    // Well-formed data: the old bytes, the count plus one, the record.
    ASSERT_EQ(bytes, old.size() + 28 + 12);
    EXPECT_EQ(data[0], 3);
    EXPECT_EQ(0, std::memcmp(data + 1, old.data() + 1, old.size() - 1));
    const uint8_t *at = data + old.size();
    EXPECT_EQ(0, std::memcmp(at, "KVX\x04\x03\x02\x01", 7));
    EXPECT_EQ(at[25], 3);
    EXPECT_EQ(at[26], 3);
    EXPECT_EQ(at[28 + 8], 44); // 300 = 0x12C
    EXPECT_EQ(kvx::find_record(data, bytes, reinterpret_cast<const uint8_t *>(k.data()), 3), at);
    std::free(data);
}

TEST(ManagementData, NeverReachesTheCountThatReadsAsEmpty)
{
    std::vector<std::string> keys;
    for (int i = 0; i < 127; ++i) keys.push_back(key(i));
    const Bytes full = management_data(keys, 127);
    const uint32_t table[1] = {7};
    const std::string k = key(500);
    const kvx::ManagementRecord record{0, reinterpret_cast<const uint8_t *>(k.data()), 1, 1, table};
    uint32_t bytes = 0;
    uint8_t *data = kvx::append_record(full.data(), static_cast<uint32_t>(full.size()), record, &bytes);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0], 127);
    EXPECT_EQ(kvx::find_record(data, bytes, reinterpret_cast<const uint8_t *>(key(0).data()), 1), nullptr);
    EXPECT_NE(kvx::find_record(data, bytes, reinterpret_cast<const uint8_t *>(key(1).data()), 1), nullptr);
    EXPECT_NE(kvx::find_record(data, bytes, reinterpret_cast<const uint8_t *>(k.data()), 1), nullptr);
    std::free(data);

    // A record of the same key is replaced, not repeated; data written past
    // the limit (count 0x80) is read back as far as its records go.
    const Bytes wrapped = management_data({key(1), key(2)}, 0x80);
    const std::string k1 = key(1);
    const kvx::ManagementRecord again{0, reinterpret_cast<const uint8_t *>(k1.data()), 1, 1, table};
    data = kvx::append_record(wrapped.data(), static_cast<uint32_t>(wrapped.size()), again, &bytes);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0], 2);
    EXPECT_EQ(bytes, wrapped.size());
    EXPECT_EQ(kvx::find_record(data, bytes, reinterpret_cast<const uint8_t *>(k1.data()), 1), data + 4 + 32);
    std::free(data);
}

using LargeFiles = DatabaseFolder;

TEST_F(LargeFiles, TwoChunksAreReadThreeAreRecorded)
{
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    write("two.kvx", recording(2 * kChunkBlocks));
    ASSERT_EQ(open("two.kvx"), 0u);
    EXPECT_EQ(kvx::g_file.chunkCount, 2);
    EXPECT_FALSE(exists(management()));

    const Bytes three = recording(2 * kChunkBlocks + 1);
    write("three.kvx", three);
    ASSERT_EQ(open("three.kvx"), 0u);
    EXPECT_EQ(kvx::g_file.chunkCount, 3);
    EXPECT_EQ(active_table(), times);
    EXPECT_EQ(length, times.back());
    EXPECT_EQ(codecs, 1);
    const Bytes data = read(management());
    ASSERT_EQ(data.size(), 4u + 28 + 3 * 4);
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(0, std::memcmp(data.data() + 4, "KVX", 3));
    // The key: length, end date and end time digits of the header.
    EXPECT_EQ(0, std::memcmp(data.data() + 4 + 7, three.data() + 62, 6));
    EXPECT_EQ(0, std::memcmp(data.data() + 4 + 13, "250102093100", 12));
}

TEST_F(LargeFiles, SecondOpeningFindsTheRecordWithoutAPass)
{
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    write("big.kvx", recording(3 * kChunkBlocks));
    ASSERT_EQ(open("big.kvx"), 0u);
    const Bytes first = read(management());
    // A new activation loads the file from disk.
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    const size_t opens = shown_.events.size();
    ASSERT_EQ(open("big.kvx"), 0u);
    EXPECT_FALSE(kvx::g_file.chunkTimesOwned);
    EXPECT_EQ(active_table(), times);
    EXPECT_EQ(codecs, 1);
    EXPECT_EQ(shown_.events.size(), opens);
    EXPECT_EQ(read(management()), first);
}

TEST_F(LargeFiles, ChangedEndTimeMakesTheOldRecordUnreachable)
{
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    write("big.kvx", recording(1600, "093100"));
    ASSERT_EQ(open("big.kvx"), 0u);
    write("big.kvx", recording(1700, "101500", 2, 7));
    ASSERT_EQ(open("big.kvx"), 0u);
    EXPECT_EQ(active_table(), times);
    const Bytes data = read(management());
    EXPECT_EQ(data[0], 2);
    EXPECT_EQ(data.size(), 4u + (28 + 4 * 4) + (28 + 4 * 4));
}

TEST_F(LargeFiles, DamagedManagementFilesAreRebuilt)
{
    write("big.kvx", recording(1200));
    // Count byte 0x80 over one readable record; a cut record; junk.
    Bytes cut = management_data({key(1), key(2)}, 2);
    cut.resize(cut.size() - 5);
    const std::vector<Bytes> damaged = {management_data({key(1)}, 0x80), cut, Bytes{0x05, 0, 0, 0, 'K', 'V'}};
    for (const Bytes &bad : damaged) {
        write("KVXMANAGEMENT.DAT", bad);
        ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
        ASSERT_EQ(open("big.kvx"), 0u);
        EXPECT_EQ(active_table(), times);
        const Bytes data = read(management());
        ASSERT_GE(data.size(), 4u);
        EXPECT_LT(data[0], 0x80);
        // The rewritten file finds the recording on the next activation.
        ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
        ASSERT_EQ(open("big.kvx"), 0u);
        EXPECT_FALSE(kvx::g_file.chunkTimesOwned);
        EXPECT_EQ(active_table(), times);
    }
}

TEST_F(LargeFiles, FolderModesDecideDialogAndWriting)
{
    write("big.kvx", recording(1100));
    struct Case {
        uint32_t mode;
        bool written;
    };
    for (const Case c : {Case{0, false}, Case{2, false}, Case{3, false}, Case{1, true}}) {
        DeleteFileA(management().c_str());
        ASSERT_EQ(KVXActiveFolder(dir_.c_str(), c.mode), 0u);
        ASSERT_EQ(open("big.kvx"), 0u) << c.mode;
        EXPECT_EQ(exists(management()), c.written) << c.mode;
        EXPECT_EQ(active_table(), times);
        // Kept in memory in every mode.
        ASSERT_EQ(open("big.kvx"), 0u);
        EXPECT_FALSE(kvx::g_file.chunkTimesOwned) << c.mode;
    }
}

// The transcription feed reads in chunks of 20 blocks; its tables are of
// no use to an opening and must not replace the file's record.
TEST_F(LargeFiles, SmallChunkTablesAreNotRecorded)
{
    write("big.kvx", recording(1100));
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    ASSERT_EQ(open("big.kvx"), 0u);
    const Bytes recorded = read(management());
    kvx::g_decoder.chunkBytes = 10240;
    kvx::g_decoder.blocksPerChunk = 20;
    const uint32_t result = open("big.kvx");
    const uint16_t chunks = kvx::g_file.chunkCount;
    kvx::g_decoder.chunkBytes = 256000;
    kvx::g_decoder.blocksPerChunk = 500;
    ASSERT_EQ(result, 0u);
    EXPECT_EQ(chunks, 55);
    EXPECT_EQ(read(management()), recorded);
    ASSERT_EQ(open("big.kvx"), 0u);
    EXPECT_FALSE(kvx::g_file.chunkTimesOwned);
}

TEST_F(LargeFiles, ReadOnlyManagementFileIsUsedButNeverRewritten)
{
    write("a.kvx", recording(1100));
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    ASSERT_EQ(open("a.kvx"), 0u);
    const std::vector<uint32_t> a_times = times;
    ASSERT_TRUE(SetFileAttributesA(management().c_str(), FILE_ATTRIBUTE_READONLY));
    const Bytes before = read(management());

    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    EXPECT_EQ(kvx::g_folder.mode, 3u);
    ASSERT_EQ(open("a.kvx"), 0u);
    EXPECT_FALSE(kvx::g_file.chunkTimesOwned);
    EXPECT_EQ(active_table(), a_times);
    write("b.kvx", recording(1300, "120000"));
    ASSERT_EQ(open("b.kvx"), 0u);
    EXPECT_EQ(read(management()), before);
    SetFileAttributesA(management().c_str(), FILE_ATTRIBUTE_NORMAL);
}

#ifndef _WIN32
// A management file that is there but cannot be loaded (here: larger than
// any can be) is never replaced by a file of one record.
TEST_F(LargeFiles, UnreadableManagementFileIsNotReplaced)
{
    write("big.kvx", recording(1100));
    write("KVXMANAGEMENT.DAT", management_data({key(1)}, 1));
    ASSERT_EQ(truncate(management().c_str(), 129 << 20), 0); // sparse
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    EXPECT_EQ(kvx::g_folder.mode, 3u);
    EXPECT_EQ(kvx::g_folder.data, nullptr);
    ASSERT_EQ(open("big.kvx"), 0u);
    EXPECT_EQ(active_table(), times);
    const Bytes after = read(management());
    EXPECT_EQ(after.size(), size_t{129} << 20);
    EXPECT_EQ(after[0], 1);
}

TEST_F(LargeFiles, FailedWriteKeepsTheOldFileAndTheNewRecordInMemory)
{
    write("a.kvx", recording(1100));
    write("b.kvx", recording(1200, "120000"));
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    ASSERT_EQ(open("a.kvx"), 0u);
    const Bytes before = read(management());
    posix::fail_writes_after(0);
    ASSERT_EQ(open("b.kvx"), 0u);
    posix::fail_writes_after(-1);
    EXPECT_EQ(read(management()), before);
    EXPECT_FALSE(exists(path("KVXMANAGEMENT.TMP")));
    ASSERT_EQ(open("b.kvx"), 0u);
    EXPECT_FALSE(kvx::g_file.chunkTimesOwned);
    EXPECT_EQ(active_table(), times);
}

// A device tree of our own: the test folder's device is a partition of a
// disk whose removable flag the test sets.
class RemovableFolder : public DatabaseFolder {
protected:
    void mark(bool removable)
    {
        struct stat st;
        ASSERT_EQ(stat(dir_.c_str(), &st), 0);
        sys_ = dir_ + "-sys";
        const std::string disk = sys_ + "/dev/disk";
        const std::string part = sys_ + "/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                                 std::to_string(minor(st.st_dev));
        std::system(("rm -rf '" + sys_ + "' && mkdir -p '" + part + "'").c_str());
        std::ofstream(part + "/partition") << "1\n";
        std::ofstream(sys_ + "/dev/block/removable") << (removable ? "1\n" : "0\n");
        kvx::g_sysfsRoot = sys_.c_str();
    }
    void TearDown() override
    {
        kvx::g_sysfsRoot = "/sys";
        DatabaseFolder::TearDown();
    }
    std::string sys_;
};

TEST_F(RemovableFolder, MemoryCardNeverGetsAManagementFile)
{
    mark(true);
    EXPECT_TRUE(kvx::on_removable_drive(dir_.c_str()));
    write("big.kvx", recording(1500));
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    ASSERT_EQ(open("big.kvx"), 0u);
    EXPECT_EQ(active_table(), times);
    EXPECT_FALSE(exists(management()));
    ASSERT_EQ(open("big.kvx"), 0u);
    EXPECT_FALSE(kvx::g_file.chunkTimesOwned);

    mark(false);
    EXPECT_FALSE(kvx::on_removable_drive(dir_.c_str()));
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    ASSERT_EQ(open("big.kvx"), 0u);
    EXPECT_TRUE(exists(management()));
}
#endif

#ifdef _WIN32
// Without the card enumerators in the registry the list is empty, so the
// management file is written on every local drive.
TEST(Drives, NoCardKeysNoRemovableDrives)
{
    char letters[25];
    EXPECT_EQ(kvx::removable_drive_list(letters), 0u);
    EXPECT_STREQ(letters, "");
    EXPECT_FALSE(kvx::on_removable_drive("C:\\recordings\\KVXMANAGEMENT.DAT"));
    EXPECT_FALSE(kvx::on_removable_drive("\\\\server\\share\\KVXMANAGEMENT.DAT"));
}
#endif

using Folders = DatabaseFolder;

TEST_F(Folders, PathChecksAndWhatTheyLeave)
{
    write("big.kvx", recording(1100));
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    ASSERT_EQ(open("big.kvx"), 0u);
    ASSERT_NE(kvx::g_folder.data, nullptr);

    // A missing folder: 11, and the old folder's data is gone.
    EXPECT_EQ(KVXActiveFolder((dir_ + "/nothing/here").c_str(), 1), 11u);
    EXPECT_EQ(kvx::g_folder.data, nullptr);
    EXPECT_EQ(kvx::g_file.name[0], '\0');

    // A path naming a file: it passes, and is the active folder as given.
    EXPECT_EQ(KVXActiveFolder(path("big.kvx").c_str(), 1), 0u);
    EXPECT_STREQ(kvx::g_folder.path, path("big.kvx").c_str());
    EXPECT_EQ(kvx::g_folder.data, nullptr);

    // Trailing separators are checked away, and both forms load the file.
    EXPECT_EQ(KVXActiveFolder((dir_ + "/").c_str(), 1), 0u);
    EXPECT_NE(kvx::g_folder.data, nullptr);
#ifdef _WIN32
    EXPECT_EQ(KVXActiveFolder("C:", 1), 0u);
    EXPECT_STREQ(kvx::g_folder.path, "C:\\");
    EXPECT_EQ(kvx::g_folder.data, nullptr);
#endif
}

TEST_F(Folders, ActiveTableSurvivesTheFolderChange)
{
    write("big.kvx", recording(1100));
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    ASSERT_EQ(open("big.kvx"), 0u);
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    ASSERT_EQ(open("big.kvx"), 0u);
    ASSERT_FALSE(kvx::g_file.chunkTimesOwned);
    // The data that the table lived in goes; the table stays readable
    // (under the address sanitizer this would be a use after free).
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 0), 0u);
    ASSERT_NE(kvx::g_file.chunkTimes, nullptr);
    EXPECT_EQ(active_table(), times);
}

TEST_F(Folders, FoundRecordWithConversionConvertsWithoutRewriting)
{
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    // A one-block file whose header asks for the second block, opened
    // first read-only (no conversion), so that its record exists.
    const std::string file = write("old.kvx", recording(1100, "093100", 1));
    ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
    uint32_t ms = 0;
    uint16_t flags = 0;
    ASSERT_EQ(KVXActiveFile2("old.kvx", &ms, &flags), 0u);
    ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL));
    const Bytes before = read(management());
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    ASSERT_EQ(KVXActiveFile2("old.kvx", &ms, &flags), 0u);
    EXPECT_EQ(read(file)[0], 2);
    EXPECT_EQ(kvx::g_file.headerBlocks, 2);
    EXPECT_EQ(read(management()), before);
    EXPECT_EQ(active_table(), times);
}

} // namespace
