/*
 * The commands on a folder's recordings:
 *
 *   kvx index FILE...                record large files in their folder's database
 *   kvx delete [--yes] FILE...       delete recordings, asking about locked ones
 *
 * and the progress bar that the library's dialog draws on the terminal.
 */
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>

#ifndef _WIN32
#include <unistd.h>

#include "kvx_posix.h"
#include "kvx_progress.h"
#endif

#include <CLI/CLI.hpp>

#include "common.h"
#include "kvx.h"

namespace {

/* The whole management file, to tell whether an opening changed it. */
struct Snapshot {
    bool present = false;
    std::string bytes;
};

Snapshot snapshot_of(const std::string &path)
{
    Snapshot shot;
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return shot;
    shot.present = true;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) shot.bytes.append(buffer, got);
    std::fclose(file);
    return shot;
}

bool operator!=(const Snapshot &a, const Snapshot &b)
{
    return a.present != b.present || a.bytes != b.bytes;
}

#ifndef _WIN32
/* What the progress dialog showed during one opening.  The bar is drawn
 * only when stderr is a terminal; that a pass ran is noted either way. */
struct IndexWatch {
    bool draw = false;
    bool pass_ran = false;
    unsigned drawn = 0; /* the bar's state on screen, to draw changes only */
};

void draw_bar(IndexWatch *watch, const KVXProgress *progress)
{
    const unsigned state = progress->percent << 16 | progress->barPerMille;
    if (progress->event == KVX_PROGRESS_STEP && state == watch->drawn) return;
    watch->drawn = state;
    const unsigned width = 30;
    const unsigned filled = progress->barPerMille >= 1000 ? width : progress->barPerMille * width / 1000;
    char bar[width + 1];
    for (unsigned i = 0; i < width; ++i) bar[i] = i < filled ? '#' : ' ';
    bar[width] = '\0';
    std::fprintf(stderr, "\r[%s] %5s", bar, progress->percentText != nullptr ? progress->percentText : "");
    std::fflush(stderr);
}

void on_index_progress(const KVXProgress *progress, void *user)
{
    auto *watch = static_cast<IndexWatch *>(user);
    if (progress->event == KVX_PROGRESS_OPEN) watch->pass_ran = true;
    if (!watch->draw) return;
    switch (progress->event) {
    case KVX_PROGRESS_OPEN: {
        /* The message's first line; the rest asks the user to wait. */
        std::string line = progress->text != nullptr ? progress->text : "";
        line = line.substr(0, line.find('\n'));
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::fprintf(stderr, "%s\n", line.c_str());
        draw_bar(watch, progress);
        break;
    }
    case KVX_PROGRESS_STEP: draw_bar(watch, progress); break;
    case KVX_PROGRESS_CLOSE: std::fputc('\n', stderr); break;
    default: break;
    }
}
#endif
} // namespace

void show_progress(bool on)
{
#ifndef _WIN32
    static IndexWatch watch;
    watch = IndexWatch{};
    watch.draw = isatty(STDERR_FILENO) != 0;
    KVXPosixSetProgressHook(on ? on_index_progress : nullptr, on ? &watch : nullptr);
#else
    (void)on;
#endif
}

namespace {

int command_index(const std::vector<std::string> &paths)
{
#ifndef _WIN32
    IndexWatch watch;
    watch.draw = isatty(STDERR_FILENO) != 0;
    KVXPosixSetProgressHook(on_index_progress, &watch);
#endif
    int status = 0;
    for (const std::string &name : paths) {
        const char *path = name.c_str();
        const Place place = place_of(name);
        const char last = place.folder.back();
        const std::string dat = place.folder + (last == '/' || last == '\\' ? "" : "/") + "KVXMANAGEMENT.DAT";
        const Snapshot before = snapshot_of(dat);
#ifndef _WIN32
        watch.pass_ran = false;
#endif
        /* Mode 1: the pass runs under the progress dialog and its table
         * goes into the management file. */
        uint32_t result = KVXActiveFolder(place.folder.c_str(), 1);
        uint32_t length = 0;
        uint16_t codecs = 0;
        if (result == KVX_OK) result = KVXActiveFile(path, &length, &codecs);
        if (result != KVX_OK) {
            status = fail(path, result);
            continue;
        }
        const Snapshot after = snapshot_of(dat);
        const char *what;
        if (chunk_count(path) < 3) what = "small file, not recorded";
        else if (after != before) what = "recorded";
#ifndef _WIN32
        /* A table found in the management data needs no pass. */
        else if (!watch.pass_ran) what = "found";
#else
        /* No word of the dialog here: a management file that is there and
         * stays as it was held the table already. */
        else if (after.present) what = "found";
#endif
        else what = "read, but not recorded: the management file cannot be written";
        std::printf("%s: %s, %s\n", path, format_time(length).c_str(), what);
    }
#ifndef _WIN32
    KVXPosixSetProgressHook(nullptr, nullptr);
#endif
    return status;
}

/* Whether a regular file is at `path`; `writable` tells about its write
 * permission. */
bool file_exists(const std::string &path, bool *writable = nullptr)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || (st.st_mode & S_IFMT) != S_IFREG) return false;
    if (writable != nullptr) *writable = (st.st_mode & S_IWUSR) != 0;
    return true;
}

