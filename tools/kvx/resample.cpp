/* Rate conversion for decode through libsoxr: 16-bit samples in, floats
 * out, so that a float output keeps what the filter gives and a 16-bit one
 * is rounded once. */
#include "resample.h"

#include <soxr.h>

Resampler::~Resampler()
{
    if (soxr_ != nullptr) soxr_delete(static_cast<soxr_t>(soxr_));
}

std::string Resampler::start(uint32_t from, uint32_t to)
{
    if (soxr_ != nullptr) soxr_delete(static_cast<soxr_t>(soxr_));
    soxr_ = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_FLOAT32_I);
    /* High quality (a stopband far below what 16-bit samples hold), with
     * the passband flat to 85 % of the lower Nyquist rate: 5100 Hz of SP's
     * 6000, 3400 Hz of LP's 4000, above what the codecs keep of speech.
     * The shorter filter costs a tenth less than libsoxr's 91 %. */
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    quality.passband_end = 0.85;
    soxr_error_t error = nullptr;
    soxr_t soxr = soxr_create(from, to, 1, &error, &io, &quality, nullptr);
    if (soxr == nullptr || error != nullptr) {
        if (soxr != nullptr) soxr_delete(soxr);
        return error != nullptr ? error : "libsoxr cannot convert this rate";
    }
    soxr_ = soxr;
    ratio_ = static_cast<double>(to) / from;
    return "";
}

bool Resampler::process(const int16_t *in, size_t count, std::vector<float> *out)
{
    if (soxr_ == nullptr) return false;
    /* Room for what the input gives and some of what the filter held. */
    const size_t room = static_cast<size_t>(count * ratio_) + 64;
    while (count > 0) {
        const size_t before = out->size();
        out->resize(before + room);
        size_t used = 0, made = 0;
        if (soxr_process(static_cast<soxr_t>(soxr_), in, count, &used, out->data() + before, room, &made) != nullptr) {
            out->resize(before);
            return false;
        }
        out->resize(before + made);
        if (used == 0 && made == 0) return false; /* no progress: never loop on it */
        in += used;
        count -= used;
    }
    return true;
}

bool Resampler::finish(std::vector<float> *out)
{
    if (soxr_ == nullptr) return true;
    bool ok = true;
    for (;;) {
        const size_t before = out->size();
        out->resize(before + 1024);
        size_t made = 0;
        if (soxr_process(static_cast<soxr_t>(soxr_), nullptr, 0, nullptr, out->data() + before, 1024, &made) !=
            nullptr)
            ok = false;
        out->resize(before + made);
        if (!ok || made == 0) break;
    }
    soxr_delete(static_cast<soxr_t>(soxr_));
    soxr_ = nullptr;
    return ok;
}
