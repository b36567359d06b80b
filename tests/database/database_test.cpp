// The large-file database: where a file's table comes from, when it is
// recorded, and what damaged or unwritable management files get.  Damaged
// data as such is the management fuzz target's.
#include "../header/header_fixture.h"

#include <cstring>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

#include "database/drives.h"
#include "database/management.h"

namespace {

using kvxgen::Bytes;

std::string key(int i)
{
    char text[19];
    std::snprintf(text, sizeof text, "%018d", i);
    return text;
}

// Management data with one-chunk records for keys 0 .. count - 1.
Bytes management_data(int count, uint8_t count_byte)
{
    Bytes data = {count_byte, 0, 0, 0};
    for (int k = 0; k < count; ++k) {
        Bytes record(28 + 4, 0);
        std::memcpy(record.data(), "KVX", 3);
        std::memcpy(record.data() + 7, key(k).data(), 18);
        record[26] = 1;
        data.insert(data.end(), record.begin(), record.end());
    }
    return data;
}

const uint8_t *find(const Bytes &data, int k, uint16_t chunks = 1)
{
    return kvx::find_record(data.data(), static_cast<uint32_t>(data.size()),
                            reinterpret_cast<const uint8_t *>(key(k).data()), chunks);
}

// `data` with a record of key `k` appended, or a record for it replaced.
Bytes append(const Bytes &data, int k, uint16_t chunks, uint32_t number = 0)
{
    const uint32_t table[3] = {100, 200, 300};
    const std::string text = key(k);
    const kvx::ManagementRecord record{number, reinterpret_cast<const uint8_t *>(text.data()), 3, chunks, table};
    uint32_t bytes = 0;
    uint8_t *out = kvx::append_record(data.data(), static_cast<uint32_t>(data.size()), record, &bytes);
    const Bytes result(out, out + bytes);
    std::free(out);
    return result;
}

TEST(ManagementData, LookUpAppendAndTheRecordLimit)
{
    const Bytes two = management_data(2, 2);
    EXPECT_EQ(find(two, 1), two.data() + 4 + 32);
    EXPECT_EQ(find(two, 2), nullptr);
    EXPECT_EQ(find(two, 1, 2), nullptr) << "a record of another chunk count";

    // Appended: the old data, the count plus one, the record as laid out.
    const Bytes three = append(two, 9, 3, 0x01020304);
    EXPECT_EQ(three[0], 3);
    EXPECT_TRUE(std::equal(two.begin() + 1, two.end(), three.begin() + 1));
    const std::string record = std::string("KVX\x04\x03\x02\x01", 7) + key(9) +
                               std::string("\x03\x03\x00\x64\x00\x00\x00\xC8\x00\x00\x00\x2C\x01\x00\x00", 15);
    EXPECT_EQ(std::string(three.begin() + static_cast<long>(two.size()), three.end()), record);

    // At 127 records the oldest goes; a record of the same key is replaced.
    const Bytes grown = append(management_data(127, 127), 500, 1);
    EXPECT_EQ(grown[0], 127);
    EXPECT_EQ(find(grown, 0), nullptr);
    EXPECT_NE(find(grown, 1), nullptr);
    EXPECT_NE(find(grown, 500), nullptr);
    const Bytes replaced = append(two, 1, 1);
    EXPECT_EQ(replaced[0], 2);
    EXPECT_EQ(replaced.size(), two.size());
}

class LargeFiles : public DatabaseFolder {
protected:
    // Makes the test folder's drive a memory card or not (POSIX: a device
    // tree of the test's own, whose disk has the removable flag).
    void card(bool removable)
    {
#ifndef _WIN32
        struct stat st;
        ASSERT_EQ(stat(dir_.c_str(), &st), 0);
        sys_ = dir_ + "-sys";
        const std::string part =
            sys_ + "/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
        std::system(("rm -rf '" + sys_ + "' && mkdir -p '" + part + "'").c_str());
        std::ofstream(part + "/partition") << "1\n";
        std::ofstream(sys_ + "/dev/block/removable") << (removable ? "1\n" : "0\n");
        kvx::g_sysfsRoot = sys_.c_str();
        EXPECT_EQ(kvx::on_removable_drive(dir_.c_str()), removable);
#else
        (void)removable;
#endif
    }
    void TearDown() override
    {
#ifndef _WIN32
        kvx::g_sysfsRoot = "/sys";
#endif
        DatabaseFolder::TearDown();
    }
    std::string sys_;
};

// By folder mode, with a read-only management file and on a memory card:
// two chunks are read on every opening; three are built once (under the
// dialog in modes 1 and 3), kept in memory, also across a change of folder,
// and written only in mode 1 on a writable file of a fixed drive, from where
// a new activation loads them.
TEST_F(LargeFiles, WhereTheTableComesFrom)
{
    const struct {
        uint32_t mode;
        bool readOnly, card, written;
    } cases[] = {{0, false, false, false}, {1, false, false, true}, {2, false, false, false},
                 {3, false, false, false}, {1, true, false, false}, {1, false, true, false}};
    write("two.kvx", recording(2 * 500));
    const Bytes big = recording(2 * 500 + 1);
    write("big.kvx", big);
    for (const auto &c : cases) {
#ifdef _WIN32
        if (c.card) continue;
#endif
        SCOPED_TRACE(std::to_string(c.mode) + (c.readOnly ? " read-only" : "") + (c.card ? " card" : ""));
        set_read_only(management, false);
        DeleteFileA(path(management).c_str());
        if (c.readOnly) write(management, Bytes{0, 0, 0, 0});
        set_read_only(management, c.readOnly);
        card(c.card);
        shown_ = ShownProgress();
        open_in(c.mode, "two.kvx");
        EXPECT_EQ(kvx::g_folder.mode, c.mode | (c.readOnly ? 2u : 0u));
        EXPECT_EQ(kvx::g_file.chunkCount, 2);
        const Bytes before = read(management);
        ASSERT_EQ(open("big.kvx"), 0u);
        EXPECT_EQ(active_table(), times);
        EXPECT_EQ(length_, times.back());
        EXPECT_EQ(codecs_, 1);
#ifndef _WIN32
        EXPECT_EQ(shown_.opens, (c.mode & 1) ? 1 : 0);
#endif
        const Bytes data = read(management);
        EXPECT_EQ(data != before, c.written);
        if (c.written) {
            ASSERT_EQ(data.size(), 4u + 28 + 3 * 4);
            EXPECT_EQ(data[0], 1);
            EXPECT_EQ(std::string(data.begin() + 4, data.begin() + 7), "KVX");
            EXPECT_TRUE(std::equal(big.begin() + 62, big.begin() + 68, data.begin() + 11));
            EXPECT_EQ(std::string(data.begin() + 17, data.begin() + 29), "250102093100");
        }
        ASSERT_EQ(open("big.kvx"), 0u);
        EXPECT_FALSE(kvx::g_file.chunkTimesOwned) << "found in memory";
        ASSERT_EQ(KVXActiveFolder(dir_.c_str(), c.mode), 0u);
        EXPECT_EQ(active_table(), times) << "the data it lived in has gone";
        open_in(c.mode, "big.kvx");
        EXPECT_EQ(kvx::g_file.chunkTimesOwned, !c.written) << "found in the file";
        EXPECT_EQ(active_table(), times);
    }
    set_read_only(management, false);
}

TEST_F(LargeFiles, DamagedManagementFilesAreRebuiltUnloadableOnesKept)
{
    write("big.kvx", recording(1200));
    Bytes cut = management_data(2, 2);
    cut.resize(cut.size() - 2); // into the last record's table
    for (const Bytes &bad : {management_data(1, 0x80), cut, Bytes{5, 0, 0, 0, 'K', 'V'}}) {
        write(management, bad);
        open_in(1, "big.kvx");
        EXPECT_EQ(active_table(), times);
        open_in(1, "big.kvx");
        EXPECT_FALSE(kvx::g_file.chunkTimesOwned) << "rewritten whole";
    }
#ifndef _WIN32
    // One that cannot be loaded (larger than any can be) is never replaced.
    write(management, management_data(1, 1));
    ASSERT_EQ(truncate(path(management).c_str(), 129 << 20), 0); // sparse
    open_in(1, "big.kvx");
    EXPECT_EQ(kvx::g_folder.mode, 3u);
    EXPECT_EQ(active_table(), times);
    const Bytes after = read(management);
    EXPECT_EQ(after.size(), size_t{129} << 20);
    EXPECT_EQ(after[0], 1);
#endif
}

#ifndef _WIN32
// A record is written for each new table of whole chunks: not for the small
// chunks of the transcription feed, which are of no use to an opening; after
// a failed write the old file stays and the new record is kept in memory; a
// new end time is a new file.
TEST_F(LargeFiles, WhenARecordIsWritten)
{
    write("a.kvx", recording(1100));
    write("b.kvx", recording(1200, "120000"));
    open_in(1, "a.kvx");
    const Bytes recorded = read(management);
    kvx::g_decoder.chunkBytes = 10240;
    kvx::g_decoder.blocksPerChunk = 20;
    const uint32_t result = open("a.kvx");
    const uint16_t chunks = kvx::g_file.chunkCount;
    kvx::g_decoder.chunkBytes = 256000;
    kvx::g_decoder.blocksPerChunk = 500;
    ASSERT_EQ(result, 0u);
    EXPECT_EQ(chunks, 55);
    EXPECT_EQ(read(management), recorded);

    KVXPosixSetFileFault(KVX_FAULT_WRITE, 0, -1);
    ASSERT_EQ(open("b.kvx"), 0u);
    KVXPosixSetFileFault(KVX_FAULT_WRITE, -1, 0);
    EXPECT_EQ(read(management), recorded);
    EXPECT_FALSE(exists("KVXMANAGEMENT.TMP"));
    ASSERT_EQ(open("b.kvx"), 0u);
    EXPECT_FALSE(kvx::g_file.chunkTimesOwned);
    EXPECT_EQ(active_table(), times);

    write("a.kvx", recording(1150, "101500", 2, 7));
    ASSERT_EQ(open("a.kvx"), 0u);
    EXPECT_EQ(active_table(), times);
    EXPECT_EQ(read(management).size(), 4u + 3 * (28 + 3 * 4));
}
#else
// Without the card enumerators in the registry no drive is a card.
TEST(Drives, NoCardKeysNoRemovableDrives)
{
    char letters[25];
    EXPECT_EQ(kvx::removable_drive_list(letters), 0u);
    EXPECT_FALSE(kvx::on_removable_drive("C:\\recordings\\KVXMANAGEMENT.DAT"));
    EXPECT_FALSE(kvx::on_removable_drive("\\\\server\\share\\KVXMANAGEMENT.DAT"));
}
#endif

// A missing folder: 11, and the old folder's data and active file go; a
// file in the folder passes as the active folder as given; trailing
// separators are checked away but kept, and the data loads.
using Folders = LargeFiles;

TEST_F(Folders, PathChecksAndWhatTheyLeave)
{
    write("big.kvx", recording(1100));
    open_in(1, "big.kvx");
    EXPECT_EQ(KVXActiveFolder((dir_ + "/nothing/here").c_str(), 1), 11u);
    EXPECT_EQ(kvx::g_folder.data, nullptr);
    EXPECT_EQ(kvx::g_file.name[0], '\0');
    EXPECT_EQ(KVXActiveFolder(nullptr, 1), 11u);
    EXPECT_EQ(KVXActiveFolder(path("big.kvx").c_str(), 1), 0u);
    EXPECT_STREQ(kvx::g_folder.path, path("big.kvx").c_str());
    EXPECT_EQ(kvx::g_folder.data, nullptr);
    EXPECT_EQ(KVXActiveFolder((dir_ + "/").c_str(), 1), 0u);
    EXPECT_STREQ(kvx::g_folder.path, (dir_ + "/").c_str());
    EXPECT_NE(kvx::g_folder.data, nullptr);
    kvx::g_write.sessionOpen = true;
    EXPECT_EQ(KVXActiveFolder(dir_.c_str(), 1), 523u);
    kvx::g_write.sessionOpen = false;
#ifdef _WIN32
    EXPECT_EQ(KVXActiveFolder("C:", 1), 0u);
    EXPECT_STREQ(kvx::g_folder.path, "C:\\");
    EXPECT_EQ(kvx::g_folder.data, nullptr);
#else
    EXPECT_EQ(KVXActiveFolder((dir_ + "/" + std::string(300, 'x')).c_str(), 1), 11u);
#endif
}

// A one-block file that asks for the second block, opened read-only first
// (no conversion) so that its record exists, converts on the next opening
// without a new record.
TEST_F(Folders, FoundRecordWithConversionConvertsWithoutRewriting)
{
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    write("old.kvx", recording(1100, "093100", 1));
    set_read_only("old.kvx", true);
    ASSERT_EQ(KVXActiveFile2("old.kvx", &length_, &codecs_), 0u);
    set_read_only("old.kvx", false);
    const Bytes before = read(management);
    ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 1), 0u);
    ASSERT_EQ(KVXActiveFile2("old.kvx", &length_, &codecs_), 0u);
    EXPECT_EQ(read("old.kvx")[0], 2);
    EXPECT_EQ(kvx::g_file.headerBlocks, 2);
    EXPECT_EQ(read(management), before);
    EXPECT_EQ(active_table(), times);
}

} // namespace
