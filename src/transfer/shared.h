/*
 * shared.h - the transfer block that every process with the library loaded
 * sees: the name of the file to feed, the feed's way flags, the end request
 * and the recorder-link settings.
 *
 * On Windows the block is the one object of the DLL's shared data section
 * ".RECOGSE".  Elsewhere it is a POSIX shared memory object of the user's,
 * one for each library file, as Windows shares a section among the
 * processes that map the same DLL file.  Either way it is zero when the
 * first process attaches and keeps its values while any process has the
 * library loaded.  Nothing locks it: each field is a plain word read and
 * written by every process.
 */
#ifndef KVX_TRANSFER_SHARED_H
#define KVX_TRANSFER_SHARED_H

#include <stddef.h>
#include <stdint.h>

namespace kvx {
namespace transfer {

constexpr uint32_t kNameBytes = 255; /* 254 characters and the terminator */

struct SharedBlock {            /* fields in this order, natural alignment */
    volatile uint32_t transEnd; /* 1: the feed's client asked it to end */
    volatile uint32_t transWay; /* way flags below */
    char transFileName[kNameBytes];
    uint8_t comPort;            /* serial link: port and rate code */
    uint8_t comRate;
    uint32_t linkKind;          /* 0 USB, otherwise serial */
    uint32_t usbPort;           /* USB link: device number */
};
static_assert(offsetof(SharedBlock, transWay) == 4, "transWay");
static_assert(offsetof(SharedBlock, transFileName) == 8, "transFileName");
static_assert(offsetof(SharedBlock, comPort) == 263, "comPort");
static_assert(offsetof(SharedBlock, comRate) == 264, "comRate");
static_assert(offsetof(SharedBlock, linkKind) == 268, "linkKind");
static_assert(offsetof(SharedBlock, usbPort) == 272, "usbPort");
static_assert(sizeof(SharedBlock) == 276, "the block is 276 bytes");

/* Way flags. */
constexpr uint32_t kWay1 = 1;       /* for the client only */
constexpr uint32_t kWay2 = 2;       /* feed the stretch between the first two extended marks */
constexpr uint32_t kWayLive = 4;    /* the file is being downloaded while it is fed */
constexpr uint32_t kWayDiscard = 8; /* the download's local copy failed: delete it at the end */
constexpr uint32_t kWay3 = 16;      /* for the client only */

/* Never null: a process-local block when the shared one cannot be had. */
SharedBlock *shared_block();

/* Load and unload of the library (library_attach, library_detach). */
void shared_attach();
void shared_detach();

/* Copies the transfer name (at most 254 characters and the terminator) into
 * `out`, which holds 255 bytes, even while another process changes it. */
void transfer_name(char out[kNameBytes]);

} // namespace transfer
} // namespace kvx

#endif /* KVX_TRANSFER_SHARED_H */
