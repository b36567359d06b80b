// Edit playback: a write session's audio, as it stands, played through
// KVXStartPlayback and its messages into the capture sink.  Random edit
// sequences played from positions inside frames, on chunk boundaries and at
// or past the end, at every speed, give what decoding the model's frames
// from the block that holds the position gives, and what decoding the
// committed file from that position gives.  Then what an erase, a close and
// a recording do to a running playback, where the stop position and the
// write session's start go, and the hand-over to the decoding session.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <sstream>
#include <thread>

#include "codec_lp/lp_state.h"
#include "codec_sp/sp_output.h"
#include "codec_sp/sp_state.h"
#include "commit_support.h"
#include "core/state.h"
#include "kvx_posix.h"

using namespace commit;

namespace {

using Pcm = std::vector<int16_t>;

uint32_t g_word = 0;
uint32_t g_started = 0;  // the word as a start left it
bool g_finished = false;
bool g_decoding = false;  // the window serves a decoding session, not playback

LRESULT window_proc(HWND, UINT message, WPARAM, LPARAM lParam)
{
    auto *buffer = reinterpret_cast<WAVEHDR *>(lParam);
    if (message == KVX_MSG_BUFFER_REQUEST && (g_decoding ? KVXDecoding(buffer, nullptr) : KVXPlaying(buffer)) == 0)
        g_finished = true;
    if (message == KVX_MSG_BUFFER_DONE) g_decoding ? KVXDecBufReturn(buffer) : KVXPlayBufferReturn(buffer);
    return 0;
}

HWND window()
{
    static HWND w = KVXPosixCreateWindow(window_proc, nullptr);
    return w;
}

// The decoders as the process found them, so that two runs over the same
// frames decode alike (the reset bit leaves the SP decoder's state but the
// excitation history, and the LP speed stage's held frame).
void fresh_decoder()
{
    static const kvx::SpDecoderState sp = kvx::g_sp;
    static const kvx::SpChannelState channel = kvx::g_spDecode;
    static const kvx::SpOutputState output = kvx::g_spOutput;
    static const kvx::LpDecoderState lp = kvx::g_lp;
    static const kvx::LpOutputState lpOutput = kvx::g_lpOutput;
    static const uint32_t speed = kvx::g_speedCounter;
    kvx::g_sp = sp, kvx::g_spDecode = channel, kvx::g_spOutput = output, kvx::g_speedCounter = speed;
    kvx::g_lp = lp, kvx::g_lpOutput = lpOutput;
}

// Dispatches messages for up to `ms`, until the end was reported when
// `untilEnd`.  The device's reports come from its own thread: an empty
// queue is waited on, never blocked on.
bool pump(int ms, bool untilEnd)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    MSG msg;
    while (!(untilEnd && g_finished) && std::chrono::steady_clock::now() < deadline) {
        if (KVXPosixPeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) KVXPosixDispatchMessage(&msg);
        else std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return g_finished;
}

Pcm captured()
{
    Pcm pcm(KVXPosixCaptureSize() / 2);
    KVXPosixCaptureRead(pcm.data(), pcm.size() * 2);
    return pcm;
}

// A start with the word as given (and a fresh decoder), played to its end
// through the playback calls, or the decoding session's when `decoding`.
Pcm play_word(uint32_t ms, uint32_t mode, uint32_t word, uint32_t *stop, bool decoding = false)
{
    KVXPosixCaptureClear();
    fresh_decoder();
    g_word = word;
    g_finished = false;
    g_decoding = decoding;
    const uint32_t started = decoding ? KVXStartDecoding(ms) : KVXStartPlayback(ms, mode);
    g_started = g_word;
    EXPECT_EQ(started, 0u);
    if (started == 0) {
        EXPECT_TRUE(pump(120000, true)) << "played to the end";
        EXPECT_EQ(decoding ? KVXEndDecoding(stop) : KVXStopPlayback(stop), 0u);
    }
    g_decoding = false;
    return started == 0 ? captured() : Pcm();
}

Pcm play(uint32_t ms, uint32_t mode, uint32_t bits, uint32_t *stop)
{
    return play_word(ms, mode, KVX_CW_RESET | bits, stop);
}

// The file at `path` played from `ms` by the decoding session.  (Decoding
// to PCM is no reference: LP there leaves out the speed stage.)
Pcm decode(const std::string &path, uint32_t ms, uint32_t bits)
{
    kvx::g_file.name[0] = '\0';
    EXPECT_EQ(KVXActiveFile(path.c_str(), nullptr, nullptr), 0u) << path;
    kvx::g_read.ringValid = false;
    uint32_t stop = 0;
    return play_word(ms, 0, KVX_CW_RESET | bits, &stop, true);
}

// Frames decoded from the first: a file the generator builds of them (a
// segment for each run of one codec byte), decoded from its start.
Pcm decode_frames(const std::string &folder, const std::vector<Frame> &frames, uint32_t bits)
{
    if (frames.empty()) return {};
    kvxgen::File file;
    std::vector<Bytes> run;
    for (size_t i = 0; i <= frames.size(); ++i) {
        if (i == frames.size() || (i > 0 && frames[i].codec != frames[i - 1].codec)) {
            file.segments.push_back(kvxgen::Segment::audio(frames[i - 1].codec, std::move(run)));
            run.clear();
        }
        if (i < frames.size()) run.push_back(frames[i].bytes);
    }
    const std::string path = folder + "frames.kvx";
    kvxgen::write(path, kvxgen::build(file));
    Pcm pcm = decode(path, 0, bits);
    fs::remove(path);
    return pcm;
}

bool collect(const uint8_t *block, void *user)
{
    static_cast<Bytes *>(user)->insert(static_cast<Bytes *>(user)->end(), block, block + kvxgen::kBlockSize);
    return true;
}

// The session's audio as the walker yields it.
kvxgen::BlockFrames walked()
{
    Bytes blocks;
    EXPECT_EQ(edit::walk(collect, &blocks), 0u);
    return kvxgen::read_blocks(blocks.data(), blocks.size() / kvxgen::kBlockSize);
}

// The block that holds `ms` (the first whose audio ends after it, or the
// last): its first frame and its start time.
size_t block_at(const kvxgen::BlockFrames &w, uint32_t ms, uint32_t *start = nullptr)
{
    uint32_t begin = 0, end = 0;
    size_t b = 0;
    for (; b < w.blockFirst.size(); ++b) {
        begin = end;
        const size_t next = b + 1 < w.blockFirst.size() ? w.blockFirst[b + 1] : w.frames.size();
        for (size_t i = w.blockFirst[b]; i < next; ++i) end += w.frames[i].ms;
        if (end > ms) break;
    }
    if (b == w.blockFirst.size()) b = w.blockFirst.empty() ? 0 : w.blockFirst.size() - 1;
    if (start != nullptr) *start = begin;
    return w.blockFirst.empty() ? 0 : w.blockFirst[b];
}

std::string sizes(const Pcm &got, const Pcm &want)
{
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    std::ostringstream o;
    o << got.size() << " samples played, " << want.size() << " expected, first difference at " << i;
    return o.str();
}

// Every speed: bits 11-13 the step, bit 15 slower.
constexpr uint32_t kSpeeds[] = {0, 0x0800, 0x1000, 0x1800, 0x2000, 0x8800, 0x9000, 0x9800, 0xA000};
constexpr uint32_t kEndWord = KVX_CW_RESET | KVX_CW_REPOSITION;

class EditPlayback : public ::testing::Test {
protected:
    void SetUp() override
    {
        fresh_decoder(); // takes its copy before anything decodes
        ASSERT_TRUE(KVXPosixSetWaveSink("capture"));
        ASSERT_EQ(KVXInitDecoder(window(), &g_word), 0u);
        fs::create_directories(folder_);
    }
    void TearDown() override
    {
        uint32_t stop = 0;
        KVXStopPlayback(&stop);
        edit::set_rewrite_limit(20);
        std::error_code error;
        fs::remove_all(folder_, error);
    }
    const std::string folder_ = ::testing::TempDir() + "playback/";
};

struct Played {
    uint32_t at, bits;
    std::vector<Frame> from;  // the model's frames from the block that holds `at`
    Pcm pcm;
    bool last;  // played the audio as it was committed
};

size_t g_speed = 0;  // the next speed to play at: sequences go through all of them

void run_sequence(const std::string &folder, uint64_t seed)
{
    std::mt19937_64 rng(seed);
    const uint8_t codec = static_cast<uint8_t>(rng() % 3);
    const bool deep = seed % 4 == 0;  // big inserts into tables no longer rewritten whole: nested ones
    edit::set_rewrite_limit(deep ? 1 : 20);
    const size_t chunks = deep ? 1 + rng() % 2 : rng() % 3;
    std::ostringstream log;
    log << "seed " << seed << ", codec " << int(codec) << ", " << chunks << " chunks" << (deep ? ", deep" : "");
    const std::string target = folder + "s" + std::to_string(seed) + ".kvx";
    const kvxgen::File file = file_of(codec, chunks, static_cast<uint32_t>(seed * 7919));
    Rec r(target, &file, codec >= 2 ? 2 : 0);
    ASSERT_NE(r.h, nullptr);
    for (size_t step = 0, steps = 2 + rng() % 4; step < steps && !::testing::Test::HasFailure(); ++step) {
        const uint32_t length = r.model.length();
        const uint32_t a = length == 0 ? 0 : static_cast<uint32_t>(rng() % (length + 2000));
        const uint32_t op = rng() % 3;
        if (deep || op == 0) {
            const size_t n = deep ? 2000 + rng() % 2000 : 1 + rng() % 600;
            log << " | insert " << n << " at " << a;
            r.write(a, true, n);
        } else if (op == 1) {
            const size_t n = 1 + rng() % 400;
            log << " | overwrite " << n << " at " << a;
            r.write(a, false, n);
        } else {
            const uint32_t b = a + static_cast<uint32_t>(rng() % 20000);
            log << " | erase " << a << ".." << b;
            r.erase(a, b);
        }
    }
    SCOPED_TRACE(log.str());
    if (r.model.length() == 0) r.write(0, true, 50);
    if (::testing::Test::HasFailure()) return;

    // Played from inside a frame; then, after one more insert, from a chunk
    // boundary (a block boundary in a file of one chunk) and from the end or
    // past it: a start after a change plays the audio as it now stands.
    std::vector<Played> plays;
    kvxgen::BlockFrames w;
    uint32_t length = 0;
    for (int k = 0; k < 3 && !::testing::Test::HasFailure(); ++k) {
        if (k == 1) r.write(static_cast<uint32_t>(rng() % (length + 1)), true, 1 + rng() % 300);
        if (k < 2) {
            w = walked();
            length = r.model.length();
            ASSERT_TRUE(w.frames == r.model.frames);
        }
        const size_t blocks = w.blockFirst.size(), inside = rng() % w.frames.size();
        const size_t boundary =
            blocks > kvxgen::kChunkBlocks ? kvxgen::kChunkBlocks * (1 + rng() % ((blocks - 1) / 500)) : rng() % blocks;
        const uint32_t at = k == 0   ? r.model.start_of(inside) + static_cast<uint32_t>(rng() % w.frames[inside].ms)
                            : k == 1 ? r.model.start_of(w.blockFirst[boundary]) + static_cast<uint32_t>(rng() % 2)
                                     : length + static_cast<uint32_t>(rng() % 3 * 1000);
        const uint32_t bits = kSpeeds[g_speed++ % std::size(kSpeeds)] | (rng() % 3 == 0 ? KVX_CW_POSTFILTER : 0);
        const uint32_t mode = std::vector<uint32_t>{0, 2, 7}[rng() % 3];  // other modes than 0 and 1 act as 0
        uint32_t stop = 0;
        plays.push_back({at, bits, {}, play(at, mode, bits, &stop), k > 0});
        plays.back().from.assign(w.frames.begin() + static_cast<std::ptrdiff_t>(block_at(w, at)), w.frames.end());
        if ((bits & KVX_CW_SPEED_MASK) == 0) {  // at a speed the stop counts the frames returned
            EXPECT_EQ(stop, length) << "played from " << at << " to the end";
            EXPECT_EQ(g_word, (bits & KVX_CW_POSTFILTER) | kEndWord);
        }
    }
    ASSERT_EQ(r.close(nullptr, 0, false), 0u);
    for (const Played &p : plays) {
        SCOPED_TRACE("from " + std::to_string(p.at) + " of " + std::to_string(length) + ", word " +
                     std::to_string(p.bits));
        EXPECT_FALSE(p.pcm.empty() && (p.bits & KVX_CW_SPEED_MASK) == 0);  // slower: a last frame may stay held
        const Pcm frames = decode_frames(folder, p.from, p.bits);
        EXPECT_TRUE(p.pcm == frames) << "the model's frames: " << sizes(p.pcm, frames);
        if (!p.last) continue;
        const Pcm committed = decode(target, p.at, p.bits);
        EXPECT_TRUE(p.pcm == committed) << "the committed file: " << sizes(p.pcm, committed);
    }
    fs::remove(target);
}

} // namespace

