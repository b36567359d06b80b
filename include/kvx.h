/*
 * kvx.h - the public interface of the kvx library.
 *
 * kvx opens, decodes, plays, records and edits KVX dictation files.  A KVX
 * file is a header of one or two 512-byte blocks followed by 512-byte audio
 * blocks of coded speech (SP frames of 24 ms, LP frames of 30 ms).
 *
 * All state is process-wide: one active file, one decoding or playback run
 * and one write session at a time.  Call the functions from the thread that
 * owns the window given to KVXInitDecoder.  Every function that reports an
 * outcome returns a result code, 0 for success (KVX_OK and the constants
 * below); KVXDecoding, KVXPlaying, KVXDecodeToPCM and KVXTransGetPCM return
 * 1 while there is more to do and 0 at the end.
 *
 * Positions and lengths are unsigned 32-bit milliseconds from the start of
 * the audio.  The header compiles as C and as C++.
 */
#ifndef KVX_H
#define KVX_H

#include <stdint.h>

#include "kvx_win32.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define KVXAPI __cdecl
#else
#define KVXAPI
#endif

#if defined(_WIN32) || !defined(__GNUC__)
#define KVX_EXPORT
#else
#define KVX_EXPORT __attribute__((visibility("default")))
#endif

/* ------------------------------------------------------------------------
 * Result codes.  The same number means the same condition in every function
 * that reports it; 1, 3 and 524 have a second meaning in the functions that
 * the comments name.
 * ---------------------------------------------------------------------- */
enum {
    KVX_OK = 0,
    KVX_ERR_OPEN = 1,              /* file cannot be opened; KVXInitDecoder: a wave buffer cannot be locked */
    KVX_ERR_NO_DEVICE = 2,         /* no wave-output device */
    KVX_ERR_MEMORY = 3,            /* out of memory; session start: the device cannot be opened */
    KVX_ERR_SIZE = 5,              /* the file's size cannot be read */
    KVX_ERR_NO_FOLDER = 6,         /* no active folder, but the name is to be found in it */
    KVX_ERR_NOT_KVX = 7,           /* not a KVX file */
    KVX_ERR_READ_ONLY = 8,         /* the file may not be written */
    KVX_ERR_LINK_LIBRARY = 10,     /* the recorder's device link library cannot be loaded */
    KVX_ERR_FOLDER = 11,           /* no such folder; the transfer or recorder link failed */
    KVX_ERR_NOT_INITIALISED = 12,  /* KVXInitDecoder was not called */
    KVX_ERR_PCM_WRITE = 13,        /* writing PCM to the caller's multimedia file failed */
    KVX_ERR_FEED_LP = 14,          /* the feed met LP audio, which it cannot hand out as 264-sample frames */
    KVX_ERR_LOCKED = 80,           /* the file is locked (lock byte 0); a short mark past block 65535 */
    KVX_ERR_ONE_BLOCK_HEADER = 257,/* second-block fields asked of a one-block header */
    KVX_ERR_NO_ACTIVE_FILE = 258,  /* no active file */
    KVX_ERR_OPEN_FOR_WRITE = 259,  /* the file cannot be opened for writing */
    KVX_ERR_NOT_EXTENDED = 260,    /* the header has no extended second block */
    KVX_ERR_HANDLE = 512,          /* not the write handle issued */
    KVX_ERR_REOPEN = 513,          /* the active file cannot be opened again to read audio */
    KVX_ERR_NO_WRITE_POINTER = 514,/* no write position set */
    KVX_ERR_EDIT_MEMORY = 516,     /* out of memory in a write, edit or live playback */
    KVX_ERR_EDIT_OPEN = 517,       /* a source, working or replacement file cannot be opened */
    KVX_ERR_ERASE_RANGE = 518,     /* erase range empty or reversed */
    KVX_ERR_DISK_FULL = 519,       /* not enough disk space */
    KVX_ERR_WRITE = 520,           /* a write to a file failed */
    KVX_ERR_READ = 521,            /* a read from a source file failed */
    KVX_ERR_CREATE = 522,          /* a working, replacement or output file cannot be created */
    KVX_ERR_BUSY = 523,            /* a write or edit session is open */
    KVX_ERR_RESERVE = 524,         /* the space reservation file cannot be made; live playback refused */
    KVX_ERR_MARKS_FULL = 525,      /* 16 extended marks, or one within 1000 ms */
    KVX_ERR_NO_SUCH_MARK = 526,    /* no extended mark at that position */
    KVX_ERR_LENGTH_LIMIT = 527,    /* the length passed 359,999,000 ms; the segment was ended */
    KVX_ERR_SPLIT_SOURCE = -10000, /* the source file cannot be opened to split a block */
    KVX_ERR_COPY_SOURCE = -10001   /* the source file cannot be opened to copy a segment */
};

