// Fuzz target: arbitrary bytes opened as a KVX file, and every frame walked
// with both frame skippers from a chosen start, then a resume inside a
// chosen block.  The walk must end and stay inside the ring, its slack and
// the assembly buffer.
//
// Input: byte 0 chooses the chunk geometry (bit 0: the transfer's 10240
// bytes, so that small inputs span many chunks); bytes 1-2 the start time;
// bytes 3-5 the resume block, skip count and remaining count; the rest is
// the file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "core/state.h"
#include "format/skip.h"
#include "format/stream.h"
#include "kvx.h"

namespace {

uint32_t g_word = 0;

const std::string &file_path()
{
    static const std::string path = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                    "/kvx-stream-fuzz-" + std::to_string(getpid()) + ".kvx";
    return path;
}

/* Hands out frames until the end, restarting at each change of codec as a
 * session does; a walk that does not end is a finding. */
void walk(uint8_t **frame)
{
    for (long steps = 0;; ++steps) {
        if (steps > 4000000) std::abort();
        const uint32_t r = kvx::next_frame(frame);
        if (r == 1 || r == KVX_ERR_REOPEN) {
            if (kvx::g_read.blockCodec) kvx::lp_skip_frame(frame);
            else kvx::sp_skip_frame(frame, &g_word);
            continue;
        }
        if (!kvx::g_read.codecChanged) return;
        kvx::g_read.codecChanged = false;
        kvx::g_read.ended = false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 6) return 0;
    if (kvx::allocate_buffers() != 0) std::abort();
    FILE *file = std::fopen(file_path().c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 6 && std::fwrite(data + 6, 1, size - 6, file) != size - 6) std::abort();
    std::fclose(file);

    kvx::g_file.name[0] = '\0';
    kvx::g_decoder.chunkBytes = (data[0] & 1) ? 10240 : kvx::kChunkBytes;
    kvx::g_decoder.blocksPerChunk = (data[0] & 1) ? 20 : kvx::kBlocksPerChunk;
    // Tables of files of three chunks or more are built here, not under the
    // progress dialog (whose timer costs 100 ms an input).
    kvx::g_folder.mode = 0;
    kvx::g_decoder.control = &g_word;
    g_word = 0;
    kvx::g_read = kvx::ReadPosition();
    if (KVXActiveFile(file_path().c_str(), nullptr, nullptr) != KVX_OK) return 0;

    const uint32_t start = (static_cast<uint32_t>(data[1]) << 8 | data[2]) * 97u;
    uint8_t *frame = nullptr;
    if (kvx::stream_seek(start, nullptr) != KVX_OK) return 0;
    walk(&frame);

    // A resume inside a block, as a session saved it.
    if (kvx::stream_seek(start, nullptr) != KVX_OK) return 0;
    kvx::g_read.cursor = 2 + 512u * (data[3] % (2 * kvx::g_decoder.chunkBytes / 512));
    kvx::g_read.skipCount = data[4];
    kvx::g_read.remaining = static_cast<int8_t>(data[5]);
    g_word |= KVX_CW_RESUME;
    walk(&frame);
    return 0;
}
