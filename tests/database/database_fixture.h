// A folder of generated recordings for the large-file database tests, and a
// recorder of what the progress dialog shows.
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

// What the dialog showed, event by event.
struct ShownProgress {
    std::vector<int> events;
    std::vector<unsigned> done, total;
    std::string dialog, text, lastPercent;
    unsigned stringId = 0, lastPerMille = 0, result = 0;
    int opens() const
    {
        int n = 0;
        for (int e : events) n += e == 0;
        return n;
    }
};

class DatabaseFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = ::testing::TempDir() + "kvx-db-" + test->test_suite_name() + "-" + test->name();
#ifdef _WIN32
        std::system(("rmdir /s /q \"" + dir_ + "\" 2>nul").c_str());
        CreateDirectoryA(dir_.c_str(), nullptr);
#else
        std::system(("chmod -R u+w '" + dir_ + "' 2>/dev/null; rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'").c_str());
        KVXPosixSetProgressHook(&DatabaseFolder::hook, &shown_);
#endif
        kvx::g_write.sessionOpen = false;
        kvx::g_decoder.window = nullptr;
    }

    void TearDown() override
    {
#ifndef _WIN32
        KVXPosixSetProgressHook(nullptr, nullptr);
#endif
        KVXActiveFolder(::testing::TempDir().c_str(), 1);
    }

#ifndef _WIN32
    static void hook(const KVXProgress *p, void *user)
    {
        auto *shown = static_cast<ShownProgress *>(user);
        shown->events.push_back(p->event);
        if (p->event == KVX_PROGRESS_OPEN) {
            shown->dialog = p->dialog;
            shown->text = p->text;
            shown->stringId = p->stringId;
        } else if (p->event == KVX_PROGRESS_STEP) {
            shown->done.push_back(p->done);
            shown->total.push_back(p->total);
            shown->lastPercent = p->percentText;
            shown->lastPerMille = p->barPerMille;
        } else {
            shown->result = p->result;
        }
    }
#endif

    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    std::string management() const { return path("KVXMANAGEMENT.DAT"); }

    std::string write(const std::string &name, const kvxgen::Bytes &bytes)
    {
        EXPECT_TRUE(kvxgen::write(path(name), bytes));
        return path(name);
    }

    kvxgen::Bytes read(const std::string &file) const
    {
        std::ifstream in(file, std::ios::binary);
        return kvxgen::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    bool exists(const std::string &file) const { return GetFileAttributesA(file.c_str()) != INVALID_FILE_ATTRIBUTES; }

    // A recording of exactly `blocks` audio blocks: SP speech followed by
    // blank blocks.  Its chunk times are kept in `times`.
    kvxgen::Bytes recording(size_t blocks, const std::string &end_time = "093100", int header_blocks = 2,
                            uint32_t seed = 1)
    {
        kvxgen::File file;
        file.header.blocks = header_blocks;
        file.header.endTime = end_time;
        file.tail = kvxgen::Tail::PadBlock;
        file.segments.push_back(kvxgen::random_segment(1, 400, seed));
        kvxgen::Layout layout;
        kvxgen::build(file, &layout);
        const size_t used = layout.blocks.size();
        if (blocks > used) file.segments.push_back(kvxgen::Segment::blank(0, blocks - used));
        kvxgen::Bytes bytes = kvxgen::build(file, &layout);
        times = kvxgen::chunk_times(layout);
        return bytes;
    }

    // Opens by full path after forgetting the active name.
    uint32_t open(const std::string &name)
    {
        kvx::g_file.name[0] = '\0';
        return KVXActiveFile(path(name).c_str(), &length, &codecs);
    }

    std::vector<uint32_t> active_table() const
    {
        return std::vector<uint32_t>(kvx::g_file.chunkTimes, kvx::g_file.chunkTimes + kvx::g_file.chunkCount);
    }

    std::string dir_;
    ShownProgress shown_;
    std::vector<uint32_t> times;
    uint32_t length = 0;
    uint16_t codecs = 0;
};