// KVX_PLAYBACK_SEED=<n> runs one sequence; KVX_PLAYBACK_SEQUENCES how many.
TEST_F(EditPlayback, PlaysTheEditedAudioAsACommitWouldWriteIt)
{
    const char *one = std::getenv("KVX_PLAYBACK_SEED");
    const char *count = std::getenv("KVX_PLAYBACK_SEQUENCES");
    const uint64_t first = one != nullptr ? std::strtoull(one, nullptr, 10) : 1;
    const uint64_t n = one != nullptr ? 1 : count != nullptr ? std::strtoull(count, nullptr, 10) : 12;
    for (uint64_t seed = first; seed < first + n && !HasFailure(); ++seed) run_sequence(folder_, seed);
}

// Played to the end from the middle, from the end and from past it: the
// last block is all that plays from the end on, the stop reports the
// length, and a recording without a new write pointer is appended.
TEST_F(EditPlayback, PlayedToTheEndRecordingAppends)
{
    for (const uint8_t codec : {1, 2}) {
        for (const uint32_t past : {0u, 1u, 777u}) {  // 0: from the middle
            SCOPED_TRACE("codec " + std::to_string(codec) + ", past the end by " + std::to_string(past));
            kvxgen::File file;
            file.segments = {kvxgen::random_segment(codec, 300, 5)};
            Rec r(folder_ + "end" + std::to_string(codec) + "-" + std::to_string(past) + ".kvx", &file, 0);
            r.write(2000, true, 40);  // the write session's start: behind these
            const kvxgen::BlockFrames w = walked();
            const uint32_t length = r.model.length(), at = past == 0 ? length / 2 : length + past - 1;
            const size_t first = block_at(w, at);
            EXPECT_EQ(first == w.blockFirst.back(), past != 0);
            uint32_t stop = 0;
            const Pcm got = play(at, 0, 0, &stop);
            EXPECT_EQ(stop, length);
            EXPECT_EQ(g_word, kEndWord);
            const std::vector<Frame> from(w.frames.begin() + static_cast<std::ptrdiff_t>(first), w.frames.end());
            const std::vector<Frame> add = new_frames(r.mode, 30, 0x900);
            WriteStatus status{};
            for (size_t i = 0; i < add.size(); ++i)
                ASSERT_EQ(KVXWriteFile(r.h, add[i].bytes.data(), i + 1 == add.size(), &status), 0u);
            r.model.insert(length, add);
            EXPECT_TRUE(walked().frames == r.model.frames) << "appended";
            ASSERT_EQ(r.close(nullptr, 0, false), 0u);
            const Pcm want = decode_frames(folder_, from, 0);
            EXPECT_TRUE(got == want) << sizes(got, want);
        }
    }
}

