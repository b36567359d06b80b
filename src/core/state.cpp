/* The process-wide records and what loading and unloading do with them. */
#include "core/state.h"

#include <cstdlib>

namespace kvx {

HINSTANCE g_instance = nullptr;

DecoderService g_decoder;
ActiveFile g_file;
ReadPosition g_read;
Session g_session;
Folder g_folder;
WriteState g_write;

void library_attach(HINSTANCE instance)
{
    g_instance = instance;
    /* The progress dialog's language is chosen here once it exists. */
}

static void free_global(HGLOBAL &memory)
{
    if (memory != nullptr) GlobalFree(memory);
    memory = nullptr;
}

void library_detach()
{
    if (g_file.handle != nullptr && g_file.handle != INVALID_HANDLE_VALUE) CloseHandle(g_file.handle);
    g_file.handle = nullptr;
    /* The management file's handle is closed here once folders keep one. */

    if (g_file.chunkTimesOwned) std::free(g_file.chunkTimes);
    g_file.chunkTimes = nullptr;
    g_file.chunkTimesOwned = false;

    if (g_decoder.assembly != nullptr) GlobalUnlock(g_decoder.assemblyMemory);
    g_decoder.assembly = nullptr;
    if (g_decoder.ring != nullptr) GlobalUnlock(g_decoder.ringMemory);
    g_decoder.ring = nullptr;
    for (uint32_t i = 0; i < kWaveBuffers; ++i) {
        if (g_decoder.waveHeader[i] != nullptr) {
            g_decoder.waveHeader[i]->lpData = nullptr;
            GlobalUnlock(g_decoder.waveMemory[i]);
            g_decoder.waveHeader[i] = nullptr;
        }
        free_global(g_decoder.waveMemory[i]);
    }
    free_global(g_decoder.assemblyMemory);
    free_global(g_decoder.ringMemory);
}

} // namespace kvx
