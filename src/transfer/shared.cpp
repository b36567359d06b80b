/* The transfer block shared by all processes that have the library loaded. */
#include "transfer/shared.h"

#include <cstring>

#ifndef _WIN32
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kvx {
namespace transfer {

void transfer_name(char out[kNameBytes])
{
    /* Another process may be rewriting the name: read each byte once, stop
     * at the first zero, and terminate whatever was read. */
    const volatile char *name = shared_block()->transFileName;
    uint32_t n = 0;
    while (n < kNameBytes - 1) {
        const char c = name[n];
        if (c == '\0') break;
        out[n++] = c;
    }
    out[n] = '\0';
}

#ifdef _WIN32

/* Windows shares the section among all processes that map this DLL file:
 * the image holds it zeroed, and the loader maps one copy for all.  The
 * attribute marks it shared in the image (GNU ld ignores the export file's
 * SECTIONS part, which says the same for other linkers). */
__attribute__((section(".RECOGSE"), shared)) SharedBlock g_sharedBlock = {};

SharedBlock *shared_block()
{
    return &g_sharedBlock;
}

void shared_attach() {}
void shared_detach() {}

#else

/*
 * POSIX: the block is the shared memory object /kvx-transfer-<uid>-<dev>-
 * <inode>, named after the user and the library file that holds this code,
 * so that separate copies of the library (like separate DLL files) do not
 * share, and no other user's processes do.
 *
 * Who is attached: every attached process holds a shared flock on the
 * object, and the kernel drops it when the process ends, however it ends.
 * Attaching and detaching happen under an exclusive flock on the user's
 * lock object /kvx-transfer-<uid>.lock, which is never removed.  Under it,
 * an exclusive flock on the block that succeeds means nobody else is
 * attached: an attaching process then zeroes the block, a detaching one
 * removes its name.
 */
namespace {

SharedBlock g_local;               /* when sharing fails */
SharedBlock *g_mapped = nullptr;   /* the shared block, while attached */
int g_fd = -1;                     /* the object, holding our shared flock */
char g_name[96];                   /* the object's name */
bool g_forkHandlers = false;

constexpr int kLockTries = 2000;   /* 1 ms apart: a stuck process costs 2 s, not a hang */

bool lock_within(int fd, int operation)
{
    for (int i = 0; i < kLockTries; ++i) {
        if (flock(fd, operation | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        const timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

/* Opens (creating) one of the user's objects; refuses anything that is not
 * a regular object of this user, such as one another user put there. */
int open_object(const char *name)
{
    const int fd = shm_open(name, O_RDWR | O_CREAT, 0600);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        close(fd);
        return -1;
    }
    return fd;
}

/* The user's attach lock, taken; -1 when it cannot be had. */
int take_attach_lock()
{
    char name[48];
    std::snprintf(name, sizeof name, "/kvx-transfer-%u.lock", static_cast<unsigned>(geteuid()));
    const int fd = open_object(name);
    if (fd >= 0 && !lock_within(fd, LOCK_EX)) {
        close(fd);
        return -1;
    }
    return fd;
}

void release_attach_lock(int fd)
{
    flock(fd, LOCK_UN);
    close(fd);
}

/* Device and inode of the file mapped at `address` (this library, or the
 * program that has it linked in), from the process's map. */
bool mapped_file(const void *address, unsigned long long &device, unsigned long long &inode)
{
    FILE *maps = std::fopen("/proc/self/maps", "r");
    if (maps == nullptr) return false;
    const auto at = reinterpret_cast<uintptr_t>(address);
    bool found = false;
    char *line = nullptr;
    size_t capacity = 0;
    while (!found && getline(&line, &capacity, maps) > 0) {
        unsigned long long from, to, offset, ino;
        unsigned major, minor;
        if (std::sscanf(line, "%llx-%llx %*s %llx %x:%x %llu", &from, &to, &offset, &major, &minor, &ino) != 6)
            continue;
        if (at < from || at >= to || ino == 0) continue;
        device = (static_cast<unsigned long long>(major) << 32) | minor;
        inode = ino;
        found = true;
    }
    std::free(line);
    std::fclose(maps);
    return found;
}

/* A child made by fork() inherits the mapping and the descriptor, but a
 * flock belongs to the open file, which the child shares with the parent:
 * the child needs a lock of its own, so that each process counts once.  It
 * is taken before the fork, so that the parent cannot leave in between and
 * find itself the last one out; the parent then lets go of its copy.  The
 * three steps run on the thread that forks, so each thread keeps its own. */
thread_local int g_forkFd = -1;

void before_fork()
{
    g_forkFd = -1;
    if (g_mapped == nullptr) return;
    const int fd = shm_open(g_name, O_RDWR, 0);
    if (fd < 0) return;
    if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
        close(fd);
        return;
    }
    g_forkFd = fd;
}

void after_fork_in_parent()
{
    if (g_forkFd >= 0) close(g_forkFd);
    g_forkFd = -1;
}

void after_fork_in_child()
{
    if (g_forkFd < 0) return;
    close(g_fd);
    g_fd = g_forkFd;
    g_forkFd = -1;
}

} // namespace

SharedBlock *shared_block()
{
    return g_mapped != nullptr ? g_mapped : &g_local;
}

void shared_attach()
{
    if (g_mapped != nullptr) return;
    unsigned long long device = 0, inode = 0;
    if (!mapped_file(reinterpret_cast<const void *>(&shared_attach), device, inode)) return;
    std::snprintf(g_name, sizeof g_name, "/kvx-transfer-%u-%llx-%llx", static_cast<unsigned>(geteuid()), device,
                  inode);

    const int lock = take_attach_lock();
    if (lock < 0) return;
    const int fd = open_object(g_name);
    void *memory = MAP_FAILED;
    if (fd >= 0) {
        struct stat st;
        const bool sized = fstat(fd, &st) == 0 &&
                           (st.st_size >= static_cast<off_t>(sizeof(SharedBlock)) ||
                            ftruncate(fd, sizeof(SharedBlock)) == 0);
        if (sized) memory = mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (memory != MAP_FAILED) {
        /* Alone: whatever is there was left by processes that have ended. */
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) std::memset(memory, 0, sizeof(SharedBlock));
        if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
            g_mapped = static_cast<SharedBlock *>(memory);
            g_fd = fd;
        } else {
            munmap(memory, sizeof(SharedBlock));
        }
    }
    if (g_mapped == nullptr && fd >= 0) close(fd);
    release_attach_lock(lock);
    if (g_mapped != nullptr && !g_forkHandlers)
        g_forkHandlers = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
}

void shared_detach()
{
    if (g_mapped == nullptr) return;
    const int lock = take_attach_lock();
    /* The last one out removes the name; the next process makes it anew. */
    if (lock >= 0 && flock(g_fd, LOCK_EX | LOCK_NB) == 0) shm_unlink(g_name);
    munmap(g_mapped, sizeof(SharedBlock));
    close(g_fd);
    g_mapped = nullptr;
    g_fd = -1;
    if (lock >= 0) release_attach_lock(lock);
}

#endif

} // namespace transfer
} // namespace kvx
