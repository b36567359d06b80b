/*
 * Memory-card drives.
 *
 * On Windows the card drives are found in the hardware registry: the
 * subkeys of two disk enumerators name the drive letter each card got; a
 * letter counts when that drive exists now and the system calls it
 * removable.  A path is on a card when its drive root's letter is one of
 * them.
 *
 * Elsewhere there are no drive letters: a path is on a card when the block
 * device that holds it (or the disk of which it is a partition) carries the
 * kernel's removable flag.
 */
#include "database/drives.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <string>
#endif

namespace kvx {

#ifdef _WIN32

namespace {

const char *const kCardEnumerators[] = {
    "Enum\\ESDI\\GENERIC_IDE__DISK_TYPE80_\\",
    "Enum\\ESDI\\EMCDFTL_MINIATURE_CARD__2\\",
};
constexpr uint32_t kMaxLetters = 24;

void collect_letters(const char *key_path, char *letters, uint32_t *count)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_ENUMERATE_SUB_KEYS, &key) != ERROR_SUCCESS) return;
    for (DWORD index = 0;; ++index) {
        char name[50];
        DWORD name_bytes = sizeof name;
        if (RegEnumKeyExA(key, index, name, &name_bytes, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        char sub_path[256];
        std::snprintf(sub_path, sizeof sub_path, "%s%s", key_path, name);
        HKEY sub;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub_path, 0, KEY_QUERY_VALUE, &sub) != ERROR_SUCCESS) continue;
        char value[4] = {0, 0, 0, 0};
        DWORD value_bytes = 3;
        if (RegQueryValueExA(sub, "CurrentDriveLetterAssignment", nullptr, nullptr,
                             reinterpret_cast<BYTE *>(value), &value_bytes) == ERROR_SUCCESS &&
            value[0] != '\0') {
            const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(value[0])));
            if (std::memchr(letters, letter, *count) == nullptr && *count < kMaxLetters) letters[(*count)++] = letter;
        }
        RegCloseKey(sub);
    }
    RegCloseKey(key);
}

} // namespace

uint32_t removable_drive_list(char letters[25])
{
    char drives[1024];
    std::memset(drives, 0, sizeof drives);
    GetLogicalDriveStringsA(sizeof drives - 1, drives);
    char found[kMaxLetters];
    uint32_t found_count = 0;
    for (const char *key : kCardEnumerators) collect_letters(key, found, &found_count);

    uint32_t count = 0;
    for (uint32_t i = 0; i < found_count; ++i) {
        const char root[4] = {found[i], ':', '\\', '\0'};
        for (const char *drive = drives; *drive != '\0'; drive += std::strlen(drive) + 1) {
            if (_stricmp(drive, root) != 0) continue;
            if (GetDriveTypeA(root) == DRIVE_REMOVABLE) letters[count++] = found[i];
            break;
        }
    }
    letters[count] = '\0';
    return count;
}

bool on_removable_drive(const char *path)
{
    /* The drive root: "\\server\share\" for a network path, else the first
     * three characters; only its first letter is compared. */
    if (path == nullptr || path[0] == '\0' || (path[0] == '\\' && path[1] == '\\')) return false;
    char letters[25];
    const uint32_t count = removable_drive_list(letters);
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
    return std::memchr(letters, letter, count) != nullptr;
}

#else

const char *g_sysfsRoot = "/sys";

namespace {

bool flag_set(const std::string &file)
{
    FILE *f = std::fopen(file.c_str(), "r");
    if (f == nullptr) return false;
    const int c = std::fgetc(f);
    std::fclose(f);
    return c == '1';
}

bool exists(const std::string &file)
{
    struct stat st;
    return stat(file.c_str(), &st) == 0;
}

} // namespace

bool on_removable_drive(const char *path)
{
    if (path == nullptr || path[0] == '\0') return false;
    struct stat st;
    if (stat(path, &st) != 0) {
        /* A file not made yet: its folder decides. */
        std::string folder(path);
        const size_t cut = folder.find_last_of('/');
        if (cut == std::string::npos) folder = ".";
        else folder.resize(cut == 0 ? 1 : cut);
        if (stat(folder.c_str(), &st) != 0) return false;
    }
    const std::string device = std::string(g_sysfsRoot) + "/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                               std::to_string(minor(st.st_dev));
    /* A partition's flag is its disk's. */
    if (exists(device + "/partition")) return flag_set(device + "/../removable");
    return flag_set(device + "/removable");
}

#endif

} // namespace kvx
