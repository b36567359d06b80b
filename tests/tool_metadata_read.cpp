/* Prints what libsndfile reads from an audio file, for the tool's metadata
 * tests: "frames N", "rate N", "string NAME TEXT" (one a tag; the comment's
 * lines each on one), "cue POSITION LABEL".  Given two files, it prints
 * "differ N of M": the samples whose 16-bit values differ (a float sample
 * rounded to the nearest, ties to even, and clipped). */
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool read_all(const char *path, std::vector<double> *samples)
{
    SF_INFO info{};
    SNDFILE *file = sf_open(path, SFM_READ, &info);
    if (file == nullptr) return false;
    samples->resize(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    const sf_count_t got = sf_read_double(file, samples->data(), static_cast<sf_count_t>(samples->size()));
    sf_close(file);
    return got == static_cast<sf_count_t>(samples->size());
}

double s16(double v)
{
    return std::fmin(32767, std::fmax(-32768, std::nearbyint(v * 32768)));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3) {
        std::vector<double> a, b;
        if (!read_all(argv[1], &a) || !read_all(argv[2], &b)) return 1;
        size_t differ = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
        for (size_t i = 0; i < a.size() && i < b.size(); ++i)
            differ += s16(a[i]) != s16(b[i]);
        std::printf("differ %zu of %zu\n", differ, a.size());
        return 0;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: tool_metadata_read FILE [OTHER]\n");
        return 2;
    }
    SF_INFO info{};
    SNDFILE *file = sf_open(argv[1], SFM_READ, &info);
    if (file == nullptr) {
        std::fprintf(stderr, "%s: %s\n", argv[1], sf_strerror(nullptr));
        return 1;
    }
    std::printf("frames %lld\nrate %d\n", static_cast<long long>(info.frames), info.samplerate);
    const struct {
        int type;
        const char *name;
    } strings[] = {{SF_STR_TITLE, "title"},     {SF_STR_ARTIST, "artist"},   {SF_STR_ALBUM, "album"},
                   {SF_STR_DATE, "date"},       {SF_STR_SOFTWARE, "software"}, {SF_STR_COMMENT, "comment"}};
    for (const auto &s : strings) {
        const char *text = sf_get_string(file, s.type);
        if (text == nullptr) continue;
        std::string value = text;
        for (size_t at = 0, next; at < value.size(); at = next + 1) {
            next = value.find('\n', at);
            if (next == std::string::npos) next = value.size();
            std::printf("string %s %s\n", s.name, value.substr(at, next - at).c_str());
        }
    }
    SF_CUES cues{};
    if (sf_command(file, SFC_GET_CUE, &cues, sizeof cues) == SF_TRUE)
        for (uint32_t i = 0; i < cues.cue_count && i < 100; ++i)
            std::printf("cue %u %s\n", cues.cue_points[i].sample_offset, cues.cue_points[i].name);
    sf_close(file);
    return 0;
}
