/*
 * state.h - the library's process-wide state.
 *
 * The library keeps all of its working state in a few global records, one
 * per group: the decoding service, the active file, the read position, the
 * running session, the active folder and the write session.  The exported
 * functions share them; nothing here is locked, because every export runs on
 * the caller's window thread and each flag shared with a worker thread is
 * written by one side only.
 *
 * Everything starts zero when the library is loaded, except the values that
 * the records' initialisers below give (ring cursor 2, stopped flag set,
 * folder mode 1, and the chunk geometry of decoding sessions).
 */
#ifndef KVX_CORE_STATE_H
#define KVX_CORE_STATE_H

#include <stdint.h>

#include "platform/platform.h"

namespace kvx {

/* Geometry of the file and of the buffers. */
constexpr uint32_t kBlockBytes = 512;
constexpr uint32_t kBlocksPerChunk = 500;               /* a chunk is 500 blocks */
constexpr uint32_t kChunkBytes = kBlocksPerChunk * kBlockBytes; /* 256000 */
constexpr uint32_t kRingDataBytes = 2 * kChunkBytes;    /* two chunk halves */
constexpr uint32_t kRingSlackBytes = 2048;              /* takes the end marker after a short read */
constexpr uint32_t kRingBytes = kRingDataBytes + kRingSlackBytes; /* 514048 */
constexpr uint32_t kAssemblyBytes = 1024;               /* frame assembly buffer */
constexpr uint32_t kWaveBuffers = 10;
constexpr uint32_t kWaveBufferBytes = 3300;             /* largest output of five frames */
constexpr uint32_t kNameBytes = MAX_PATH;               /* names are at most 259 characters */
constexpr uint32_t kMaxChunks = 0xFFFF;                 /* the chunk count is 16 bits */

/* Decoding service: set up once by the decoder initialisation. */
struct DecoderService {
    bool initialised;
    HWND window;
    uint32_t *control;          /* the caller's decoder control word */
    uint32_t chunkBytes = kChunkBytes; /* 256000; the transcription feed uses 10240 */
    uint32_t blocksPerChunk = kBlocksPerChunk; /* 500; the feed uses 20 */
    uint32_t ringBytes = kRingDataBytes; /* 512000; the feed uses 20480 */
    /* The twelve global memory blocks, kept locked for the life of the
     * process: ten wave buffers, the frame assembly buffer, the read ring. */
    HGLOBAL waveMemory[kWaveBuffers];
    WAVEHDR *waveHeader[kWaveBuffers];
    HGLOBAL assemblyMemory;
    uint8_t *assembly;
    HGLOBAL ringMemory;
    uint8_t *ring;
};

/* The active file. */
struct ActiveFile {
    char name[kNameBytes];      /* empty when no file was chosen */
    DWORD access;               /* GENERIC_READ, or GENERIC_READ | GENERIC_WRITE */
    HANDLE handle;              /* open only while a reader works on the file */
    uint16_t headerBlocks;      /* 1 or 2 */
    uint32_t audioBytes;        /* file size minus header; 1 when that is 0 */
    uint16_t chunkCount;
    uint32_t *chunkTimes;       /* ms from the start of the audio to the end of each chunk */
    bool chunkTimesOwned;       /* false when the table lives in the management data */
    uint16_t codecFlags;        /* bit 0 SP blocks, bit 1 LP blocks */
    uint32_t number;            /* header number field */
    uint8_t timeKey[18];        /* length, end date, end time digits: key in the management file */
    uint8_t lock;               /* 0: locked against changes */
    bool extended;              /* the extended-header mark is 2 */
    int32_t lastResult;         /* of the most recent KVXActiveFile */
    int32_t lastResult2;        /* of the most recent KVXActiveFile2 */
    int32_t conversionRequest;  /* 0 none, 1 convert, -1 convert without recording it */
    uint32_t generation;        /* counts successful openings: tables kept for a file know it */
};

/* Where the sessions stand in the audio, and the read ring's contents. */
struct ReadPosition {
    uint32_t cursor = 2;        /* ring offset of the current block + 2 */
    uint8_t halfState;          /* 0 end read, 1 refill second half next, 2/3 refill first half next */
    bool ringValid;
    uint16_t ringStartChunk;
    uint16_t loadChunk;
    uint16_t sessionStartChunk;
    uint16_t cursorChunk;
    uint32_t refillPosition;    /* file position of the next sequential refill */
    int32_t remaining;          /* frames of the current block after the current one */
    uint32_t firstFrame;        /* ring offset of the current block's first frame */
    bool parity;                /* next SP frame at an even byte offset */
    int32_t skipCount;
    uint32_t blockCodec;        /* 0 SP, 1 LP */
    uint32_t previousCodec;
    bool codecChanged;
    bool ended;
    uint32_t assemblyFill;
    uint32_t blocksBegun;       /* counts the blocks whose frames the fetch began */
    uint32_t begunMs;           /* time of the block begun last */
    uint8_t *sessionFrame;      /* frame position of the decoding and playback sessions */
    uint8_t *pcmFrame;          /* frame position of decoding to PCM */
};

/* The running decoding or playback session. */
struct Session {
    HWAVEOUT waveOut;
    uint32_t deviceBufferBytes;
    uint32_t fileBufferBytes;
    WAVEHDR *lastBuffer;
    bool stopped = true;
    uint32_t startMs;
    bool speedUsed;
    float speedChangeMs;
    uint32_t framesReturned;
    uint32_t speedInUse;
};

/* The active folder. */
struct Folder {
    char path[kNameBytes];      /* empty while no folder is active */
    uint32_t mode = 1;          /* bit 0x1 dialog and management file, bit 0x2 no writes */
    char managementPath[kNameBytes]; /* the folder's KVXMANAGEMENT.DAT; empty for none */
    uint8_t *data;              /* the management file's content; null when empty */
    uint32_t dataBytes;
};

/* Recording and editing. */
struct WriteState {
    bool sessionOpen;           /* while open, reading and marking refuse with 523 */
};

extern DecoderService g_decoder;
extern ActiveFile g_file;
extern ReadPosition g_read;
extern Session g_session;
extern Folder g_folder;
extern WriteState g_write;

/* Allocates and locks, once, the twelve global memory blocks of the
 * decoding service: ten wave buffers (each a wave header followed by its
 * 3300 bytes of data), the frame assembly buffer and the read ring.  0, or
 * 1 when a block cannot be had (the blocks already made stay). */
uint32_t allocate_buffers();

/* Process attach and detach. */
void library_attach(HINSTANCE instance);
void library_detach();

extern HINSTANCE g_instance;

} // namespace kvx

#endif /* KVX_CORE_STATE_H */
