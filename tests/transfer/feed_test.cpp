// The transcription feed of a finished file: exactly the frames that
// decoding the file to PCM gives, whole or between two extended marks; LP
// audio ends it with its own answer; the end request ends it; a feed leaves
// the decoding session's chunking and ring as they were.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec_sp/sp_output.h"
#include "codec_sp/sp_state.h"
#include "core/state.h"
#include "kvx.h"
#include "kvx_gen.h"
#include "kvx_posix.h"

namespace {

using Pcm = std::vector<int16_t>;
uint32_t g_word = 0;

LRESULT quiet(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}

class Feed : public ::testing::Test {
protected:
    void SetUp() override
    {
        static HWND window = KVXPosixCreateWindow(quiet, nullptr);
        ASSERT_TRUE(KVXPosixSetWaveSink("capture"));
        ASSERT_EQ(KVXInitDecoder(window, &g_word), 0u);
        KVXSetTransWAY(1);
    }
    void TearDown() override
    {
        KVXTransDestroy();
        std::remove(path_.c_str());
    }

    kvxgen::Layout write(const kvxgen::File &file)
    {
        kvxgen::Layout layout;
        EXPECT_TRUE(kvxgen::write(path_, kvxgen::build(file, &layout)));
        return layout;
    }

    void fresh_decoder()
    {
        kvx::g_sp = sp_, kvx::g_spDecode = channel_, kvx::g_spOutput = output_, kvx::g_speedCounter = speed_;
    }

    // Decoding to PCM from `ms`, as the decoding session gives it.
    Pcm decoded(uint32_t ms, uint32_t word)
    {
        kvx::g_file.name[0] = '\0';
        uint32_t length = 0;
        EXPECT_EQ(KVXActiveFile(path_.c_str(), &length, nullptr), 0u);
        fresh_decoder();
        kvx::g_read.ringValid = false;
        g_word = word | KVX_CW_NO_DEVICE;
        EXPECT_EQ(KVXStartDecoding(ms), 0u);
        Pcm pcm;
        for (uint32_t codec = 9;;) {
            int16_t *frame = nullptr;
            if (KVXDecodeToPCM(&frame, &codec) == 0 || frame == nullptr || codec != 0) break;
            pcm.insert(pcm.end(), frame, frame + 264);
        }
        uint32_t stop = 0;
        KVXEndDecoding(&stop);
        return pcm;
    }

    // The feed until it answers something other than 1.
    Pcm fed(uint32_t word, uint32_t *last)
    {
        KVXSetTransFileName(path_.c_str());
        uint32_t feed_word = word;
        EXPECT_EQ(KVXTransInitDecoder(&feed_word), 0u);
        EXPECT_EQ(KVXRV880ActiveFile(0, 0), 0u);
        fresh_decoder();
        EXPECT_EQ(KVXTransStartDecoding(), 0u);
        Pcm pcm;
        int16_t frame[264];
        for (int guard = 0; guard < 1000000; ++guard) {
            *last = KVXTransGetPCM(frame);
            if (*last != 1) break;
            pcm.insert(pcm.end(), frame, frame + 264);
        }
        return pcm;
    }