/* The shell wants full paths. */
std::string full_path(const std::string &path)
{
#ifdef _WIN32
    char full[MAX_PATH];
    const DWORD got = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return got > 0 && got < sizeof full ? std::string(full) : path;
#else
    if (!path.empty() && path[0] == '/') return path;
    std::vector<char> cwd(4096);
    while (getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE) return path;
        cwd.resize(cwd.size() * 2);
    }
    const std::string folder = cwd.data();
    return folder + (folder == "/" ? "" : "/") + path;
#endif
}

#ifndef _WIN32
int confirm_all(const char *, BOOL, void *)
{
    return IDYES;
}

/* Asks on the terminal; end of input keeps this file and the rest. */
int confirm_on_terminal(const char *path, BOOL readOnly, void *)
{
    std::fprintf(stderr, "delete %s%s? [y/N] ", path, readOnly ? " (locked)" : "");
    std::fflush(stderr);
    std::string answer;
    int c;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') answer += static_cast<char>(c);
    if (c == EOF && answer.empty()) {
        std::fputc('\n', stderr);
        return IDCANCEL;
    }
    const size_t start = answer.find_first_not_of(" \t");
    const char first = start == std::string::npos ? '\0' : answer[start];
    return first == 'y' || first == 'Y' ? IDYES : IDNO;
}
#endif

int command_delete(const std::vector<std::string> &names, bool yes)
{
    int status = 0;
    std::vector<std::string> present;
    std::string list;
    for (const std::string &name : names) {
        if (!file_exists(name)) {
            struct stat st;
            const bool there = stat(name.c_str(), &st) == 0;
            std::fprintf(stderr, "kvx: %s: %s\n", name.c_str(), there ? "not a file" : "no such file");
            status = 1;
            continue;
        }
        present.push_back(name);
        list += full_path(name);
        list += '\0';
    }
    if (present.empty()) return status;
    list += '\0';

#ifndef _WIN32
    /* Without a hook the library keeps read-only (locked) files: so it
     * goes when nobody is there to ask. */
    if (yes) KVXPosixSetConfirmHook(confirm_all, nullptr);
    else if (isatty(STDIN_FILENO)) KVXPosixSetConfirmHook(confirm_on_terminal, nullptr);
#else
    (void)yes;
#endif
    KVXDeleteFiles(list.c_str());
#ifndef _WIN32
    KVXPosixSetConfirmHook(nullptr, nullptr);
#endif

    for (const std::string &name : present) {
        bool writable = true;
        if (!file_exists(name, &writable)) {
            std::printf("deleted %s\n", name.c_str());
            continue;
        }
        std::printf("kept %s%s\n", name.c_str(), writable ? "" : " (read-only)");
        status = 1;
    }
    return status;
}

struct DatabaseArgs {
    std::vector<std::string> paths;
    bool yes = false;
};

} // namespace

void add_database_commands(CLI::App &tool)
{
    auto args = std::make_shared<DatabaseArgs>();
    CLI::App *index = add_command(tool, "index", "record large files in their folder's database",
                                  [args]() { return command_index(args->paths); });
    index->add_option("FILE", args->paths, "the recordings")->required();
    index->footer("Each file is opened with its folder's database on: a large file (3 chunks or more)\n"
                  "gets its table recorded in the folder's KVXMANAGEMENT.DAT, if it is not there yet.");

    CLI::App *remove = add_command(tool, "delete", "delete recordings; a locked one only when confirmed",
                                   [args]() { return command_delete(args->paths, args->yes); });
    remove->add_option("FILE", args->paths, "the recordings")->required();
    remove->add_flag("--yes", args->yes, "confirm the deletion of every locked file");
    remove->footer("A locked file is asked about on a terminal, and kept when no terminal asks\n"
                   "(on Windows the shell asks).  Exit status 1 when a file was kept.");
}
