// Index marks: reading, sorting, spacing and limits against a model, damaged
// entries, and what a failing disk leaves.
#include "header_fixture.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <vector>

namespace {

using kvxgen::Bytes;
using Positions = std::vector<uint32_t>;

class Marks : public KvxFolder {
protected:
    // An SP file of `frames` frames of 24 ms with the given short marks; opened.
    void make(size_t frames, std::vector<kvxgen::ShortMark> marks = {}, int blocks = 2)
    {
        kvxgen::File file;
        file.header.blocks = blocks;
        std::vector<Bytes> list;
        for (size_t i = 0; i < frames; ++i) list.push_back(kvxgen::sp_full(static_cast<uint32_t>(i), false));
        file.segments.push_back(kvxgen::Segment::audio(0, list));
        std::copy(marks.begin(), marks.end(), file.header.shortMarks.begin());
        write("m.kvx", kvxgen::build(file, &layout_));
        ASSERT_EQ(open("m.kvx"), 0u);
    }
    uint32_t block_start(size_t block) const
    {
        uint32_t t = 0;
        for (size_t b = 0; b + 1 < block; ++b) t += layout_.blocks[b].frameCount * 24;
        return t;
    }
    Positions marks(bool extended)
    {
        uint32_t positions[16], count = 0;
        EXPECT_EQ(extended ? KVXGetExtIndexMark(positions, &count) : KVXGetIndexMark(positions, &count), 0u);
        for (uint32_t i = count; i < 16 && !extended; ++i) EXPECT_EQ(positions[i], 0xFFFFFFFFu);
        return Positions(positions, positions + count);
    }
    kvxgen::Layout layout_;
};

TEST_F(Marks, ShortMarksSortedAndCheckedAgainstTheAudio)
{
    // Out of order; beyond the audio; block 0; a frame past the block's end.
    make(400, {{20, 3}, {2, 1}, {60, 0}, {0, 4}, {5, 40}});
    EXPECT_EQ(marks(false), (Positions{block_start(2) + 24, block_start(5) + 40 * 24, block_start(20) + 3 * 24}));
}

// Random writes and deletes of extended marks against a model: at most 16,
// each at least 1000 ms from the others, read back sorted; a refused change
// leaves the file as it was.
TEST_F(Marks, ExtendedMarksFollowTheModel)
{
    make(3000);
    std::set<uint32_t> model;
    std::mt19937 rng(7);
    size_t most = 0;
    const int32_t steps[] = {0, 999, -999, 1000, -1000, 1};
    for (int step = 0; step < 150; ++step) {
        const uint32_t base = model.empty() ? 0 : *std::next(model.begin(), static_cast<long>(rng() % model.size()));
        const int32_t p = rng() % 3 == 0 ? static_cast<int32_t>(rng() % 70000) : static_cast<int32_t>(base) + steps[rng() % 6];
        const Bytes before = read("m.kvx");
        bool known = p >= 0 && model.count(static_cast<uint32_t>(p)), fits = p >= 0 && model.size() < 16;
        for (uint32_t q : model) fits = fits && (p <= int64_t{q} - 1000 || p >= int64_t{q} + 1000);
        if (rng() % 4 == 0) {
            EXPECT_EQ(KVXDeleteExtIndexMark(static_cast<uint32_t>(p)), known ? 0u : 526u) << p;
            if (known) model.erase(static_cast<uint32_t>(p));
        } else {
            EXPECT_EQ(KVXWriteExtIndexMark(p), fits ? 0u : 525u) << p;
            if (fits) model.insert(static_cast<uint32_t>(p));
            known = fits;
        }
        if (!known) {
            EXPECT_EQ(read("m.kvx"), before);
        }
        if (step % 10 == 0) {
            ASSERT_EQ(open("m.kvx"), 0u);
        }
        ASSERT_EQ(marks(true), Positions(model.begin(), model.end())) << "step " << step;
        most = std::max(most, model.size());
    }
    EXPECT_EQ(most, 16u) << "the limit was tried";
    // The short marks are rebuilt from the extended ones, sorted.
    const Positions shorts = marks(false);
    EXPECT_EQ(shorts.size(), model.size());
    EXPECT_TRUE(std::is_sorted(shorts.begin(), shorts.end()));
}

TEST_F(Marks, ShortMarkWritesDeletesAndLimits)
{
    make(3000);
    Positions want;
    for (uint32_t i = 0; i < 16; ++i) ASSERT_EQ(KVXWriteIndexMark(480 * (16 - i)), 0u) << i;
    for (uint32_t i = 1; i <= 16; ++i) want.push_back(480 * i);
    EXPECT_EQ(KVXWriteIndexMark(100), 80u) << "a seventeenth short mark has no slot";
    EXPECT_EQ(marks(false), want);
    const Bytes before = read("m.kvx");
    EXPECT_EQ(KVXDeleteIndexMark(1234), 0u);
    EXPECT_EQ(read("m.kvx"), before) << "an absent mark changes nothing";
    EXPECT_EQ(KVXDeleteIndexMark(480), 0u);
    want.erase(want.begin());
    EXPECT_EQ(marks(false), want);
}

TEST_F(Marks, PriorityEndTransAndTheWritersChecks)
{
    make(100);
    EXPECT_EQ(KVXWritePriority(2), 0u);
    EXPECT_EQ(KVXWriteEndTrans(0xBEEF), 0u);
    const Bytes after = read("m.kvx");
    EXPECT_EQ(after[69], 2);
    EXPECT_EQ(after[34] | after[35] << 8, 0xBEEF);
    kvx::g_write.sessionOpen = true;
    EXPECT_EQ(KVXWriteIndexMark(10), 523u);
    EXPECT_EQ(KVXGetIndexMark(nullptr, nullptr), 523u);
    kvx::g_write.sessionOpen = false;
    kvx::g_file.lock = 0;
    EXPECT_EQ(KVXWriteExtIndexMark(10), 80u);
    EXPECT_EQ(KVXWriteEndTrans(1), 80u);
    kvx::g_file.name[0] = '\0';
    EXPECT_EQ(KVXWriteIndexMark(10), 258u);

    // A one-block file reads its short marks as extended ones and takes no
    // extended change.
    make(400, {{3, 1}}, 1);
    const Bytes before = read("m.kvx");
    EXPECT_EQ(marks(true), Positions{block_start(3) + 24});
    EXPECT_EQ(KVXWriteExtIndexMark(1000), 260u);
    EXPECT_EQ(KVXDeleteExtIndexMark(1000), 260u);
    EXPECT_EQ(read("m.kvx"), before);
}

// A change to a file other than the one whose marks were read reads that
// file's own; entries stored out of order or past the end read sorted.
TEST_F(Marks, MarksOfAnotherFileAreNeverWrittenIntoThisOne)
{
    make(1000);
    ASSERT_EQ(KVXWriteExtIndexMark(3000), 0u);
    kvxgen::File other;
    other.segments.push_back(kvxgen::random_segment(0, 1000, 3));
    other.header.extMarks[3] = {1, 0, 5000};
    other.header.extMarks[7] = {1, 0, 1000};
    other.header.extMarks[9] = {1, 0, 999999999};
    write("other.kvx", kvxgen::build(other));
    ASSERT_EQ(open("other.kvx"), 0u);
    ASSERT_EQ(KVXWriteExtIndexMark(20000), 0u);
    EXPECT_EQ(marks(true), (Positions{1000, 5000, 20000, 999999999}));
    EXPECT_EQ(KVXDeleteExtIndexMark(999999999), 0u);
    EXPECT_EQ(marks(true), (Positions{1000, 5000, 20000}));
}

#ifndef _WIN32
// Every change, with the marks read first or not, under one read that fails
// or comes back short: it succeeds and the file is what the change makes, or
// it fails and the file is as it was; done again, it succeeds.
TEST_F(Marks, FailedReadsLeaveTheMarksAsTheyWere)
{
    // A chunk of audio and more: new marks lie in the second half of the
    // first chunk, which a short read of it misses.
    make(6500);
    for (int32_t p : {3000, 9000, 15000}) ASSERT_EQ(KVXWriteExtIndexMark(p), 0u);
    const Bytes base = read("m.kvx");
    const uint32_t short_mark = marks(false).at(1);
    const std::function<uint32_t()> changes[] = {
        [] { return KVXWriteExtIndexMark(100000); }, [] { return KVXDeleteExtIndexMark(9000); },
        [] { return KVXWriteIndexMark(100008); }, [&] { return KVXDeleteIndexMark(short_mark); }};
    for (int c = 0; c < 8; ++c) {
        const auto change = [&] {
            if (c >= 4) (c % 4 < 2 ? KVXGetExtIndexMark : KVXGetIndexMark)(nullptr, nullptr);
            return changes[c % 4]();
        };
        write("m.kvx", base);
        ASSERT_EQ(open("m.kvx"), 0u);
        ASSERT_EQ(change(), 0u);
        const Bytes want = read("m.kvx");
        for (int kind : {KVX_FAULT_READ, KVX_FAULT_SHORT_READ}) {
            uint32_t result = 0;
            const auto setup = [&] {
                write("m.kvx", base);
                ASSERT_EQ(open("m.kvx"), 0u);
            };
            each_fault(kind, setup, [&] { result = change(); }, [&](long at) {
                SCOPED_TRACE(testing::Message() << c << " kind " << kind << " at " << at);
                EXPECT_TRUE(read("m.kvx") == (result == 0 ? want : base));
                if (result != 0) {
                    EXPECT_EQ(changes[c % 4](), 0u);
                }
                EXPECT_TRUE(read("m.kvx") == want);
            });
        }
    }
}
#endif

} // namespace
