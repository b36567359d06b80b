/*
 * kvx - a command-line tool over the kvx library.
 *
 *   kvx info FILE    what opening the file reports: length, codecs, chunks
 */
#include <cstdio>
#include <cstring>
#include <string>

#include "kvx.h"

namespace {

const char *const kUsage =
    "usage: kvx COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  info FILE    open FILE and print its length, codecs and chunk count\n"
    "  help         show this text\n";

std::string format_time(uint32_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%u:%02u:%02u.%03u", ms / 3600000u, ms / 60000u % 60u, ms / 1000u % 60u,
                  ms % 1000u);
    return text;
}

const char *describe_result(uint32_t code)
{
    switch (code) {
    case KVX_ERR_OPEN: return "the file cannot be opened";
    case KVX_ERR_MEMORY: return "out of memory";
    case KVX_ERR_SIZE: return "the file's size cannot be read";
    case KVX_ERR_NOT_KVX: return "not a KVX file";
    case KVX_ERR_BUSY: return "a write session is open";
    default: return "failed";
    }
}

/* The chunk count of a file: its audio bytes in chunks of 256000 bytes,
 * at least one.  Worked out from the file itself, since opening does not
 * report it. */
long chunk_count(const char *path)
{
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr) return -1;
    int blocks = std::fgetc(file);
    long size = -1;
    if (blocks != EOF && std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    std::fclose(file);
    if (size < 0 || blocks < 1) return -1;
    long audio = size - 512L * blocks;
    if (audio <= 0) audio = 1;
    return (audio + 255999) / 256000;
}

int command_info(const char *path)
{
    uint32_t length = 0;
    uint16_t codecs = 0;
    uint32_t result = KVXActiveFile(path, &length, &codecs);
    if (result != KVX_OK) {
        std::fprintf(stderr, "kvx: %s: %s (result %u)\n", path, describe_result(result), result);
        return 1;
    }
    std::string names;
    if (codecs & KVX_CODEC_SP) names += "SP";
    if (codecs & KVX_CODEC_LP) names += names.empty() ? "LP" : " and LP";
    if (names.empty()) names = "none";
    std::printf("file:    %s\n", path);
    std::printf("length:  %s (%u ms)\n", format_time(length).c_str(), length);
    std::printf("codecs:  %s (flags %u)\n", names.c_str(), codecs);
    std::printf("chunks:  %ld\n", chunk_count(path));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && (std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0 ||
                      std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "info") == 0) return command_info(argv[2]);
    std::fputs(kUsage, stderr);
    return 2;
}
