/* Rate conversion for decode: the decoder's frames of one codec, at the
 * codec's own rate, become samples at the output rate through libsoxr.  A
 * run of frames of one codec goes through one resampler, which keeps its
 * history from frame to frame; where the codec changes, the run's
 * resampler is flushed (its last samples come out) and the next run starts
 * a new one at its own input rate, so that a file of both codecs becomes
 * one stream at one rate. */
#ifndef KVX_TOOL_RESAMPLE_H
#define KVX_TOOL_RESAMPLE_H

#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

class Resampler {
public:
    Resampler() = default;
    Resampler(const Resampler &) = delete;
    Resampler &operator=(const Resampler &) = delete;
    ~Resampler();

    /* Starts a run from `from` Hz to `to` Hz, ending any run before it
     * without its tail (call finish() first to keep that).  An empty
     * string, or what libsoxr said was wrong. */
    std::string start(uint32_t from, uint32_t to);
    /* Appends the samples that `count` more input samples give to *out, as
     * floats of full scale 1.0. */
    bool process(const int16_t *in, size_t count, std::vector<float> *out);
    /* Appends the run's last samples to *out and ends the run. */
    bool finish(std::vector<float> *out);
    bool running() const { return soxr_ != nullptr; }

private:
    void *soxr_ = nullptr;
    double ratio_ = 1;
};

#endif
