// Loading and unloading: the process-wide state's starting values and what
// unloading releases.
#include <gtest/gtest.h>

#include <cstdlib>

#include "core/state.h"

using namespace kvx;

TEST(LibraryState, StartingValues)
{
    // The ring cursor stands on the first block, no session runs, the
    // folder mode builds databases under the dialog, chunks are 500 blocks.
    EXPECT_EQ(g_read.cursor, 2u);
    EXPECT_TRUE(g_session.stopped);
    EXPECT_EQ(g_folder.mode, 1u);
    EXPECT_EQ(g_decoder.chunkBytes, 256000u);
    EXPECT_EQ(g_decoder.blocksPerChunk, 500u);
    EXPECT_FALSE(g_decoder.initialised);
}

TEST(LibraryState, UnloadWithNothingHeldSucceeds)
{
    library_detach();
    library_detach();
    EXPECT_EQ(g_decoder.ring, nullptr);
    EXPECT_EQ(g_file.chunkTimes, nullptr);
}

TEST(LibraryState, UnloadReleasesTheTwelveBuffersAndTheTable)
{
    // The buffers as the decoder set-up holds them: movable, shared, locked.
    auto take = [](HGLOBAL &memory, uint32_t bytes) {
        memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_SHARE, bytes);
        return static_cast<uint8_t *>(GlobalLock(memory));
    };
    for (uint32_t i = 0; i < kWaveBuffers; ++i) {
        uint8_t *block = take(g_decoder.waveMemory[i], sizeof(WAVEHDR) + kWaveBufferBytes);
        ASSERT_NE(block, nullptr);
        g_decoder.waveHeader[i] = reinterpret_cast<WAVEHDR *>(block);
        g_decoder.waveHeader[i]->lpData = reinterpret_cast<char *>(block + sizeof(WAVEHDR));
    }
    g_decoder.assembly = take(g_decoder.assemblyMemory, kAssemblyBytes);
    g_decoder.ring = take(g_decoder.ringMemory, kRingBytes);
    g_file.chunkTimes = static_cast<uint32_t *>(std::malloc(16));
    g_file.chunkTimesOwned = true;

    library_detach();
    for (uint32_t i = 0; i < kWaveBuffers; ++i) {
        EXPECT_EQ(g_decoder.waveMemory[i], nullptr);
        EXPECT_EQ(g_decoder.waveHeader[i], nullptr);
    }
    EXPECT_EQ(g_decoder.assemblyMemory, nullptr);
    EXPECT_EQ(g_decoder.assembly, nullptr);
    EXPECT_EQ(g_decoder.ringMemory, nullptr);
    EXPECT_EQ(g_decoder.ring, nullptr);
    EXPECT_EQ(g_file.chunkTimes, nullptr);
}

TEST(LibraryState, ATableInTheManagementDataIsNotFreed)
{
    static uint32_t borrowed[2] = {100, 200};
    g_file.chunkTimes = borrowed;
    g_file.chunkTimesOwned = false;
    library_detach(); // must not free memory it does not own
    EXPECT_EQ(g_file.chunkTimes, nullptr);
}
