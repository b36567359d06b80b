/*
 * stream.h - the audio block stream: the read ring and the frame fetch.
 *
 * The active file's audio is read through the read ring: two chunk halves
 * (2 x 256000 bytes) and 2048 bytes of slack behind them for the end marker.
 * While one half is read the other is refilled from the file.  The frame
 * fetch walks the blocks in the ring and hands out one whole frame at a
 * time: a frame that runs over a block boundary, or over the end of the
 * ring, is joined in the 1024-byte frame assembly buffer with one stored
 * byte before it and one after it, so that an SP frame can be read as whole
 * 16-bit words at either parity.
 *
 * The caller keeps its frame position (a pointer into the ring or the
 * assembly buffer); the decoders and the frame skippers advance it by the
 * length of the frame they consume.  The decoding, playback and transfer
 * sessions reach the audio only through these calls.
 */
#ifndef KVX_FORMAT_STREAM_H
#define KVX_FORMAT_STREAM_H

#include <stdint.h>

namespace kvx {

/* Where the ring's audio comes from: the active file, or, for edit
 * playback, the edited audio of a write session.  Offsets count from the
 * first audio block; chunks are 500 blocks (the decoding service's chunk
 * geometry) of that audio. */
struct StreamSource {
    uint32_t (*chunk_count)();
    /* ms from the start of the audio to the end of chunk `index` (0-based) */
    uint32_t (*chunk_end)(uint32_t index);
    /* the chunk (1-based) that holds `ms`: the first that ends after it, or
     * the last */
    uint32_t (*chunk_of)(uint32_t ms);
    /* reads up to `bytes` bytes at `offset`; false when the audio cannot be
     * opened, else *got is what was read */
    bool (*read)(uint64_t offset, uint8_t *dest, uint32_t bytes, uint32_t *got);
};

/* Makes `source` the ring's source (null: the active file).  The ring's
 * contents are given up when the source changes. */
void set_stream_source(const StreamSource *source);
const StreamSource *stream_source();

/* With `on`, the frame fetch passes over at most one block without frames
 * per call and then asks to be called again (live playback, whose blocks
 * arrive one at a time).  Returns the setting before. */
bool stream_single_step(bool on);

/* A previous codec (ReadPosition::previousCodec) that the first block
 * with frames sets, without a change of codec. */
constexpr uint32_t kCodecUnknown = 2;

/* Results of the stream calls besides 0 (success). */
constexpr uint32_t kRingInPlace = 10;   /* the ring already holds the chunk */

/* Positions the ring on the chunk that holds `ms`: loads it (and the next
 * one) from the file.  0, kRingInPlace (nothing read) or 513 (the file
 * cannot be opened). */
uint32_t ring_position(uint32_t ms);

/* Loads `bytes` bytes of the active file into the ring at `dest`: from the
 * start of the load chunk (`positioned`) or from the refill position.
 * Updates the half state and places the end marker after a short read.
 * 0 or 513. */
uint32_t ring_load(uint8_t *dest, uint32_t bytes, bool positioned);

/* Hands out the next frame at *frame.  1: a frame lies at *frame; 0: no
 * frame (the end of the audio, or a change of codec: the codec-change flag
 * tells which); 513: a refill failed. */
uint32_t next_frame(uint8_t **frame);

/* One step of the frame fetch: 1 a frame, 0 call again, -1 no frame.
 * next_frame() is the way in; this is for the sessions' own variants. */
int frame_fetch(uint8_t **frame);

/* Positions the ring for `ms` as a session start does: the ring-start and
 * cursor chunks become the chunk loaded, and the session-start load chunk
 * the load chunk.  0 (also when the ring held the chunk already) or 513. */
uint32_t stream_position(uint32_t ms);

/* Puts the cursor on the block of the ring that holds `ms` (the last
 * block before the end marker or the ring's end for a later time); the
 * start time of that block goes to *block_ms, the previous codec is
 * stream_first_codec(). */
void stream_walk(uint32_t ms, uint32_t *block_ms);

/* The codec (0 SP, 1 LP) of the first block with frames from the cursor
 * on, which the fetch will take first: a block without frames has no codec
 * that counts.  kCodecUnknown when the ring holds none before the end
 * marker, the ring's end, or, while the other half is still to be
 * refilled, the end of the cursor's half. */
uint32_t stream_first_codec();

/* stream_position() and stream_walk(): a session start without a change of
 * codec or a resume.  0 or 513. */
uint32_t stream_seek(uint32_t ms, uint32_t *block_ms);

/* Saves the resume point for `ms`: the cursor on the block that holds it,
 * the frames of that block to pass over and the frames left to hand out. */
void stream_resume_point(uint32_t ms);

/* The refill of next_frame(): loads the half that the cursor has left
 * once it reaches the middle of the other half.  0 or 513. */
uint32_t ring_refill();

} // namespace kvx

#endif /* KVX_FORMAT_STREAM_H */
