// Downloads from the simulated recorder (tests/recorder) while the feed reads
// them, and the feed's settings between processes.
//
// A download of NAME feeds exactly the frames that the finished recording
// feeds and ends as NAME.kvx; a failing recorder ends the feed with 11 and
// leaves no file; the recorder is called in the order and with the arguments
// its link needs, and released at the end; files that are there already are
// never written over.
//
// The program links the library in: the copies of itself that it starts as
// other processes share its transfer block (one block per program file), so
// ctest runs its tests one at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "codec_sp/sp_output.h"
#include "codec_sp/sp_state.h"
#include "core/state.h"
#include "kvx.h"
#include "kvx_gen.h"
#include "test_process.h"

#ifndef _WIN32
#include "kvx_posix.h"
#endif

namespace {

using namespace kvxtest;

namespace fs = std::filesystem;
using Pcm = std::vector<int16_t>;
using Clock = std::chrono::steady_clock;

constexpr size_t kFrame = 264;
uint32_t g_word; // the feed's control word

// --- The recorder's link libraries and the host window ---------------------

// Where LoadLibraryA finds COMM.DLL and ZOZUVU.DLL: the recorder's folder,
// or an empty one (no library).
void link_folder(const fs::path &folder)
{
#ifdef _WIN32
    SetDllDirectoryA(folder.string().c_str());
#else
    set_env("KVX_LIBRARY_PATH", folder.string());
#endif
}

fs::path recorder_folder()
{
#ifdef _WIN32
    return fs::path(self_path()).parent_path() / "recorder";
#else
    return KVX_RECORDER_DIR;
#endif
}

enum class Link { Usb, Serial1, Serial2 };

void choose_link(Link link)
{
    RV880SetCOMMPort(3, 5);
    if (link == Link::Usb) KVXSetCOMPort(0, 7, 0, 0);
    else KVXSetCOMPort(link == Link::Serial1 ? 1 : 2, 0, 3, 5);
}

#ifndef _WIN32
LRESULT quiet(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}
#endif

// The host application's top-level window, of class "Vantrex".
class HostWindow {
public:
    HostWindow()
    {
#ifdef _WIN32
        static const ATOM registered = [] {
            WNDCLASSA wc{};
            wc.lpfnWndProc = DefWindowProcA;
            wc.hInstance = GetModuleHandleA(nullptr);
            wc.lpszClassName = "Vantrex";
            return RegisterClassA(&wc);
        }();
        (void)registered;
        window_ = CreateWindowExA(0, "Vantrex", "host", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
#else
        window_ = KVXPosixCreateClassWindow("Vantrex", "host", quiet, nullptr);
#endif
        EXPECT_NE(window_, nullptr);
    }
    ~HostWindow()
    {
#ifdef _WIN32
        DestroyWindow(window_);
#else
        KVXPosixDestroyWindow(window_);
#endif
    }
    HostWindow(const HostWindow &) = delete;
    HostWindow &operator=(const HostWindow &) = delete;

private:
    HWND window_;
};

// --- The feed ------------------------------------------------------------------

// Frames until the feed answers something other than 1, at most `most`.
uint32_t pull(Pcm *pcm, size_t most = SIZE_MAX)
{
    int16_t frame[kFrame];
    for (size_t i = 0; i < most; ++i) {
        const uint32_t result = KVXTransGetPCM(frame);
        if (result != 1) return result;
        pcm->insert(pcm->end(), frame, frame + kFrame);
    }
    return 1;
}

constexpr uint32_t kNotCalled = 99;

struct Fed {
    uint32_t active = kNotCalled, start = kNotCalled, last = kNotCalled;
    uint32_t way = 0;          // after KVXRV880ActiveFile
    size_t callsAtStart = 0;   // the recorder's, after KVXTransStartDecoding
    Pcm pcm;
};

size_t lines(const std::string &path)
{
    std::ifstream in(path);
    return static_cast<size_t>(std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

// The SP decoder as a new process has it: every feed decodes from the same
// state, so that feeds of the same frames give the same samples.
struct Decoder {
    kvx::SpDecoderState sp = kvx::g_sp;
    kvx::SpChannelState channel = kvx::g_spDecode;
    kvx::SpOutputState output = kvx::g_spOutput;
    uint32_t speed = kvx::g_speedCounter;
};
const Decoder &fresh()
{
    static const Decoder state; // taken before the first feed (main)
    return state;
}

// The feed of the file named `name`, as a client runs it: to its end, or
// `most` frames and then kept for more.
Fed feed(const std::string &name, size_t most = 0)
{
    Fed f;
    kvx::g_sp = fresh().sp, kvx::g_spDecode = fresh().channel, kvx::g_spOutput = fresh().output;
    kvx::g_speedCounter = fresh().speed;
    KVXSetTransFileName(name.c_str());
    g_word = KVX_CW_RESET;
    EXPECT_EQ(KVXTransInitDecoder(&g_word), 0u);
    f.active = KVXRV880ActiveFile(11, 22);
    KVXGetTransWAY(&f.way);
    if (f.active == 0) f.start = KVXTransStartDecoding();
    if (const char *log = std::getenv("KVX_RECORDER_LOG")) f.callsAtStart = lines(log);
    if (f.start == 0) {
        f.last = pull(&f.pcm, most != 0 ? most : 100000);
    } else {
        int16_t frame[kFrame];
        f.last = KVXTransGetPCM(frame);
    }
    if (most == 0) KVXTransDestroy();
    return f;
}

// A file as the recorder delivers it: in whole blocks, the last one padded
// with zeros.
kvxgen::Bytes whole_blocks(kvxgen::Bytes bytes)
{
    bytes.resize((bytes.size() + 511) / 512 * 512);
    return bytes;
}

// The samples of the frames that lie wholly before audio block `blocks`:
// what a feed gives before it needs a chunk that does not come.
size_t samples_before(const kvxgen::Layout &layout, size_t blocks)
{
    size_t frames = 0;
    for (const kvxgen::FrameInfo &f : layout.frames)
        frames += f.fileOffset + f.bytes.size() <= layout.headerBytes + blocks * kvxgen::kBlockSize;
    return frames * kFrame;
}

bool is_prefix(const Pcm &part, const Pcm &whole)
{
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

kvxgen::File recording(size_t frames, uint8_t codec, uint32_t seed, int header_blocks = 2,
                       kvxgen::Tail tail = kvxgen::Tail::Short)
{
    kvxgen::File file;
    file.header.blocks = header_blocks;
    file.segments.push_back(kvxgen::random_segment(codec, frames, seed));
    file.tail = tail;
    return file;
}

// --- The fixture -------------------------------------------------------------------

class Download : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::path(::testing::TempDir()) /
               ("dl-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        log_ = dir_ / "recorder.log";
        dir_ /= "files";
        fs::remove_all(dir_.parent_path());
        fs::create_directories(dir_);
        set_env("KVX_RECORDER_LOG", log_.string());
        set_env("KVX_RECORDER_PACE_MS", "1"); // slower than the feed
        set_env("KVX_RECORDER_FAIL", "");
        link_folder(recorder_folder());
        KVXSetTransWAY(1);
        KVXSetTransWAY(4);
        choose_link(Link::Usb);
        name_ = (dir_ / "D0001").string();
    }
    void TearDown() override
    {
        KVXTransDestroy();
        for (const char *v : {"KVX_RECORDER_LOG", "KVX_RECORDER_PACE_MS", "KVX_RECORDER_FAIL", "KVX_RECORDER_FILE"})
            set_env(v, "");
        std::error_code e;
        fs::remove_all(dir_.parent_path(), e);
    }

    // The recording on the recorder; its frames as a finished file feeds them.
    kvxgen::Bytes serve(const kvxgen::File &file, Pcm *frames = nullptr, kvxgen::Layout *layout = nullptr)
    {
        const kvxgen::Bytes bytes = kvxgen::build(file, layout);
        const fs::path path = dir_ / "served.kvx";
        EXPECT_TRUE(kvxgen::write(path.string(), bytes));
        set_env("KVX_RECORDER_FILE", path.string());
        if (frames != nullptr) {
            const Fed f = feed(path.string());
            EXPECT_EQ(f.last, 0u);
            EXPECT_FALSE(f.pcm.empty());
            *frames = f.pcm;
        }
        return bytes;
    }

    // The recorder's calls since the last look.
    std::vector<std::string> calls()
    {
        std::vector<std::string> lines;
        {
            std::ifstream in(log_);
            for (std::string line; std::getline(in, line);) lines.push_back(line);
        }
        std::error_code e;
        fs::remove(log_, e);
        return lines;
    }

    std::vector<std::string> files()
    {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir_;      // the files of a test
    fs::path log_;      // the recorder's calls
    std::string name_; // the transfer name of a download
};

// The calls that open a link and the recording (ActiveFile(11, 22): b first).
std::vector<std::string> opening(Link link)
{
    std::vector<std::string> lines;
    if (link == Link::Usb) lines = {"GetDeviceInfo ptr ptr", "InitUSBPort 7"};
    else lines = {"SetCOMPort 3 5"};
    lines.push_back("OpenKVXFile 22 11 512 ptr");
    if (link == Link::Serial1) lines.push_back("ChangeCOMRate 5");
    return lines;
}

std::string closing(Link link)
{
    return link == Link::Usb ? "CloseUSBPort 7" : "CloseCOMPort";
}

// A live download over either link: the frames fed are the finished
// recording's, the file is renamed NAME.kvx with the recorder's bytes, and
// the recorder sees the link opened, every block read once, the transfer
// stopped, then power off (no host window) or rate 242 (host window, serial
// link kind 1), and the link closed.  The feed begins while the recorder
// still delivers.  Recordings shorter than a chunk, of exactly two chunks,
// of one header block and of many chunks.
TEST_F(Download, LiveDownloadFeedsTheRecordingAndEndsAsNameKvx)
{
    set_env("KVX_RECORDER_PACE_MS", "3");
    const std::vector<std::string> power = {"StopTZ440V", "SetCOMPower 10 ptr"};
    const std::vector<std::string> rate = {"StopTZ440V", "ChangeCOMRate 242"};
    const std::vector<std::string> stop = {"StopTZ440V"};
    const struct {
        const char *what;
        kvxgen::File file;
        Link link;
        bool window;
        const char *fail;
        std::vector<std::string> end; // before the link's close
    } cases[] = {
        {"short, USB", recording(30, 0, 1), Link::Usb, false, "", power},
        {"two chunks, serial", recording(480, 0, 3, 2, kvxgen::Tail::PadBlock), Link::Serial1, false, "", power},
        {"many, serial, host window", recording(2600, 1, 5), Link::Serial1, true, "", rate},
        {"one header block, USB, host window", recording(900, 0, 6, 1), Link::Usb, true, "", stop},
        {"many, serial kind 2, host window", recording(1500, 1, 7), Link::Serial2, true, "", stop},
        {"many, USB, the stop fails", recording(1500, 0, 8), Link::Usb, false, "stop", stop},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Pcm whole;
        const kvxgen::Bytes bytes = serve(c.file, &whole);
        calls();
        choose_link(c.link);
        set_env("KVX_RECORDER_FAIL", c.fail);
        std::unique_ptr<HostWindow> host(c.window ? new HostWindow : nullptr);
        const Fed f = feed(name_);
        host.reset();
        const size_t blocks = (bytes.size() + 511) / 512;
        if (blocks > 60) {
            EXPECT_LT(f.callsAtStart, blocks) << "the feed starts before the download ends";
        }
        EXPECT_EQ(f.active, 0u);
        EXPECT_EQ(f.start, 0u);
        EXPECT_EQ(f.last, 0u);
        EXPECT_EQ(f.way & 8, 0u);
        EXPECT_TRUE(f.pcm == whole) << f.pcm.size() / kFrame << " frames for " << whole.size() / kFrame;
        EXPECT_FALSE(fs::exists(name_));
        EXPECT_TRUE(read_bytes(name_ + ".kvx") == whole_blocks(bytes));
        std::vector<std::string> want = opening(c.link);
        want.insert(want.end(), blocks, "ReadKVXFile ptr ptr ptr");
        want.insert(want.end(), c.end.begin(), c.end.end());
        want.push_back(closing(c.link));
        EXPECT_EQ(calls(), want);
        fs::remove(name_ + ".kvx");
    }
}

// A recorder that fails ends the download: KVXRV880ActiveFile answers 11 (a
// link, open or header step, after which nothing is read) or 10 (no link
// library); a failure while the feed runs makes it answer 11 after the
// frames of the chunks it could read (a chunk k is read once k + 1 are
// there: a failure in chunk 5, once the feed waits, stops it where it would
// load chunk 4, in the middle of chunk 3); the partial file is gone after
// KVXTransDestroy, which still closes the link.
TEST_F(Download, FailuresEndTheFeedWith11AndLeaveNoFile)
{
    Pcm whole;
    kvxgen::Layout layout;
    serve(recording(2600, 1, 9), &whole, &layout);
    constexpr size_t kAll = SIZE_MAX;
    const struct {
        const char *what;
        Link link;
        const char *fail; // nullptr: no link library
        uint32_t active, start, last;
        bool reads;       // the recorder is read from
        size_t fedBlocks; // the audio blocks whose frames are fed
    } cases[] = {
        {"the first header block", Link::Usb, "read:0", 11, kNotCalled, 11, true, 0},
        {"the second header block", Link::Serial1, "read:1", 11, kNotCalled, 11, true, 0},
        {"a block of chunk 1", Link::Usb, "read:5", 0, 11, 11, true, 0},
        {"a block of chunk 5", Link::Serial1, "stall:100:500,read:100", 0, 0, 11, true, 50},
        {"the USB link", Link::Usb, "link", 11, kNotCalled, 11, false, 0},
        {"the device probe", Link::Usb, "info", 11, kNotCalled, 11, false, 0},
        {"the serial link", Link::Serial2, "link", 11, kNotCalled, 11, false, 0},
        {"the open", Link::Serial1, "open", 11, kNotCalled, 11, false, 0},
        {"the rate", Link::Serial1, "rate", 11, kNotCalled, 11, false, 0},
        {"the rate, not asked of link kind 2", Link::Serial2, "rate", 0, 0, 0, true, kAll},
        {"no USB library", Link::Usb, nullptr, 10, kNotCalled, 11, false, 0},
        {"no serial library", Link::Serial1, nullptr, 10, kNotCalled, 11, false, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        calls();
        choose_link(c.link);
        set_env("KVX_RECORDER_FAIL", c.fail != nullptr ? c.fail : "");
        fs::create_directories(dir_ / "empty");
        link_folder(c.fail != nullptr ? recorder_folder() : dir_ / "empty");
        const Fed f = feed(name_);
        link_folder(recorder_folder());
        EXPECT_EQ(f.active, c.active);
        EXPECT_EQ(f.start, c.start);
        EXPECT_EQ(f.last, c.last);
        EXPECT_TRUE(is_prefix(f.pcm, whole));
        EXPECT_EQ(f.pcm.size(), c.fedBlocks == kAll ? whole.size() : samples_before(layout, c.fedBlocks));
        EXPECT_EQ(fs::exists(name_ + ".kvx"), c.fedBlocks == kAll);
        fs::remove(name_ + ".kvx");
        EXPECT_FALSE(fs::exists(name_)) << "the partial file is deleted";
        const std::vector<std::string> log = calls();
        EXPECT_EQ(std::count(log.begin(), log.end(), "ReadKVXFile ptr ptr ptr") > 0, c.reads);
        if (c.fail == nullptr) {
            EXPECT_TRUE(log.empty());
        } else {
            EXPECT_TRUE(!log.empty() && log.back() == closing(c.link)) << (log.empty() ? "" : log.back());
        }
    }
    EXPECT_EQ(files(), (std::vector<std::string>{"empty", "served.kvx"}));
}

// Files already there are not written over: a finished download keeps its
// own name beside an existing NAME.kvx; a transfer name that is an existing
// file makes a download that stores nothing (way flag 8), and the file
// stays; an empty name downloads without storing.
TEST_F(Download, ExistingFilesAreLeftAlone)
{
    Pcm whole;
    const kvxgen::Bytes bytes = serve(recording(1200, 0, 10), &whole);
    const kvxgen::Bytes other = kvxgen::build(recording(700, 1, 11));
    const struct {
        const char *what;
        const char *existing; // suffix to the transfer name; nullptr: the name is empty
        std::vector<std::string> after;
    } cases[] = {
        {"NAME.kvx exists", ".kvx", {"D0001", "D0001.kvx", "served.kvx"}},
        {"NAME exists", "", {"D0001", "served.kvx"}},
        {"empty name", nullptr, {"served.kvx"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        calls();
        if (c.existing != nullptr) {
            ASSERT_TRUE(kvxgen::write(name_ + c.existing, other));
        }
        const Fed f = feed(c.existing != nullptr ? name_ : "");
        EXPECT_EQ(f.active, 0u);
        EXPECT_NE(f.last, 1u);
        EXPECT_EQ(files(), c.after);
        if (c.existing != nullptr) {
            EXPECT_TRUE(read_bytes(name_ + c.existing) == other) << "untouched";
        }
        if (c.existing != nullptr && c.existing[0] == '\0') {
            EXPECT_EQ(f.way & 8, 8u);
            EXPECT_TRUE(f.pcm.empty()) << "nothing of the file that was there is fed";
        } else {
            EXPECT_EQ(f.way & 8, 0u);
        }
        if (c.existing != nullptr && c.existing[0] == '.') {
            EXPECT_TRUE(f.pcm == whole);
            EXPECT_TRUE(read_bytes(name_) == whole_blocks(bytes)) << "the download keeps its name";
        }
        const std::vector<std::string> log = calls();
        EXPECT_TRUE(std::count(log.begin(), log.end(), "OpenKVXFile 22 11 512 ptr") == 1);
        for (const std::string &file : files())
            if (file != "served.kvx") fs::remove(dir_ / file);
        KVXSetTransWAY(1);
        KVXSetTransWAY(4);
    }
}

// A name that ends in ".kvx", in any case, is a finished file: it is fed as
// it is, even with the live flag set, and neither the recorder nor the file
// is touched.  While a write session is open the feed gets no file (523).
TEST_F(Download, FinishedFilesAndTheWriteSession)
{
    Pcm whole;
    const kvxgen::Bytes bytes = serve(recording(900, 1, 12), &whole);
    calls();
    for (const char *name : {"a.kvx", "B.KVX", "c.KvX", "d.kVx"}) {
        SCOPED_TRACE(name);
        const std::string path = (dir_ / name).string();
        ASSERT_TRUE(kvxgen::write(path, bytes));
        const Fed f = feed(path);
        EXPECT_EQ(f.active, 0u);
        EXPECT_EQ(f.last, 0u);
        EXPECT_TRUE(f.pcm == whole);
        EXPECT_TRUE(read_bytes(path) == bytes);
        fs::remove(path);
    }
    const Fed missing = feed((dir_ / "missing.KVX").string());
    EXPECT_EQ(missing.active, 11u);

    uint32_t result = 99;
    WriteHandle *session = KVXCreateFile((dir_ / "served.kvx").string().c_str(), 1, &result);
    ASSERT_NE(session, nullptr);
    for (const std::string &name : {name_, (dir_ / "served.kvx").string()}) {
        KVXSetTransFileName(name.c_str());
        EXPECT_EQ(KVXRV880ActiveFile(11, 22), static_cast<uint32_t>(KVX_ERR_BUSY));
    }
    KVXCloseFileEx(session, "", 1);
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(files(), std::vector<std::string>{"served.kvx"});
}

// An end request from another process reaches a feed that waits for a
// stalled recorder: KVXTransGetPCM returns 0 within a second, long before
// the recorder goes on.  The recorder stalls after chunk 3, so the feed has
// had the frames up to the middle of chunk 2 (where it loads chunk 3, which
// it reads once 4 chunks are there).  The unfinished file goes with
// KVXTransDestroy.
TEST_F(Download, EndRequestFromAnotherProcessWhileTheRecorderStalls)
{
    Pcm whole;
    kvxgen::Layout layout;
    serve(recording(2600, 1, 13), &whole, &layout);
    set_env("KVX_RECORDER_PACE_MS", "");
    set_env("KVX_RECORDER_FAIL", "stall:62:3000"); // 2 header blocks and 3 chunks delivered
    const Fed begun = feed(name_, 5);
    ASSERT_EQ(begun.last, 1u);
    const Clock::time_point t0 = Clock::now();
    Clock::time_point requested;
    int ender = -1;
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        ender = finish(start({"end"}));
        requested = Clock::now();
    });
    Pcm pcm = begun.pcm;
    const uint32_t last = pull(&pcm);
    const Clock::time_point returned = Clock::now();
    other.join();
    EXPECT_EQ(ender, 0);
    EXPECT_EQ(last, 0u);
    using ms = std::chrono::milliseconds;
    EXPECT_LT(returned - requested, ms(1000));
    EXPECT_LT(returned - t0, ms(2500)) << "before the recorder went on: "
                                       << std::chrono::duration_cast<ms>(returned - t0).count() << " ms";
    EXPECT_TRUE(is_prefix(pcm, whole));
    EXPECT_GE(pcm.size(), samples_before(layout, 30));
    EXPECT_LE(pcm.size(), samples_before(layout, 31));
    KVXTransDestroy();
    EXPECT_FALSE(fs::exists(name_));
    EXPECT_FALSE(fs::exists(name_ + ".kvx"));
}

// Two processes: this one sets the name, the way flags and, later, the end
// request; the other feeds and sees them: the stretch between the marks
// (way 2), then 0 after the request, which it clears.
TEST_F(Download, SettingsFromAnotherProcess)
{
    kvxgen::File file = recording(2600, 0, 14);
    file.header.extMarks[0].ms = 2400;
    file.header.extMarks[1].ms = 50000;
    const std::string path = (dir_ / "marked.kvx").string();
    ASSERT_TRUE(kvxgen::write(path, kvxgen::build(file)));
    KVXSetTransWAY(2);
    const Fed way2 = feed(path);
    KVXSetTransWAY(1);
    const Fed way1 = feed(path);
    ASSERT_EQ(way2.last, 0u);
    ASSERT_FALSE(way2.pcm.empty());
    ASSERT_FALSE(way2.pcm == Pcm(way1.pcm.begin(), way1.pcm.begin() + way2.pcm.size()));

    KVXSetTransFileName(path.c_str());
    KVXSetTransWAY(2);
    const std::string out = (dir_ / "fed.pcm").string(), ready = (dir_ / "ready").string();
    uint32_t way = 0;
    KVXGetTransWAY(&way);
    const Process feeder = start({"feed", out, ready, std::to_string(way)});
    if (!wait_for_file(ready, 1000)) {
        ADD_FAILURE() << "the feeder ended with " << finish(feeder);
        return;
    }
    KVXSetTransEnd();
    EXPECT_EQ(finish(feeder), 0);
    const kvxgen::Bytes bytes = read_bytes(out);
    Pcm pcm(bytes.size() / 2);
    std::memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
    EXPECT_GE(pcm.size(), 51 * kFrame);
    EXPECT_LT(pcm.size(), way2.pcm.size());
    EXPECT_TRUE(is_prefix(pcm, way2.pcm));
}

// --- Roles ---------------------------------------------------------------------

// Feeds the file that the shared block names with its way flags (which
// must be `want_way`): 50
// frames, then signals `ready` and goes on slowly until the end request
// ends the feed with 0; one more frame shows the request cleared.  Writes
// the frames to `out`.
int feed_role(const std::string &out, const std::string &ready, const std::string &want_way)
{
    uint32_t way = 0;
    KVXGetTransWAY(&way);
    if (std::to_string(way) != want_way) return 10;
    g_word = KVX_CW_RESET;
    if (KVXTransInitDecoder(&g_word) != 0 || KVXRV880ActiveFile(0, 0) != 0 || KVXTransStartDecoding() != 0) return 11;
    Pcm pcm;
    if (pull(&pcm, 50) != 1) return 12;
    std::ofstream(ready) << "ready";
    uint32_t last = 1;
    for (int i = 0; i < 500 && last == 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        last = pull(&pcm, 1);
    }
    if (last != 0) return 13;
    if (pull(&pcm, 1) != 1) return 14;
    KVXTransDestroy();
    std::ofstream(out, std::ios::binary).write(reinterpret_cast<const char *>(pcm.data()),
                                                static_cast<std::streamsize>(pcm.size() * 2));
    return 0;
}

int role(const std::vector<std::string> &args)
{
    if (args.size() == 1 && args[0] == "end") {
        KVXSetTransEnd();
        return 0;
    }
    if (args.size() == 4 && args[0] == "feed") return feed_role(args[1], args[2], args[3]);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    // Linked in, the library is not loaded: it is attached here, as a load
    // would (which joins this program's transfer block).
    kvx::library_attach(nullptr);
    fresh();
    if (argc >= 3 && std::strcmp(argv[1], "--role") == 0) {
        const int verdict = role(std::vector<std::string>(argv + 2, argv + argc));
        kvx::library_detach();
        return verdict;
    }
    // A temporary folder of this process's own.
    std::error_code error;
    const fs::path folder = fs::temp_directory_path(error) / ("kvx-download-" + process_id());
    const bool made = fs::create_directories(folder, error);
#ifdef _WIN32
    if (made) set_env("TEMP", folder.string());
#else
    if (made) set_env("TEST_TMPDIR", folder.string());
#endif
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    if (made) fs::remove_all(folder, error);
    kvx::library_detach();
    return result;
}
