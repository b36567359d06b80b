/*
 * Global memory.  A movable block is reached through its handle and locked
 * to get its address; a fixed block's handle is its address.  Both carry a
 * small header in front of the data so that either form can be freed.
 */
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "objects.h"

namespace {

constexpr uint32_t kGlobalMagic = 0x424F4C47u; /* "GLOB" */

struct GlobalBlock {
    uint32_t magic;
    UINT flags;
    SIZE_T bytes;
    long locks;
    alignas(16) unsigned char data[1];
};

constexpr size_t kDataOffset = offsetof(GlobalBlock, data);

GlobalBlock *block_of(HGLOBAL memory)
{
    if (memory == nullptr) return nullptr;
    auto *block = static_cast<GlobalBlock *>(memory);
    if (block->magic == kGlobalMagic && (block->flags & GMEM_MOVEABLE)) return block;
    /* A fixed block: the handle is the data address. */
    block = reinterpret_cast<GlobalBlock *>(static_cast<unsigned char *>(memory) - kDataOffset);
    if (block->magic == kGlobalMagic && !(block->flags & GMEM_MOVEABLE)) return block;
    return nullptr;
}

} // namespace

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes)
{
    if (bytes > SIZE_MAX - kDataOffset - 16) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto *block = static_cast<GlobalBlock *>(std::malloc(kDataOffset + (bytes ? bytes : 1)));
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    block->magic = kGlobalMagic;
    block->flags = flags;
    block->bytes = bytes;
    block->locks = 0;
    if (flags & GMEM_ZEROINIT) std::memset(block->data, 0, bytes);
    if (flags & GMEM_MOVEABLE) return block;
    return block->data;
}

LPVOID WINAPI GlobalLock(HGLOBAL memory)
{
    GlobalBlock *block = block_of(memory);
    if (block == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (block->flags & GMEM_MOVEABLE) ++block->locks;
    return block->data;
}

BOOL WINAPI GlobalUnlock(HGLOBAL memory)
{
    GlobalBlock *block = block_of(memory);
    if (block == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(block->flags & GMEM_MOVEABLE) || block->locks == 0) {
        SetLastError(ERROR_NOT_LOCKED);
        return FALSE;
    }
    --block->locks;
    SetLastError(ERROR_SUCCESS);
    return block->locks != 0;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL memory)
{
    if (memory == nullptr) return nullptr;
    GlobalBlock *block = block_of(memory);
    if (block == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return memory;
    }
    block->magic = 0;
    std::free(block);
    return nullptr;
}
