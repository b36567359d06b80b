// Unloading releases the decoding service's twelve buffers and the chunk
// time table it owns, and only that.
#include <gtest/gtest.h>

#include <cstdlib>

#include "core/state.h"

using namespace kvx;

TEST(LibraryState, UnloadReleasesWhatTheLibraryHolds)
{
    library_detach(); // with nothing held
    ASSERT_EQ(allocate_buffers(), 0u);
    g_file.chunkTimes = static_cast<uint32_t *>(std::malloc(16));
    g_file.chunkTimesOwned = true;
    library_detach();
    for (uint32_t i = 0; i < kWaveBuffers; ++i)
        EXPECT_TRUE(g_decoder.waveMemory[i] == nullptr && g_decoder.waveHeader[i] == nullptr) << i;
    EXPECT_TRUE(g_decoder.assemblyMemory == nullptr && g_decoder.ringMemory == nullptr && g_decoder.ring == nullptr);
    EXPECT_EQ(g_file.chunkTimes, nullptr);
    // A table in the management data is not the library's to free.
    static uint32_t borrowed[2] = {100, 200};
    g_file.chunkTimes = borrowed;
    g_file.chunkTimesOwned = false;
    library_detach();
    EXPECT_EQ(g_file.chunkTimes, nullptr);
}
