/* The tool's feed command. */
#ifndef KVX_TOOL_FEED_H
#define KVX_TOOL_FEED_H

/* argv holds the command's arguments only.  0, 1 on a failure, 2 on a
 * usage error. */
int command_feed(int argc, char **argv);

#endif
