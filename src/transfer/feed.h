/*
 * feed.h - what the transcription feed and the recorder download share.
 *
 * The feed reads one file: the one the last KVXRV880ActiveFile chose,
 * finished or still coming off a recorder.  While a download runs, its
 * thread appends to that file and reports here how much of it is on disk;
 * the feed polls these words and never reads beyond them.  Each word is
 * written by one side only (the abort request by the feed's side).
 */
#ifndef KVX_TRANSFER_FEED_H
#define KVX_TRANSFER_FEED_H

#include <stdint.h>

#include "core/state.h"

namespace kvx {
namespace transfer {

constexpr uint32_t kFeedBlocksPerChunk = 20;          /* the feed reads in chunks of 20 blocks */
constexpr uint32_t kFeedChunkBytes = kFeedBlocksPerChunk * kBlockBytes; /* 10240 */

struct Download {
    char path[kvx::kNameBytes];  /* the file the feed reads; empty for none */
    uint16_t headerBlocks;       /* 1 or 2 */
    uint32_t chunkCount;         /* of the recording, in feed chunks */
    volatile uint32_t available; /* whole feed chunks on disk */
    volatile bool failed;
    volatile bool complete;
    volatile bool abort;         /* asked of the download thread */
    bool alreadyComplete;        /* the file was finished when chosen: no download */
};

extern Download g_download;

/* Ends a download as the feed's end does: the thread is stopped, the file
 * gets its ".kvx" name or, unfinished, is deleted, and the recorder link is
 * released.  Nothing when no download was started. */
void end_download();

/* Stops a running download thread, waiting a bounded time, before the
 * library is unloaded. */
void stop_download_thread();

} // namespace transfer
} // namespace kvx

#endif /* KVX_TRANSFER_FEED_H */
