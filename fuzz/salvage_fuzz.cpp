// Fuzz target: arbitrary bytes through the kvx tool's scan of damaged and
// cut-short files.  The input is the whole file, held in a buffer of
// exactly its size, so that any read past its end stops the run.  The scan
// must agree with itself: a sound file needs no repaired copy; a repaired
// copy is the header and whole 512-byte blocks, and its own scan finds no
// damage, needs no repair and recovers the same audio at the same block
// starts; gaps and damaged stretches are in order, as long as each other,
// and place the damage inside the recovered audio; a damaged block whose
// length the header gave makes the timeline the header's length.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "salvage.h"

namespace {

[[noreturn]] void fail(const char *what, size_t a = 0, size_t b = 0)
{
    std::fprintf(stderr, "salvage_fuzz: %s (%zu, %zu)\n", what, a, b);
    std::abort();
}

const char kLost[] = "a frame runs into a damaged block";

/* What must hold of any scan; returns the silence it puts in. */
uint64_t check(const FileScan &s, size_t size)
{
    uint64_t silence = 0, block_damage_known = 0;
    bool all_known = true;
    for (size_t i = 0; i < s.gaps.size(); ++i) {
        if (i > 0 && s.gaps[i].atMs < s.gaps[i - 1].atMs) fail("gaps out of order", i);
        if (s.gaps[i].atMs > s.recoveredMs) fail("a gap behind the recovered audio", s.gaps[i].atMs, s.recoveredMs);
        silence += s.gaps[i].ms;
    }
    if (s.gaps.size() != s.damage.size()) fail("a gap for each damaged stretch", s.gaps.size(), s.damage.size());
    for (size_t i = 0; i < s.damage.size(); ++i) {
        const Damage &d = s.damage[i];
        if (d.ms != s.gaps[i].ms) fail("a gap as long as its damage", d.ms, s.gaps[i].ms);
        if (d.firstBlock == 0 || d.lastBlock < d.firstBlock || d.lastBlock > size / 512) fail("damage blocks", i);
        if (i > 0 && (d.startMs < s.damage[i - 1].startMs + s.damage[i - 1].ms || d.firstBlock <= s.damage[i - 1].lastBlock))
            fail("damage out of order", i);
        all_known = all_known && d.lengthKnown;
        if (d.what != kLost) ++block_damage_known;
    }
    for (size_t i = 0; i < s.blockStarts.size(); ++i)
        if (s.blockStarts[i] >= s.recoveredMs || (i > 0 && s.blockStarts[i] <= s.blockStarts[i - 1]))
            fail("block starts", i, s.blockStarts[i]);
    const uint64_t timeline = s.recoveredMs + silence;
    if (s.truncated && s.truncatedAtMs != timeline) fail("cut elsewhere than the timeline's end", s.truncatedAtMs, timeline);
    if (!s.truncated && all_known && block_damage_known > 0 && timeline != s.headerMs)
        fail("damaged blocks as long as the header leaves", timeline, s.headerMs);
    switch (s.verdict) {
    case FileScan::Sound:
        if (!s.damage.empty() || s.truncated || !s.repaired.empty()) fail("a sound file with damage");
        break;
    case FileScan::Damaged:
        if (s.damage.empty() && !s.truncated) fail("damaged without damage");
        if (s.recoveredMs == 0) fail("damaged without audio");
        break;
    case FileScan::NotKvx:
        if (!s.repaired.empty() || !s.damage.empty() || s.problem.empty()) fail("not a KVX file, yet scanned");
        break;
    case FileScan::NoAudio:
        if (s.recoveredMs != 0 || s.problem.empty()) fail("no audio, yet audio", s.recoveredMs);
        break;
    }
    if (s.repaired.size() % 512 != 0) fail("a repaired copy of part of a block", s.repaired.size());
    return silence;
}

/* KVX_SALVAGE_FUZZ_TRACE=1 tells what a reproducer's scans found. */
void trace(const char *which, const FileScan &s)
{
    if (std::getenv("KVX_SALVAGE_FUZZ_TRACE") == nullptr) return;
    std::fprintf(stderr, "%s: verdict %d (%s), header %u ms, recovered %u ms, cut %d at %u, repaired %zu bytes\n", which,
                 s.verdict, s.problem.c_str(), s.headerMs, s.recoveredMs, s.truncated, s.truncatedAtMs, s.repaired.size());
    for (const Damage &d : s.damage)
        std::fprintf(stderr, "  damage %u+%u ms, blocks %u-%u, %s\n", d.startMs, d.ms, d.firstBlock, d.lastBlock, d.what.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<uint8_t> bytes(data, data + size);
    const FileScan scan = scan_bytes(bytes);
    trace("scan", scan);
    check(scan, size);
    if (scan.repaired.empty()) return 0;
    if (scan.repaired.size() < 512u * bytes[0]) fail("a repaired copy without its header", scan.repaired.size());

    const FileScan again = scan_bytes(scan.repaired);
    trace("repaired copy", again);
    check(again, scan.repaired.size());
    if (!again.damage.empty() || !again.repaired.empty()) fail("the repaired copy needs repair", again.damage.size());
    if (again.recoveredMs != scan.recoveredMs) fail("the repaired copy recovers other audio", again.recoveredMs, scan.recoveredMs);
    if (again.blockStarts != scan.blockStarts) fail("the repaired copy's blocks start elsewhere");
    return 0;
}