/* ------------------------------------------------------------------------
 * Decoder control word: a 32-bit word owned by the caller, whose address is
 * given to KVXInitDecoder or KVXTransInitDecoder.
 * ---------------------------------------------------------------------- */
#define KVX_CW_RESET 0x00000001u         /* decoder starts afresh on its next frame */
#define KVX_CW_SPEECH_FLAG 0x00000002u   /* bit 0 of the current block's codec byte */
#define KVX_CW_REPOSITION 0x00000004u    /* position the read ring again at the next start */
#define KVX_CW_CUT_FRAME 0x00000008u     /* a frame was cut at the end of the read ring */
#define KVX_CW_HELD_FRAME 0x00000010u    /* emit the speed stage's held frame */
#define KVX_CW_FILE_OUTPUT 0x00000020u   /* buffers go to the caller's multimedia file */
#define KVX_CW_264_OR_11K 0x00000040u    /* SP: 264 samples even with 0x40000; LP: 11 kHz in file output */
#define KVX_CW_RESUME 0x00000080u        /* resume at the saved resume point */
#define KVX_CW_SPEED_MASK 0x0000FF00u    /* playback speed */
#define KVX_CW_SPEED_SLOWER 0x00008000u  /* speed bit 15: slower */
#define KVX_CW_SPEED_STEP_MASK 0x00003800u /* speed bits 11-13: step 1..4 */
#define KVX_CW_SPEED_STEP_SHIFT 11
#define KVX_CW_RESUME_AFTER_CHANGE 0x00010000u /* keep a resume point after a codec change */
#define KVX_CW_POSTFILTER 0x00020000u    /* SP postfilter on */
#define KVX_CW_SP_288 0x00040000u        /* SP: 288 samples, no rate conversion or speed */
#define KVX_CW_NO_DEVICE 0x00080000u     /* no wave device (decode to PCM); LP: plain output */

/* ------------------------------------------------------------------------
 * Window messages sent or posted to the caller's window.
 * ---------------------------------------------------------------------- */
#define KVX_MSG_BUFFER_REQUEST 960u      /* lParam: the WAVEHDR to fill */
#define KVX_MSG_BUFFER_DONE 957u         /* MM_WOM_DONE: a buffer was played or written */
#define KVX_MSG_NEXT_BLOCK 4096u         /* live playback asks for the next recorded block */
#define KVX_MSG_COMMAND 273u             /* WM_COMMAND: progress to the progress dialog */
#define KVX_PROGRESS_ID 202u             /* its wParam; lParam = (total << 16) | done */
#define KVX_MSG_WORKER_DONE 1524u        /* WM_USER + 500: a worker has finished */

/* Codec flags reported by KVXActiveFile and KVXActiveFile2. */
#define KVX_CODEC_SP 0x0001u
#define KVX_CODEC_LP 0x0002u

/* ------------------------------------------------------------------------
 * Records.  Both are packed; their sizes and offsets are fixed.
 * ---------------------------------------------------------------------- */
#pragma pack(push, 1)

/* Short header record (26 bytes), filled by KVXGetHeaderInfo. */
typedef struct HeaderInfo {
    uint32_t number;        /*  0: number field */
    uint16_t endTrans;      /*  4: end-trans word */
    char lengthDigits[6];   /*  6: length as HHMMSS */
    char endDate[6];        /* 12: recording end date YYMMDD */
    char endTime[6];        /* 18: recording end time HHMMSS */
    uint8_t lock;           /* 24: 0 = locked against changes */
    uint8_t priority;       /* 25: priority byte */
} HeaderInfo;

