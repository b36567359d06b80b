/*
 * drives.h - recognising memory cards, where no management file is written.
 */
#ifndef KVX_DATABASE_DRIVES_H
#define KVX_DATABASE_DRIVES_H

#include <stdint.h>

namespace kvx {

/* Whether the folder or file `path` lies on a removable memory card. */
bool on_removable_drive(const char *path);

#ifdef _WIN32
/* The letters of the card drives that are present now, upper case, with
 * no separators; returns their count (at most 24). */
uint32_t removable_drive_list(char letters[25]);
#else
/* Where the kernel's device tree is read ("/sys"; tests point it at a
 * tree of their own). */
extern const char *g_sysfsRoot;
#endif

} // namespace kvx

#endif /* KVX_DATABASE_DRIVES_H */
