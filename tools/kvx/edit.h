/* The tool's editing commands, and what they share with main.cpp. */
#ifndef KVX_TOOL_EDIT_H
#define KVX_TOOL_EDIT_H

#include <stdint.h>
#include <string>

/* main.cpp */
std::string format_time(uint32_t ms);
bool parse_time(const char *text, uint32_t *ms);
const char *describe_result(uint32_t code);
/* The library's progress dialog drawn on the terminal, or no more. */
void show_progress(bool on);

/* edit.cpp: argv holds the command's arguments only.  0, 1 on a failure
 * (nothing changed), 2 on a usage error. */
int command_cut(int argc, char **argv);
int command_insert(int argc, char **argv, bool insert);
int command_cat(int argc, char **argv);

#endif