/* Full header record (288 bytes), filled by KVXGetHeaderInfoEx and read by
 * KVXSetHeaderInfo.  The comments give the mask bit that sets each field. */
typedef struct HeaderInfoEx {
    uint8_t codingMode;     /*   0: 0 SP, 2 LP */
    char text1[16];         /*   1: 0x0001 */
    uint8_t unused17[3];    /*  17: not filled */
    uint32_t number;        /*  20: 0x0002 */
    uint16_t word32;        /*  24: header word at offset 32 */
    uint16_t endTrans;      /*  26: 0x0008 */
    int16_t signedWord;     /*  28: 0x0010 */
    char lengthDigits[6];   /*  30 */
    char endDate[6];        /*  36 */
    char endTime[6];        /*  42 */
    char startDate[6];      /*  48 */
    char startTime[6];      /*  54 */
    uint8_t lock;           /*  60: 0x0080 */
    uint8_t priority;       /*  61: 0x0040 */
    char text2[16];         /*  62: 0x0020 */
    char text3[16];         /*  78: 0x0100 */
    uint32_t itemA1;        /*  94: 0x0200 */
    uint32_t itemA2;        /*  98 */
    char itemAText[20];     /* 102 */
    uint32_t itemB1;        /* 122: 0x0400 */
    uint32_t itemB2;        /* 126 */
    char itemBText[20];     /* 130 */
    uint32_t itemC1;        /* 150: 0x0800 */
    uint32_t itemC2;        /* 154 */
    char itemCText[20];     /* 158 */
    uint8_t flag1;          /* 178: 0x1000 */
    uint8_t flag2;          /* 179: 0x2000 */
    uint32_t number2;       /* 180: 0x4000 */
    uint32_t lengthMs;      /* 184 */
    char text4[100];        /* 188: 0x8000 */
} HeaderInfoEx;

/* Filled by every KVXWriteFile call (12 bytes). */
typedef struct WriteStatus {
    uint32_t position;      /* current write position, ms */
    uint32_t length;        /* length after this segment, ms */
    float level;            /* level of the frame in dB; 0 with the meter off */
} WriteStatus;

/* Filled by KVXPartialErase (8 bytes). */
typedef struct EraseResult {
    uint32_t position;      /* where the erased stretch began, ms */
    uint32_t length;        /* length after the erase, ms */
} EraseResult;

#pragma pack(pop)

/* Header field mask bits of KVXSetHeaderInfo. */
#define KVX_FIELD_TEXT1 0x0001u
#define KVX_FIELD_NUMBER 0x0002u
#define KVX_FIELD_END_TRANS 0x0008u
#define KVX_FIELD_SIGNED_WORD 0x0010u
#define KVX_FIELD_TEXT2 0x0020u
#define KVX_FIELD_PRIORITY 0x0040u
#define KVX_FIELD_LOCK 0x0080u
#define KVX_FIELD_TEXT3 0x0100u
#define KVX_FIELD_ITEM_A 0x0200u
#define KVX_FIELD_ITEM_B 0x0400u
#define KVX_FIELD_ITEM_C 0x0800u
#define KVX_FIELD_FLAG1 0x1000u
#define KVX_FIELD_FLAG2 0x2000u
#define KVX_FIELD_NUMBER2 0x4000u
#define KVX_FIELD_TEXT4 0x8000u

/* The write session's handle: opaque to the caller. */
typedef struct WriteHandle WriteHandle;

/* ------------------------------------------------------------------------
 * Exported functions.
 * ---------------------------------------------------------------------- */

/* Decoding service and sessions */
KVX_EXPORT uint32_t KVXAPI KVXInitDecoder(HWND window, uint32_t *controlWord);
KVX_EXPORT uint32_t KVXAPI KVXStartDecoding(uint32_t positionMs);
KVX_EXPORT uint32_t KVXAPI KVXDecoding(WAVEHDR *buffer, HMMIO file);
KVX_EXPORT uint32_t KVXAPI KVXDecBufReturn(WAVEHDR *buffer);
KVX_EXPORT uint32_t KVXAPI KVXEndDecoding(uint32_t *stopPositionMs);
KVX_EXPORT uint32_t KVXAPI KVXDecodeToPCM(int16_t **pcm, uint32_t *codec);