// What stops a running edit playback, 1 s of audio past the block that
// holds its start: the device closes, requests still queued play nothing,
// and a stop when none runs reports where it stood.  After an erase or a
// close that keeps the session, a start with the resume bit plays from there
// at normal speed with a fresh decoder, as a start at that position does.  A
// recording goes in where the playback started (its stop keeps the write
// session's start), after a stop by the caller where that stop was.
TEST_F(EditPlayback, EraseCloseAndRecordingStopIt)
{
    enum Cut { kErase, kKeep, kClose, kRecord, kStop };
    for (const Cut cut : {kErase, kKeep, kClose, kRecord, kStop}) {
        for (const uint8_t codec : {0, 2}) {
            SCOPED_TRACE("cut " + std::to_string(cut) + ", codec " + std::to_string(codec));
            kvxgen::File file;
            file.segments = {kvxgen::random_segment(codec, 1400, 9)};
            // A name of its own: a file rewritten under the active file's name is not opened again.
            Rec r(folder_ + "cut" + std::to_string(cut) + "-" + std::to_string(codec) + ".kvx", &file, 0);
            r.write(1000, true, 60);
            uint8_t mode = r.mode;
            ASSERT_EQ(KVXSetWritePointer(r.h, 0, &mode, 1, 0), 0u);  // a recording would start at 0
            const uint32_t length = r.model.length(), at = length / 3 + 7;
            uint32_t block = 0;
            block_at(walked(), at, &block);
            const uint32_t played = codec >= 2 ? 16000 : 22050;
            const uint32_t stopAt = block + (codec >= 2 ? played * 30 / 480 : played * 24 / 528);

            KVXPosixCaptureClear();
            fresh_decoder();
            g_word = KVX_CW_RESET | KVX_CW_POSTFILTER;
            ASSERT_EQ(KVXStartPlayback(at, 0), 0u);
            const HWAVEOUT device = kvx::g_session.waveOut;
            ASSERT_TRUE(KVXPosixWaveAddPlayed(device, played));
            uint32_t stop = 0;
            uint32_t result = cut == kErase ? r.erase(length - 3000, length)
                              : cut == kKeep  ? r.close("", 2)
                              : cut == kClose ? r.close(nullptr, 0, false)
                              : cut == kStop  ? KVXStopPlayback(&stop)
                                              : 0;
            EXPECT_EQ(result, 0u);
            if (cut == kRecord || cut == kStop) {
                const std::vector<Frame> add = new_frames(r.mode, 25, 0x300);
                WriteStatus status{};
                for (size_t i = 0; i < add.size() && result == 0; ++i)
                    result = KVXWriteFile(r.h, add[i].bytes.data(), i + 1 == add.size(), &status);
                ASSERT_EQ(result, 0u);
                r.model.insert(cut == kStop ? stopAt : at, add);
                EXPECT_TRUE(walked().frames == r.model.frames) << "recorded where expected";
            }
            EXPECT_FALSE(KVXPosixWaveAddPlayed(device, 1)) << "the device is closed";
            for (int i = 0; i < 3; ++i)
                KVXPosixPostMessage(window(), KVX_MSG_BUFFER_REQUEST, 0,
                                    reinterpret_cast<LPARAM>(kvx::g_decoder.waveHeader[i]));
            pump(200, false);
            EXPECT_EQ(KVXPosixCaptureSize(), 0u) << "nothing played after the stop";
            EXPECT_EQ(KVXStopPlayback(&stop), 0u);
            EXPECT_EQ(stop, stopAt) << "the saved stop position";
            EXPECT_EQ(edit::session_open(), cut != kClose);
            if (cut == kErase || cut == kKeep) {
                uint32_t resumed = 0, fresh = 0;
                const Pcm again = play_word(0, 0, KVX_CW_POSTFILTER | 0x0800 | KVX_CW_RESUME, &resumed);
                EXPECT_EQ(g_started, KVX_CW_POSTFILTER | KVX_CW_RESET | KVX_CW_REPOSITION);
                const Pcm want = play(stopAt, 0, KVX_CW_POSTFILTER, &fresh);
                EXPECT_TRUE(!want.empty() && again == want) << sizes(again, want);
                EXPECT_EQ(resumed, r.model.length());
                EXPECT_EQ(fresh, r.model.length());
            }
            if (cut != kClose) {
                EXPECT_EQ(r.close(nullptr, 0, false), 0u);
            }
        }
    }
}

