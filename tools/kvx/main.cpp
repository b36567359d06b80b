/*
 * kvx - a command-line tool over the kvx library.
 *
 * This file sets up the command line and runs the command it names; each
 * family of commands has a file of its own and puts its commands on the
 * command line there:
 *   info.cpp      info, marks, set, lock, unlock, priority
 *   audio.cpp     decode, play
 *   edit.cpp      cut, insert, overwrite, cat
 *   database.cpp  index, delete
 *   feed.cpp      feed
 *   encode.cpp    encode
 *   record.cpp    record
 */
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "common.h"

#ifndef KVX_TOOL_VERSION
#define KVX_TOOL_VERSION "unknown"
#endif

namespace {

/* Every help text ends with these. */
const char *const kTimesAndStatus =
    "TIME is milliseconds or h:mm:ss.mmm (mm:ss.mmm and ss.mmm also do).\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  failure: a file cannot be read, written or changed, or the request\n"
    "     does not fit the file (the message says which)\n"
    "  2  usage error: unknown command or option, a missing or bad value\n"
    "  3  decode, info: the file is damaged or cut short; what could be recovered\n"
    "     was written, and the damage reported";

/* One line on what was wrong with the command line, and where to look. */
int report(const CLI::App &tool, const CLI::ParseError &error)
{
    const CLI::App *where = &tool;
    for (const CLI::App *command : tool.get_subcommands()) where = command;
    const bool extras = dynamic_cast<const CLI::ExtrasError *>(&error) != nullptr;
    const std::vector<std::string> left = where->remaining();
    if (where == &tool && !extras && left.empty() && tool.get_subcommands().empty())
        return usage_error(&tool, "no command given");
    if ((extras || where == &tool) && !left.empty()) {
        const std::string &first = left.front();
        if (first.size() > 1 && first[0] == '-') return usage_error(where, "unknown option '" + first + "'");
        return usage_error(where, (where == &tool ? "unknown command '" : "unexpected argument '") + first + "'");
    }
    return usage_error(where, error.what());
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App tool("kvx " KVX_TOOL_VERSION ": reads, plays and edits KVX recordings.", "kvx");
    tool.set_version_flag("--version", "kvx " KVX_TOOL_VERSION);
    tool.require_subcommand(1);
    tool.get_formatter()->column_width(36);
    tool.get_formatter()->label("SUBCOMMAND", "COMMAND");
    tool.get_formatter()->label("Subcommands", "Commands");
    tool.get_formatter()->label("Positionals", "Arguments");

    add_header_commands(tool);
    add_audio_commands(tool);
    add_edit_commands(tool);
    add_database_commands(tool);
    add_feed_command(tool);
#ifdef KVX_HAVE_ENCODE
    add_encode_command(tool);
    add_record_command(tool);
#endif

    auto topic = std::make_shared<std::string>();
    CLI::App *help = add_command(tool, "help", "show this text, or a command's", [&tool, topic]() {
        if (topic->empty()) {
            /* Not tool.help(): that explains the command chosen, help itself. */
            std::fputs(tool.get_formatter()->make_help(&tool, "kvx", CLI::AppFormatMode::Normal).c_str(), stdout);
            return 0;
        }
        for (const CLI::App *command : tool.get_subcommands(std::function<bool(CLI::App *)>())) {
            if (command->get_name() != *topic) continue;
            std::fputs(command->help("kvx").c_str(), stdout);
            return 0;
        }
        return usage_error(&tool, "unknown command '" + *topic + "'");
    });
    help->add_option("COMMAND", *topic, "the command to explain");

    for (CLI::App *command : tool.get_subcommands(std::function<bool(CLI::App *)>())) {
        const std::string own = command->get_footer();
        command->footer(own.empty() ? kTimesAndStatus : own + "\n\n" + kTimesAndStatus);
    }
    tool.footer(std::string(kTimesAndStatus) + "\n\nRun 'kvx COMMAND --help' for a command's arguments.");

    try {
        tool.parse(argc, argv);
    } catch (const CLI::Success &done) {
        return tool.exit(done); /* --help or --version: to stdout */
    } catch (const CLI::ParseError &error) {
        return report(tool, error);
    }
    return run_chosen_command(tool);
}