/* Opening */
KVX_EXPORT uint32_t KVXAPI KVXActiveFile(const char *name, uint32_t *lengthMs, uint16_t *codecFlags);
KVX_EXPORT uint32_t KVXAPI KVXActiveFile2(const char *name, uint32_t *lengthMs, uint16_t *codecFlags);

/* Playback */
KVX_EXPORT uint32_t KVXAPI KVXStartPlayback(uint32_t positionMs, uint32_t mode);
KVX_EXPORT uint32_t KVXAPI KVXPlaying(WAVEHDR *buffer);
KVX_EXPORT uint32_t KVXAPI KVXPlayBufferReturn(WAVEHDR *buffer);
KVX_EXPORT uint32_t KVXAPI KVXStopPlayback(uint32_t *stopPositionMs);

/* Header information */
KVX_EXPORT uint32_t KVXAPI KVXGetHeaderInfo(const char *name, HeaderInfo *info);
KVX_EXPORT uint32_t KVXAPI KVXGetHeaderInfoEx(const char *source, HeaderInfoEx *info);
KVX_EXPORT uint32_t KVXAPI KVXSetHeaderInfo(const HeaderInfoEx *info, uint32_t mask);

/* Index marks, priority, end-trans word */
KVX_EXPORT uint32_t KVXAPI KVXGetIndexMark(uint32_t positions[16], uint32_t *count);
KVX_EXPORT uint32_t KVXAPI KVXGetExtIndexMark(uint32_t *positions, uint32_t *count);
KVX_EXPORT uint32_t KVXAPI KVXWriteIndexMark(uint32_t positionMs);
KVX_EXPORT uint32_t KVXAPI KVXWriteExtIndexMark(int32_t positionMs);
KVX_EXPORT uint32_t KVXAPI KVXDeleteIndexMark(uint32_t positionMs);
KVX_EXPORT uint32_t KVXAPI KVXDeleteExtIndexMark(uint32_t positionMs);
KVX_EXPORT uint32_t KVXAPI KVXWritePriority(uint8_t priority);
KVX_EXPORT uint32_t KVXAPI KVXWriteEndTrans(uint16_t value);

/* Recording and editing */
KVX_EXPORT WriteHandle *KVXAPI KVXCreateFile(const char *path, uint32_t kind, uint32_t *result);
KVX_EXPORT uint32_t KVXAPI KVXSetWritePointer(WriteHandle *handle, uint32_t positionMs, uint8_t *mode,
                                              uint8_t insert, uint8_t meter);
KVX_EXPORT uint32_t KVXAPI KVXWriteFile(WriteHandle *handle, const uint8_t *frame, uint32_t last,
                                        WriteStatus *status);
KVX_EXPORT uint32_t KVXAPI KVXPartialErase(WriteHandle *handle, uint32_t startMs, uint32_t endMs,
                                           EraseResult *out);
KVX_EXPORT uint32_t KVXAPI KVXCloseFile(WriteHandle *handle, const char *name);
KVX_EXPORT uint32_t KVXAPI KVXCloseFileEx(WriteHandle *handle, const char *name, uint32_t flags);

/* Folders */
KVX_EXPORT uint32_t KVXAPI KVXActiveFolder(const char *path, uint32_t folderMode);
KVX_EXPORT int KVXAPI KVXDeleteFiles(const char *list);

/* Transcription feed.  The settings (file name, way flags, end request) are
 * shared by every process that has the library loaded.  A name of 255
 * characters or more, or a null name, is not stored cut short: the stored
 * name becomes empty, so that a feed never opens another file than the one
 * named.  KVXGetTransFileName's buffer holds 255 bytes (null: nothing is
 * copied). */
