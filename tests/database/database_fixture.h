// The folder of the header tests, with recordings of a chosen size and a
// recorder of what the progress dialog shows.
#pragma once

#include <string>
#include <vector>

#include "../header/header_fixture.h"
#ifndef _WIN32
#include "kvx_progress.h"
#endif

// What the dialog showed.
struct ShownProgress {
    int opens = 0;
    std::vector<unsigned> done, total;
    std::string dialog, text, lastPercent;
    unsigned stringId = 0, lastPerMille = 0, result = 0, closes = 0;
};

class DatabaseFolder : public KvxFolder {
protected:
    void SetUp() override
    {
        KvxFolder::SetUp();
#ifndef _WIN32
        KVXPosixSetProgressHook(&DatabaseFolder::hook, &shown_);
#endif
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
    }
#endif

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
    // Makes `dir_` the active folder in `mode` and opens `name` in it.
    void open_in(uint32_t mode, const std::string &name)
    {
        ASSERT_EQ(KVXActiveFolder(dir_.c_str(), mode), 0u);
        ASSERT_EQ(open(name), 0u);
    }

    const std::string management = "KVXMANAGEMENT.DAT";
    ShownProgress shown_;
    std::vector<uint32_t> times;
};