    const kvx::SpDecoderState sp_ = kvx::g_sp;
    const kvx::SpChannelState channel_ = kvx::g_spDecode;
    const kvx::SpOutputState output_ = kvx::g_spOutput;
    const uint32_t speed_ = kvx::g_speedCounter;
    const std::string path_ = ::testing::TempDir() + "kvx-feed.kvx";
};

kvxgen::File sp_file(size_t frames, uint8_t codec = 0, uint32_t seed = 1)
{
    kvxgen::File file;
    file.segments.push_back(kvxgen::random_segment(codec, frames, seed));
    return file;
}

// Whole files of every shape the feed's chunking meets: shorter than one
// feed chunk, exactly two, many, with the speech flag's noise frames, with
// blocks to pass over, and cut short by an end marker.
TEST_F(Feed, GivesWhatDecodingGives)
{
    struct Case {
        const char *what;
        kvxgen::File file;
    };
    std::vector<Case> cases = {{"short", sp_file(30)}, {"speech flag", sp_file(900, 1, 5)}, {"long", sp_file(2600)}};
    {
        // Exactly two feed chunks of 12 full frames a block.
        kvxgen::File two;
        two.segments.push_back(kvxgen::random_segment(0, 40 * 12, 3));
        two.tail = kvxgen::Tail::PadBlock;
        cases.push_back({"two chunks", two});
        kvxgen::File gaps = sp_file(300, 0, 7);
        gaps.segments.push_back(kvxgen::Segment::blank(0xFF, 3));
        gaps.segments.push_back(kvxgen::random_segment(0, 400, 8));
        gaps.tail = kvxgen::Tail::EndMarker;
        cases.push_back({"gaps and an end marker", gaps});
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write(c.file);
        for (const uint32_t word : {KVX_CW_RESET, KVX_CW_RESET | KVX_CW_POSTFILTER}) {
            uint32_t last = 9;
            const Pcm got = fed(word, &last);
            EXPECT_EQ(last, 0u);
            const Pcm want = decoded(0, word);
            ASSERT_FALSE(want.empty());
            EXPECT_TRUE(got == want) << got.size() << " samples for " << want.size();
        }
    }
}

// With way 2 the feed runs from the block that holds the first extended
// mark to the block that holds the second; with one mark to the end, with
// none over the whole file.
TEST_F(Feed, Way2FeedsBetweenTheFirstTwoMarks)
{
    const uint32_t length = write(sp_file(2600, 0, 11)).totalMs;
    kvxgen::File file = sp_file(2600, 0, 11);
    const struct {
        std::vector<uint32_t> marks;
        uint32_t from, to; // the stretch the feed must give
    } cases[] = {
        {{}, 0, length},
        {{20000}, 20000, length},
        {{20000, 41000}, 20000, 41000},
        {{41000, 20000, 50000}, 20000, 41000}, // the marks' order is the table's
        {{7, 8}, 7, 8},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.from);
        file.header.extMarks = {};
        for (size_t i = 0; i < c.marks.size(); ++i) file.header.extMarks[i].ms = c.marks[i];
        const kvxgen::Layout layout = write(file);
        KVXSetTransWAY(2);
        uint32_t last = 9;
        const Pcm got = fed(KVX_CW_RESET, &last);
        EXPECT_EQ(last, 0u);
        // The frames of the blocks from the one that holds `from` through the
        // one that holds `to`.
        uint32_t t = 0;
        size_t frames = 0;
        for (const kvxgen::BlockInfo &block : layout.blocks) {
            const uint32_t ms = block.frameCount < 0x80 ? block.frameCount * 24u : 0;
            if (t + ms > c.from && t <= c.to) frames += ms / 24;
            t += ms;
        }
        Pcm want = decoded(c.from, KVX_CW_RESET);
        ASSERT_GE(want.size(), frames * 264);
        want.resize(frames * 264);
        EXPECT_TRUE(got == want) << got.size() << " samples for " << want.size();
    }
}

// LP cannot be handed out as 264-sample frames: the feed gives the SP before
// it, then 14; an LP file gives 14 at once; a stretch that ends before the LP
// ends with 0.
TEST_F(Feed, LpAudioEndsTheFeed)
{
    kvxgen::File mixed = sp_file(300, 0, 2);
    mixed.segments.push_back(kvxgen::random_segment(2, 200, 3));
    const uint32_t sp_ms = 300 * 24;
    const struct {
        kvxgen::File file;
        std::vector<uint32_t> marks;
        uint32_t result;
        size_t frames;
    } cases[] = {
        {sp_file(100, 2, 4), {}, KVX_ERR_FEED_LP, 0},
        {mixed, {}, KVX_ERR_FEED_LP, 300},
        {mixed, {0, sp_ms - 1}, 0, 300},
    };
    for (const auto &c : cases) {
        kvxgen::File file = c.file;
        for (size_t i = 0; i < c.marks.size(); ++i) file.header.extMarks[i].ms = c.marks[i];
        write(file);
        KVXSetTransWAY(c.marks.empty() ? 1 : 2);
        uint32_t last = 9;
        const Pcm got = fed(KVX_CW_RESET, &last);
        EXPECT_EQ(last, c.result);
        EXPECT_EQ(got.size(), c.frames * 264);
    }
}

// The end request ends the feed at the next frame and is cleared; a feed
// changes nothing of the decoding session's ring or chunking.
TEST_F(Feed, EndRequestAndTheSessionsState)
{
    write(sp_file(2000, 0, 9));
    const Pcm whole = decoded(0, KVX_CW_RESET);
    KVXSetTransFileName(path_.c_str());
    uint32_t word = KVX_CW_RESET;
    ASSERT_EQ(KVXTransInitDecoder(&word), 0u);
    ASSERT_EQ(KVXRV880ActiveFile(0, 0), 0u);
    ASSERT_EQ(KVXTransStartDecoding(), 0u);
    int16_t frame[264];
    EXPECT_EQ(KVXTransGetPCM(frame), 1u);
    EXPECT_EQ(kvx::g_decoder.chunkBytes, kvx::kChunkBytes);
    KVXSetTransEnd();
    EXPECT_EQ(KVXTransGetPCM(frame), 0u);
    EXPECT_EQ(KVXTransGetPCM(frame), 1u) << "the request was cleared";
    EXPECT_EQ(KVXTransDestroy(), 0u);
    EXPECT_EQ(kvx::g_decoder.chunkBytes, kvx::kChunkBytes);
    EXPECT_TRUE(decoded(0, KVX_CW_RESET) == whole);
}

} // namespace