KVX_EXPORT void KVXAPI KVXSetTransFileName(const char *name);
KVX_EXPORT void KVXAPI KVXGetTransFileName(char *buffer);
KVX_EXPORT void KVXAPI KVXSetTransWAY(int32_t way);
KVX_EXPORT void KVXAPI KVXGetTransWAY(uint32_t *out);
KVX_EXPORT void KVXAPI KVXSetTransEnd(void);
KVX_EXPORT uint32_t KVXAPI KVXTransInitDecoder(uint32_t *controlWord);
KVX_EXPORT uint32_t KVXAPI KVXTransStartDecoding(void);
KVX_EXPORT uint32_t KVXAPI KVXTransGetPCM(int16_t *out);
KVX_EXPORT uint32_t KVXAPI KVXTransDestroy(void);

/* Recorder download */
KVX_EXPORT uint32_t KVXAPI KVXRV880ActiveFile(uint32_t a, uint32_t b);
KVX_EXPORT void KVXAPI RV880SetCOMMPort(uint8_t port, uint8_t rate);
KVX_EXPORT void KVXAPI KVXSetCOMPort(int32_t kind, int32_t usb, uint8_t port, uint8_t rate);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* Record layouts are part of the interface: check them at compile time. */
#if defined(__cplusplus)
#include <cstddef>
#define KVX_STATIC_ASSERT(c, m) static_assert(c, m)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#include <stddef.h>
#define KVX_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
#ifdef KVX_STATIC_ASSERT
KVX_STATIC_ASSERT(sizeof(HeaderInfo) == 26, "HeaderInfo is 26 bytes");
KVX_STATIC_ASSERT(offsetof(HeaderInfo, endTrans) == 4, "HeaderInfo.endTrans");
KVX_STATIC_ASSERT(offsetof(HeaderInfo, lengthDigits) == 6, "HeaderInfo.lengthDigits");
KVX_STATIC_ASSERT(offsetof(HeaderInfo, endDate) == 12, "HeaderInfo.endDate");
KVX_STATIC_ASSERT(offsetof(HeaderInfo, endTime) == 18, "HeaderInfo.endTime");
KVX_STATIC_ASSERT(offsetof(HeaderInfo, lock) == 24, "HeaderInfo.lock");
KVX_STATIC_ASSERT(offsetof(HeaderInfo, priority) == 25, "HeaderInfo.priority");
KVX_STATIC_ASSERT(sizeof(HeaderInfoEx) == 288, "HeaderInfoEx is 288 bytes");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, text1) == 1, "HeaderInfoEx.text1");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, number) == 20, "HeaderInfoEx.number");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, word32) == 24, "HeaderInfoEx.word32");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, endTrans) == 26, "HeaderInfoEx.endTrans");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, signedWord) == 28, "HeaderInfoEx.signedWord");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, lengthDigits) == 30, "HeaderInfoEx.lengthDigits");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, endDate) == 36, "HeaderInfoEx.endDate");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, endTime) == 42, "HeaderInfoEx.endTime");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, startDate) == 48, "HeaderInfoEx.startDate");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, startTime) == 54, "HeaderInfoEx.startTime");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, lock) == 60, "HeaderInfoEx.lock");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, priority) == 61, "HeaderInfoEx.priority");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, text2) == 62, "HeaderInfoEx.text2");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, text3) == 78, "HeaderInfoEx.text3");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, itemA1) == 94, "HeaderInfoEx.itemA1");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, itemB1) == 122, "HeaderInfoEx.itemB1");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, itemC1) == 150, "HeaderInfoEx.itemC1");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, flag1) == 178, "HeaderInfoEx.flag1");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, flag2) == 179, "HeaderInfoEx.flag2");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, number2) == 180, "HeaderInfoEx.number2");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, lengthMs) == 184, "HeaderInfoEx.lengthMs");
KVX_STATIC_ASSERT(offsetof(HeaderInfoEx, text4) == 188, "HeaderInfoEx.text4");
KVX_STATIC_ASSERT(sizeof(WriteStatus) == 12, "WriteStatus is 12 bytes");
KVX_STATIC_ASSERT(sizeof(EraseResult) == 8, "EraseResult is 8 bytes");
#undef KVX_STATIC_ASSERT
#endif

#endif /* KVX_H */
