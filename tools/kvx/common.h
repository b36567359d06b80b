/* What the tool's command families share: times, result messages, the
 * progress bar, and the way each family puts its commands on the command
 * line. */
#ifndef KVX_TOOL_COMMON_H
#define KVX_TOOL_COMMON_H

#include <stdint.h>
#include <functional>
#include <string>

namespace CLI {
class App;
class Option;
} // namespace CLI

/* Exit statuses: a command that ran and failed is 1; a command line that
 * cannot be run as it stands is 2. */
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
/* decode and info on a damaged or cut-short file: the output was written
 * from what could be recovered, and the damage was reported. */
constexpr int kExitSalvaged = 3;

std::string format_time(uint32_t ms);
/* Milliseconds, or h:mm:ss.mmm and its shorter forms. */
bool parse_time(const char *text, uint32_t *ms);

/* A path's folder and name; the folder becomes the active folder, so that
 * the library finds the name in it. */
struct Place {
    std::string folder;
    std::string name;
};
Place place_of(const std::string &path);
/* Makes the file at `path` the active file, its folder the active folder. */
uint32_t activate(const std::string &path, uint32_t *length = nullptr, uint16_t *codecs = nullptr);
/* The 256000-byte chunks of the file's audio, as the library counts them;
 * -1 when the file cannot be read. */
long chunk_count(const char *path);

/* The one wording of each library result code, for every command. */
const char *describe_result(uint32_t code);
/* "kvx: WHAT: <the result's wording> (result N)" on stderr; returns 1. */
int fail(const std::string &what, uint32_t code);

/* A command line that cannot run: "kvx COMMAND: WHAT" and a hint to the
 * command's --help on stderr; returns 2. */
int usage_error(const CLI::App *command, const std::string &what);

/* The library's progress dialog drawn on the terminal, or no more
 * (database.cpp). */
void show_progress(bool on);

/* Adds command `name` to the tool; `run` runs it once the command line has
 * been read, and its result is the exit status. */
CLI::App *add_command(CLI::App &tool, const std::string &name, const std::string &about, std::function<int()> run);
/* The command that the command line chose, run; -1 when none was chosen. */
int run_chosen_command(const CLI::App &tool);

/* An option or positional argument that takes a TIME into *ms. */
CLI::Option *add_time(CLI::App *command, const std::string &name, uint32_t *ms, const std::string &about);

/* Each family's commands. */
void add_header_commands(CLI::App &tool);   /* info, marks, set, lock, unlock, priority */
void add_audio_commands(CLI::App &tool);    /* decode, play */
void add_edit_commands(CLI::App &tool);     /* cut, insert, overwrite, cat */
void add_database_commands(CLI::App &tool); /* index, delete */
void add_feed_command(CLI::App &tool);      /* feed */
void add_encode_command(CLI::App &tool);    /* encode (with libsndfile and libsoxr) */
void add_record_command(CLI::App &tool);    /* record (with libsndfile and libsoxr) */

#endif
