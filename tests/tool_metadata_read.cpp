/* Prints what libsndfile reads from an audio file, for the tool's metadata
 * tests: "frames N", "rate N", "string NAME TEXT" (one a tag; the comment's
 * lines each on one), "cue POSITION LABEL". */
#include <sndfile.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: tool_metadata_read FILE\n");
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
