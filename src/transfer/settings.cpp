/*
 * The settings of the transcription feed and of the recorder link: the
 * exports that write and read the shared transfer block.
 */
#include <cstring>

#include "kvx.h"
#include "transfer/shared.h"

using kvx::transfer::SharedBlock;
using kvx::transfer::shared_block;

/* A name that does not fit is not cut short (the feed would open another
 * file than the one named): it clears the name. */
extern "C" void KVXAPI KVXSetTransFileName(const char *name)
{
    using kvx::transfer::kNameBytes;
    SharedBlock *block = shared_block();
    size_t length = name != nullptr ? strnlen(name, kNameBytes) : kNameBytes;
    if (length >= kNameBytes) length = 0;
    if (length > 0) std::memcpy(block->transFileName, name, length);
    block->transFileName[length] = '\0';
}

extern "C" void KVXAPI KVXGetTransFileName(char *buffer)
{
    if (buffer != nullptr) kvx::transfer::transfer_name(buffer);
}

/* Way 1 or 2 replaces the flags but keeps the live flag; way 4 adds the
 * live flag; way 3 clears the live flag and sets the way-3 flag. */
extern "C" void KVXAPI KVXSetTransWAY(int32_t way)
{
    using namespace kvx::transfer;
    const uint32_t w = static_cast<uint32_t>(way);
    SharedBlock *block = shared_block();
    uint32_t flags = block->transWay;
    if ((w & kWay1) != 0 && w != 3) flags = (flags & kWayLive) + kWay1;
    else if ((w & kWay2) != 0 && w != 3) flags = (flags & kWayLive) + kWay2;
    if ((w & kWayLive) != 0) flags |= kWayLive;
    if (w == 3) flags = (flags & (kWay1 | kWay2 | kWayDiscard)) | kWay3;
    block->transWay = flags;
}

extern "C" void KVXAPI KVXGetTransWAY(uint32_t *out)
{
    if (out != nullptr) *out = shared_block()->transWay;
}

extern "C" void KVXAPI KVXSetTransEnd(void)
{
    shared_block()->transEnd = 1;
}

extern "C" void KVXAPI RV880SetCOMMPort(uint8_t port, uint8_t rate)
{
    SharedBlock *block = shared_block();
    block->comPort = port;
    block->comRate = rate;
}

extern "C" void KVXAPI KVXSetCOMPort(int32_t kind, int32_t usb, uint8_t port, uint8_t rate)
{
    SharedBlock *block = shared_block();
    block->linkKind = static_cast<uint32_t>(kind);
    if (kind != 0) {
        block->comPort = port;
        block->comRate = rate;
    } else {
        block->usbPort = static_cast<uint32_t>(usb);
    }
}
