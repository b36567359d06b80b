/*
 * The edited audio of a write session as the read ring's source.
 *
 * Edit playback reads the audio as a commit would write it: the runs of
 * the edit tree, one after the other, cut into chunks of 500 blocks.  The
 * ring, the frame fetch and the session then work as for a file, and play
 * exactly what decoding the committed file would.
 *
 * The runs are known from the tree without reading audio: each is a chunk
 * of one file of the tree, of known duration.  A chunk of the edited audio
 * seldom begins where a run does (a replacement's chunks are short), so the
 * time at a chunk boundary inside a run is found by reading that run's
 * blocks up to it, once, when a start or a stop asks for it.
 */
#include "playback/edited.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/state.h"
#include "edit/edit.h"
#include "format/header.h"
#include "format/stream.h"
#include "kvx.h"

namespace kvx {
namespace playback {
namespace {

std::vector<edit::Run> s_runs;
std::vector<uint64_t> s_first;    /* first block of each run in the edited audio */
std::vector<int64_t> s_chunk_end; /* ms at each chunk's end; -1 not yet known */
uint64_t s_blocks = 0;
uint32_t s_length = 0;
uint32_t s_version = 0;
bool s_built = false;

/* The run that holds block `block` of the edited audio. */
size_t run_of(uint64_t block)
{
    const auto at = std::upper_bound(s_first.begin(), s_first.end(), block);
    return at == s_first.begin() ? 0 : static_cast<size_t>(at - s_first.begin()) - 1;
}

/* Reads `bytes` of run `r` from byte `within` on.  Bytes behind the file's
 * end read as zero (a cut-off last block); false when the file cannot be
 * opened or read. */
bool read_run(size_t r, uint64_t within, uint8_t *dest, uint32_t bytes)
{
    const edit::Run &run = s_runs[r];
    HANDLE file = CreateFileA(run.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const uint64_t position = run.offset + within;
    LONG high = static_cast<LONG>(position >> 32);
    DWORD got = 0;
    bool ok = (SetFilePointer(file, static_cast<LONG>(position & 0xFFFFFFFFu), &high, FILE_BEGIN) !=
                   INVALID_SET_FILE_POINTER ||
               GetLastError() == ERROR_SUCCESS) &&
              ReadFile(file, dest, bytes, &got, nullptr);
    CloseHandle(file);
    if (ok && got < bytes) std::memset(dest + got, 0, bytes - got);
    return ok;
}

/* ms from the start of the edited audio to the start of block `block`. */
uint32_t time_at_block(uint64_t block)
{
    if (block >= s_blocks || s_runs.empty()) return s_length;
    const size_t r = run_of(block);
    const uint32_t start = s_runs[r].start;
    const uint32_t before = static_cast<uint32_t>(block - s_first[r]);
    if (before == 0) return start;
    std::vector<uint8_t> blocks(static_cast<size_t>(before) * kBlockBytes);
    if (!read_run(r, 0, blocks.data(), static_cast<uint32_t>(blocks.size()))) return start;
    uint32_t t = start;
    for (uint32_t b = 0; b < before; ++b) t += hdr::block_ms(blocks.data() + static_cast<size_t>(b) * kBlockBytes);
    return t;
}

uint32_t chunk_count()
{
    return static_cast<uint32_t>((s_blocks + kBlocksPerChunk - 1) / kBlocksPerChunk);
}

uint32_t chunk_end(uint32_t index)
{
    if (index >= s_chunk_end.size()) return s_length;
    if (s_chunk_end[index] < 0)
        s_chunk_end[index] = time_at_block(std::min<uint64_t>(uint64_t(index + 1) * kBlocksPerChunk, s_blocks));
    return static_cast<uint32_t>(s_chunk_end[index]);
}

/* The chunk of the block that holds `ms`: the first block that ends after
 * it, found in the run whose time holds it. */
uint32_t chunk_of(uint32_t ms)
{
    const uint32_t count = chunk_count();
    if (ms >= s_length || count == 0) return count;
    const auto at = std::upper_bound(s_runs.begin(), s_runs.end(), ms,
                                     [](uint32_t t, const edit::Run &run) { return t < run.start + run.ms; });
    if (at == s_runs.end()) return count;
    const size_t r = static_cast<size_t>(at - s_runs.begin());
    const edit::Run &run = s_runs[r];
    uint64_t block = s_first[r] + run.blocks - 1;
    std::vector<uint8_t> blocks(static_cast<size_t>(run.blocks) * kBlockBytes);
    if (read_run(r, 0, blocks.data(), static_cast<uint32_t>(blocks.size()))) {
        uint32_t t = run.start;
        for (uint32_t b = 0; b < run.blocks; ++b) {
            t += hdr::block_ms(blocks.data() + static_cast<size_t>(b) * kBlockBytes);
            if (t > ms) {
                block = s_first[r] + b;
                break;
            }
        }
    }
    return static_cast<uint32_t>(block / kBlocksPerChunk) + 1;
}

bool read(uint64_t offset, uint8_t *dest, uint32_t bytes, uint32_t *got)
{
    *got = 0;
    const uint64_t total = s_blocks * kBlockBytes;
    if (offset >= total) return true;
    size_t r = run_of(offset / kBlockBytes);
    while (*got < bytes && r < s_runs.size()) {
        const uint64_t run_start = s_first[r] * kBlockBytes;
        const uint64_t run_bytes = uint64_t(s_runs[r].blocks) * kBlockBytes;
        const uint64_t within = offset + *got - run_start;
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(bytes - *got, run_bytes - within));
        /* A file that fails now ends the audio where it would begin. */
        if (!read_run(r, within, dest + *got, n)) return *got != 0;
        *got += n;
        ++r;
    }
    return true;
}

const StreamSource s_source = {chunk_count, chunk_end, chunk_of, read};

} // namespace

uint32_t edited_source(const StreamSource **source, bool *renewed)
{
    *source = &s_source;
    *renewed = false;
    if (s_built && s_version == edit::tree_version()) return KVX_OK;
    *renewed = true;
    s_built = false;
    const uint32_t result = edit::runs(&s_runs);
    if (result != KVX_OK) {
        s_runs.clear();
        s_first.clear();
        s_chunk_end.clear();
        s_blocks = 0;
        s_length = 0;
        return result;
    }
    s_first.resize(s_runs.size());
    s_blocks = 0;
    s_length = 0;
    for (size_t r = 0; r < s_runs.size(); ++r) {
        s_first[r] = s_blocks;
        s_blocks += s_runs[r].blocks;
        s_length = s_runs[r].start + s_runs[r].ms;
    }
    s_chunk_end.assign(chunk_count(), -1);
    s_version = edit::tree_version();
    s_built = true;
    return KVX_OK;
}

} // namespace playback
} // namespace kvx
