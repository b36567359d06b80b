// Fuzz target: arbitrary bytes as a finished recording, fed through the
// transcription feed's exports until the feed ends.  The feed must end,
// answer only 0 (the end) or 14 (LP audio) after its frames, and stay
// inside its buffers.  With way 1 its frames are those that decoding the
// file to PCM from 0 with the same control word gives, up to the first LP
// block, and it answers 14 exactly when that decoding stops at LP audio.
//
// Input: byte 0  bit 0 way 2 (else way 1), bit 1 postfilter, bit 2 the
//                speech-flag bit, bits 3-7 the speed setting's bits 11-15;
//        the rest is the file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "codec_sp/sp_output.h"
#include "codec_sp/sp_state.h"
#include "core/state.h"
#include "kvx.h"
#include "kvx_posix.h"

namespace {

constexpr size_t kFrameSamples = 264;
using Pcm = std::vector<int16_t>;

uint32_t g_word = 0;

/* The feed takes a name that does not end in ".kvx" for a recording on a
 * recorder. */
const std::string &file_path()
{
    static const std::string path = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                    "/kvx-feed-fuzz-" + std::to_string(getpid()) + ".kvx";
    return path;
}

void remove_file()
{
    std::remove(file_path().c_str());
}

[[noreturn]] void fail(const char *what, size_t a = 0, size_t b = 0)
{
    std::fprintf(stderr, "feed_fuzz: %s (%zu, %zu)\n", what, a, b);
    std::abort();
}

LRESULT quiet(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}

// The SP decoder's state as the first input found it: both runs start from
// it, and an input decodes alike whenever it runs.
struct Decoder {
    kvx::SpDecoderState sp = kvx::g_sp;
    kvx::SpChannelState channel = kvx::g_spDecode;
    kvx::SpOutputState output = kvx::g_spOutput;
    uint32_t speed = kvx::g_speedCounter;
    void restore() const
    {
        kvx::g_sp = sp, kvx::g_spDecode = channel, kvx::g_spOutput = output, kvx::g_speedCounter = speed;
    }
};

/* Each block announces fewer than 128 frames, and the slowest speed gives
 * at most two outputs a frame. */
size_t most_frames(size_t bytes)
{
    return (bytes / 512 + 3) * 128 * 2;
}

/* The feed until it answers something other than 1; false when the file
 * is not taken. */
bool fed(uint32_t word, size_t most, Pcm *pcm, uint32_t *last)
{
    KVXSetTransFileName(file_path().c_str());
    uint32_t control = word;
    if (KVXTransInitDecoder(&control) != KVX_OK) fail("the feed cannot be set up");
    if (KVXRV880ActiveFile(0, 0) != KVX_OK) {
        KVXTransDestroy();
        return false;
    }
    if (KVXTransStartDecoding() != KVX_OK) fail("the start of a finished file's feed failed");
    int16_t frame[kFrameSamples];
    for (size_t n = 0;; ++n) {
        if (n > most) fail("the feed does not end", n);
        *last = KVXTransGetPCM(frame);
        if (*last != 1) break;
        pcm->insert(pcm->end(), frame, frame + kFrameSamples);
    }
    KVXTransDestroy();
    return true;
}

/* Decoding to PCM from 0 until its end or a change to LP; false when the
 * file is not taken. */
bool decoded(uint32_t word, size_t most, Pcm *pcm, bool *at_lp)
{
    kvx::g_file.name[0] = '\0';
    kvx::g_folder.mode = 0; // no progress dialog (a timer of 100 ms) for a file's table
    uint32_t length = 0;
    if (KVXActiveFile(file_path().c_str(), &length, nullptr) != KVX_OK) return false;
    kvx::g_read.ringValid = false;
    // The session's ring as the feed's starts, zeroed: past a file's last
    // block the fetch reads header bytes of the block that takes the end
    // marker, which otherwise hold whatever an earlier file left there.
    std::memset(kvx::g_decoder.ring, 0, kvx::kRingBytes);
    g_word = word | KVX_CW_NO_DEVICE;
    if (KVXStartDecoding(0) != KVX_OK) return false;
    *at_lp = false;
    for (size_t n = 0;; ++n) {
        if (n > most) fail("decoding does not end", n);
        int16_t *frame = nullptr;
        uint32_t codec = 9;
        if (KVXDecodeToPCM(&frame, &codec) == 0) break;
        if (frame == nullptr || codec != 0) {
            *at_lp = true;
            break;
        }
        pcm->insert(pcm->end(), frame, frame + kFrameSamples);
    }
    uint32_t stop = 0;
    KVXEndDecoding(&stop);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    static const HWND window = KVXPosixCreateWindow(quiet, nullptr);
    static const Decoder fresh;
    static const bool ready = KVXPosixSetWaveSink("capture") && KVXInitDecoder(window, &g_word) == KVX_OK;
    if (!ready) fail("the decoding service cannot be set up");
    static const bool cleanup = std::atexit(remove_file) == 0;
    (void)cleanup;

    FILE *file = std::fopen(file_path().c_str(), "wb");
    if (file == nullptr) fail("cannot write the file");
    if (size > 1 && std::fwrite(data + 1, 1, size - 1, file) != size - 1) fail("cannot write the file");
    std::fclose(file);

    const bool way2 = (data[0] & 1) != 0;
    uint32_t word = KVX_CW_RESET | static_cast<uint32_t>(data[0] >> 3) << 11;
    if (data[0] & 2) word |= KVX_CW_POSTFILTER;
    if (data[0] & 4) word |= KVX_CW_SPEECH_FLAG;
    const size_t most = most_frames(size);

    KVXSetTransWAY(way2 ? 2 : 1);
    fresh.restore();
    Pcm feed;
    uint32_t last = 9;
    if (!fed(word, most, &feed, &last)) return 0;
    if (last != 0 && last != KVX_ERR_FEED_LP) fail("the feed answered", last);
    if (way2) return 0;

    fresh.restore();
    Pcm want;
    bool at_lp = false;
    if (!decoded(word, most, &want, &at_lp)) return 0;
    // KVX_FEED_FUZZ_TRACE=1 tells what a reproducer did.
    if (std::getenv("KVX_FEED_FUZZ_TRACE") != nullptr)
        std::fprintf(stderr, "fed %zu frames, answer %u; decoded %zu frames%s\n", feed.size() / 264, last,
                     want.size() / 264, at_lp ? ", then LP" : "");
    if (feed.size() != want.size()) fail("the feed's frames are not decoding's", feed.size() / 264, want.size() / 264);
    for (size_t i = 0; i < feed.size(); ++i)
        if (feed[i] != want[i]) fail("the feed's samples differ from decoding's at", i / 264, i % 264);
    if ((last == KVX_ERR_FEED_LP) != at_lp) fail("the feed's end is not decoding's", last, at_lp);
    return 0;
}
