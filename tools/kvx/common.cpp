/* What the tool's command families share. */
#include "common.h"

#include <cctype>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "format/header.h"
#include "kvx.h"

std::string format_time(uint32_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%u:%02u:%02u.%03u", ms / 3600000u, ms / 60000u % 60u, ms / 1000u % 60u,
                  ms % 1000u);
    return text;
}

bool parse_time(const char *text, uint32_t *ms)
{
    uint64_t fields[3] = {0, 0, 0};
    int count = 0;
    uint64_t millis = 0;
    const char *p = text;
    bool colon = false;
    for (;;) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
        uint64_t value = 0;
        while (std::isdigit(static_cast<unsigned char>(*p))) {
            value = value * 10 + static_cast<uint64_t>(*p++ - '0');
            if (value > 0xFFFFFFFFull) return false;
        }
        if (count == 3) return false;
        fields[count++] = value;
        if (*p == ':') {
            colon = true;
            ++p;
            continue;
        }
        break;
    }
    if (*p == '.') {
        ++p;
        int digits = 0;
        while (std::isdigit(static_cast<unsigned char>(*p)) && digits < 3) {
            millis = millis * 10 + static_cast<uint64_t>(*p++ - '0');
            ++digits;
        }
        if (digits == 0 || std::isdigit(static_cast<unsigned char>(*p))) return false;
        while (digits++ < 3) millis *= 10;
        colon = true;
    }
    if (*p != '\0') return false;
    uint64_t total;
    if (!colon) {
        total = fields[0];
    } else {
        uint64_t seconds = 0;
        for (int i = 0; i < count; ++i) seconds = seconds * 60 + fields[i];
        total = seconds * 1000 + millis;
    }
    if (total > 0xFFFFFFFFull) return false;
    *ms = static_cast<uint32_t>(total);
    return true;
}

const char *describe_result(uint32_t code)
{
    switch (code) {
    case KVX_ERR_OPEN: return "the file cannot be opened";
    case KVX_ERR_MEMORY: return "out of memory";
    case KVX_ERR_SIZE: return "the file's size cannot be read";
    case KVX_ERR_NO_FOLDER: return "no folder is active";
    case KVX_ERR_NOT_KVX: return "not a KVX file";
    case KVX_ERR_READ_ONLY: return "the file may not be written";
    case KVX_ERR_FOLDER: return "no such folder";
    case KVX_ERR_LOCKED: return "the file is locked (or the mark cannot be stored)";
    case KVX_ERR_ONE_BLOCK_HEADER: return "the file has a one-block header: no second-block fields";
    case KVX_ERR_NO_ACTIVE_FILE: return "no active file";
    case KVX_ERR_OPEN_FOR_WRITE: return "the file cannot be opened for writing";
    case KVX_ERR_NOT_EXTENDED: return "the header has no extended block";
    case KVX_ERR_REOPEN: return "the file cannot be opened";
    case KVX_ERR_BUSY: return "a write session is open";
    case KVX_ERR_MARKS_FULL: return "16 marks exist already, or one lies within a second of that time";
    case KVX_ERR_NO_SUCH_MARK: return "no mark at that time";
    case KVX_ERR_HANDLE: return "not the write session's handle";
    case KVX_ERR_NO_WRITE_POINTER: return "no write position set";
    case KVX_ERR_EDIT_MEMORY: return "out of memory while editing";
    case KVX_ERR_EDIT_OPEN: return "a file of the write session cannot be opened";
    case KVX_ERR_ERASE_RANGE: return "nothing to erase: the stretch is empty or lies past the end";
    case KVX_ERR_DISK_FULL: return "not enough disk space";
    case KVX_ERR_WRITE: return "a write to a file failed";
    case KVX_ERR_READ: return "a read from a file failed";
    case KVX_ERR_CREATE: return "a working or output file cannot be created";
    case KVX_ERR_RESERVE: return "the space reservation file cannot be made";
    case KVX_ERR_LENGTH_LIMIT: return "the length would pass 99:59:59";
    default: return "failed";
    }
}

Place place_of(const std::string &path)
{
    const size_t cut = path.find_last_of("/\\");
    if (cut == std::string::npos) return {".", path};
    return {cut == 0 ? path.substr(0, 1) : path.substr(0, cut), path.substr(cut + 1)};
}

uint32_t activate(const std::string &path, uint32_t *length, uint16_t *codecs)
{
    uint32_t length_ = 0;
    uint16_t codecs_ = 0;
    const uint32_t result = KVXActiveFolder(place_of(path).folder.c_str(), 0);
    if (result != KVX_OK) return result;
    return KVXActiveFile(path.c_str(), length != nullptr ? length : &length_, codecs != nullptr ? codecs : &codecs_);
}

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

namespace {

/* Whether the file at `path` has its lock byte at 0. */
bool locked_file(const std::string &path)
{
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    uint8_t header[kvx::hdr::kLock + 1] = {};
    const bool read = std::fread(header, 1, sizeof header, file) == sizeof header;
    std::fclose(file);
    return read && header[kvx::hdr::kLock] == 0;
}

} // namespace

int fail(const std::string &what, uint32_t code)
{
    /* The library answers a locked file and a mark that has no place in
     * the short marks with the same code: the file's lock byte tells. */
    if (code == KVX_ERR_LOCKED) {
        const bool locked = locked_file(what);
        std::fprintf(stderr, "kvx: %s: %s (result %u)\n", what.c_str(),
                     locked ? "locked: 'kvx unlock FILE' allows changes again"
                            : "the mark has no place among the short marks (16 at most, none past block 65535)",
                     code);
        return kExitFailure;
    }
    std::fprintf(stderr, "kvx: %s: %s (result %u)\n", what.c_str(), describe_result(code), code);
    return kExitFailure;
}

int usage_error(const CLI::App *command, const std::string &what)
{
    const std::string name = command->get_parent() != nullptr ? "kvx " + command->get_name() : "kvx";
    std::fprintf(stderr, "%s: %s\nRun '%s --help' for %s.\n", name.c_str(), what.c_str(), name.c_str(),
                 command->get_parent() != nullptr ? "its arguments" : "the commands");
    return kExitUsage;
}

namespace {

std::vector<std::pair<const CLI::App *, std::function<int()>>> &commands()
{
    static std::vector<std::pair<const CLI::App *, std::function<int()>>> all;
    return all;
}

} // namespace

CLI::App *add_command(CLI::App &tool, const std::string &name, const std::string &about, std::function<int()> run)
{
    CLI::App *command = tool.add_subcommand(name, about);
    commands().emplace_back(command, std::move(run));
    return command;
}

int run_chosen_command(const CLI::App &tool)
{
    for (const auto &command : commands())
        if (command.first->parsed() && command.first->get_parent() == &tool) return command.second();
    return -1;
}

CLI::Option *add_time(CLI::App *command, const std::string &name, uint32_t *ms, const std::string &about)
{
    const CLI::Validator is_time(
        [](std::string &text) -> std::string {
            uint32_t unused = 0;
            return parse_time(text.c_str(), &unused) ? "" : "not a time: '" + text + "' (milliseconds or h:mm:ss.mmm)";
        },
        "");
    return command
        ->add_option_function<std::string>(
            name, [ms](const std::string &text) { parse_time(text.c_str(), ms); }, about)
        ->check(is_time)
        ->type_name("TIME");
}
