// A fresh folder for each test, made the active folder, with the files the
// test writes into it, recordings of a chosen size, and what the progress
// dialog showed (header, mark and database tests).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/state.h"
#include "kvx.h"
#include "kvx_gen.h"
#ifndef _WIN32
#include "kvx_progress.h"
#endif

struct ShownProgress {
    int opens = 0;
    std::vector<unsigned> done, total;
    std::string dialog, text, lastPercent;
    unsigned stringId = 0, lastPerMille = 0, result = 0, closes = 0;
};

class KvxFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = ::testing::TempDir() + "kvx-" + test->test_suite_name() + "-" + test->name();
#ifdef _WIN32
        std::system(("rmdir /s /q \"" + dir_ + "\" 2>nul").c_str());
        CreateDirectoryA(dir_.c_str(), nullptr);
#else
        std::system(("chmod -R u+w '" + dir_ + "' 2>/dev/null; rm -rf '" + dir_ + "'; mkdir -p '" + dir_ + "'").c_str());
        KVXPosixSetProgressHook(
            [](const KVXProgress *p, void *user) {
                auto *shown = static_cast<ShownProgress *>(user);
                if (p->event == KVX_PROGRESS_OPEN) {
                    ++shown->opens;
                    shown->dialog = p->dialog;
                    shown->text = p->text;
                    shown->stringId = p->stringId;
                } else if (p->event == KVX_PROGRESS_STEP) {
                    shown->done.push_back(p->done);
                    shown->total.push_back(p->total);
                    shown->lastPercent = p->percentText;
                    shown->lastPerMille = p->barPerMille;
                } else {
                    ++shown->closes;
                    shown->result = p->result;
                }
            },
            &shown_);
#endif
        kvx::g_decoder.window = nullptr;
        kvx::g_write.sessionOpen = false;
        ASSERT_EQ(KVXActiveFolder(dir_.c_str(), 0), 0u);
    }
    void TearDown() override
    {
#ifndef _WIN32
        KVXPosixSetProgressHook(nullptr, nullptr);
#endif
        KVXActiveFolder(::testing::TempDir().c_str(), 1);
    }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    std::string write(const std::string &name, const kvxgen::Bytes &bytes)
    {
        EXPECT_TRUE(kvxgen::write(path(name), bytes));
        return path(name);
    }
    kvxgen::Bytes read(const std::string &name) const
    {
        std::ifstream in(path(name), std::ios::binary);
        return kvxgen::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool exists(const std::string &name) const
    {
        return GetFileAttributesA(path(name).c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    void set_read_only(const std::string &name, bool on)
    {
        SetFileAttributesA(path(name).c_str(), on ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
    }
    // Makes a file of the folder active (no conversion), also when it is the
    // active one already.
    uint32_t open(const std::string &name)
    {
        kvx::g_file.name[0] = '\0';
        return KVXActiveFile(path(name).c_str(), &length_, &codecs_);
    }
    // Makes the folder active in `mode` and opens `name` in it.
    void open_in(uint32_t mode, const std::string &name)
    {
        ASSERT_EQ(KVXActiveFolder(dir_.c_str(), mode), 0u);
        ASSERT_EQ(open(name), 0u);
    }
    static kvxgen::File sp_file(size_t frames, int blocks = 2, uint32_t seed = 1)
    {
        kvxgen::File file;
        file.header.blocks = blocks;
        file.segments.push_back(kvxgen::random_segment(1, frames, seed));
        return file;
    }
    // A recording of exactly `blocks` audio blocks (SP speech, then blank
    // blocks); its chunk times go to `times`.
    kvxgen::Bytes recording(size_t blocks, const std::string &end_time = "093100", int header_blocks = 2,
                            uint32_t seed = 1)
    {
        kvxgen::File file = sp_file(400, header_blocks, seed);
        file.header.endTime = end_time;
        file.tail = kvxgen::Tail::PadBlock;
        kvxgen::Layout layout;
        kvxgen::build(file, &layout);
        if (blocks > layout.blocks.size())
            file.segments.push_back(kvxgen::Segment::blank(0, blocks - layout.blocks.size()));
        kvxgen::Bytes bytes = kvxgen::build(file, &layout);
        times = kvxgen::chunk_times(layout);
        return bytes;
    }
    std::vector<uint32_t> active_table() const
    {
        return std::vector<uint32_t>(kvx::g_file.chunkTimes, kvx::g_file.chunkTimes + kvx::g_file.chunkCount);
    }

    const std::string management = "KVXMANAGEMENT.DAT";
    std::string dir_;
    uint32_t length_ = 0;
    uint16_t codecs_ = 0;
    ShownProgress shown_;
    std::vector<uint32_t> times;
};
using DatabaseFolder = KvxFolder;

#ifndef _WIN32
// Runs `step` once for each ReadFile (or WriteFile) call that it makes, with
// that one call failing (or reading short), until a run makes no such call:
// `setup()` before the fault is planned, `check(at)` after it is withdrawn.
template <class Setup, class Step, class Check>
void each_fault(int kind, Setup setup, Step step, Check check)
{
    for (long at = 0; at < 1000; ++at) {
        setup();
        KVXPosixSetFileFault(kind, at, 1);
        step();
        const long fired = KVXPosixSetFileFault(kind, -1, 0);
        check(at);
        if (fired == 0) return;
    }
    ADD_FAILURE() << "faults never ran out";
}
#endif
