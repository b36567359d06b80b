/* The process-wide records and what loading and unloading do with them. */
#include "core/state.h"

#include <cstdlib>

#include "database/progress.h"
#include "transfer/feed.h"
#include "transfer/shared.h"

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
    choose_progress_language();
    transfer::shared_attach();
}

/* A movable, shareable block, locked for good. */
static uint8_t *take_global(HGLOBAL &memory, uint32_t bytes)
{
    if (memory == nullptr) memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_SHARE | GMEM_ZEROINIT, bytes);
    if (memory == nullptr) return nullptr;
    return static_cast<uint8_t *>(GlobalLock(memory));
}

uint32_t allocate_buffers()
{
    for (uint32_t i = 0; i < kWaveBuffers; ++i) {
        if (g_decoder.waveHeader[i] != nullptr) continue;
        uint8_t *block = take_global(g_decoder.waveMemory[i], sizeof(WAVEHDR) + kWaveBufferBytes);
        if (block == nullptr) return 1;
        auto *header = reinterpret_cast<WAVEHDR *>(block);
        header->lpData = reinterpret_cast<char *>(block + sizeof(WAVEHDR));
        header->dwBufferLength = kWaveBufferBytes;
        g_decoder.waveHeader[i] = header;
    }
    if (g_decoder.assembly == nullptr) g_decoder.assembly = take_global(g_decoder.assemblyMemory, kAssemblyBytes);
    if (g_decoder.ring == nullptr) g_decoder.ring = take_global(g_decoder.ringMemory, kRingBytes);
    return g_decoder.assembly != nullptr && g_decoder.ring != nullptr ? 0 : 1;
}

static void free_global(HGLOBAL &memory)
{
    if (memory != nullptr) GlobalFree(memory);
    memory = nullptr;
}

void library_detach()
{
    /* A download thread still running writes through buffers and a link
     * library that go below: it is stopped first. */
    transfer::stop_download_thread();
    transfer::shared_detach();
    if (g_file.handle != nullptr && g_file.handle != INVALID_HANDLE_VALUE) CloseHandle(g_file.handle);
    g_file.handle = nullptr;
    std::free(g_folder.data);
    g_folder.data = nullptr;
    g_folder.dataBytes = 0;

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