// Without a write session mode 2 hands over to the decoding session, as
// mode 0 does; a stop when nothing plays reports the saved stop position.
TEST_F(EditPlayback, WithoutASessionTheDecodingSessionPlays)
{
    kvxgen::File file;
    file.segments = {kvxgen::random_segment(1, 700, 3), kvxgen::random_segment(2, 300, 4)};
    const std::string path = folder_ + "plain.kvx";
    kvxgen::write(path, kvxgen::build(file));
    uint32_t length = 0;
    for (const uint32_t mode : {0u, 2u}) {
        for (const uint32_t at : {0u, 5000u, 18000u}) {
            SCOPED_TRACE("mode " + std::to_string(mode) + " from " + std::to_string(at));
            const Pcm want = decode(path, at, 0);
            kvx::g_file.name[0] = '\0';
            ASSERT_EQ(KVXActiveFile(path.c_str(), &length, nullptr), 0u);
            uint32_t stop = 0;
            const Pcm got = play(at, mode, 0, &stop);
            EXPECT_TRUE(got == want) << sizes(got, want);
            EXPECT_EQ(stop, length);
            stop = 0;
            EXPECT_EQ(KVXStopPlayback(&stop), 0u);
            EXPECT_EQ(stop, length) << "nothing plays: the saved stop position";
        }
    }
}
