/*
 * Threads: identifiers, priorities, Sleep.
 *
 * A thread priority is kept per thread as Windows reports it back, and is
 * passed on to the system as the thread's nice value where that is allowed
 * (raising a priority usually is not, for a plain user): setting one never
 * fails for lack of permission.
 */
#include <atomic>
#include <cerrno>
#include <chrono>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif

#include "objects.h"

namespace {

/* GetCurrentThread's pseudo handle, as on Windows. */
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

std::atomic<DWORD> g_next_thread_id{1};
thread_local DWORD t_thread_id = 0;
thread_local int t_priority = THREAD_PRIORITY_NORMAL;
thread_local bool t_base_known = false;
thread_local int t_base_nice = 0;

bool valid_priority(int priority)
{
    return (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST) ||
           priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL;
}

/* The nice value, relative to the thread's own at first use, for a priority. */
int nice_offset(int priority)
{
    switch (priority) {
    case THREAD_PRIORITY_IDLE: return 19;
    case THREAD_PRIORITY_LOWEST: return 10;
    case THREAD_PRIORITY_BELOW_NORMAL: return 5;
    case THREAD_PRIORITY_ABOVE_NORMAL: return -5;
    case THREAD_PRIORITY_HIGHEST: return -10;
    case THREAD_PRIORITY_TIME_CRITICAL: return -20;
    default: return 0;
    }
}

void apply_nice(int priority)
{
#ifdef __linux__
    /* On Linux a nice value belongs to one thread, named by its kernel id. */
    const id_t tid = static_cast<id_t>(syscall(SYS_gettid));
    if (!t_base_known) {
        errno = 0;
        int base = getpriority(PRIO_PROCESS, tid);
        if (errno != 0) return;
        t_base_nice = base;
        t_base_known = true;
    }
    int value = t_base_nice + nice_offset(priority);
    value = value < -20 ? -20 : value > 19 ? 19 : value;
    (void)setpriority(PRIO_PROCESS, tid, value); /* EPERM and EACCES are ignored */
#else
    (void)priority;
#endif
}

} // namespace

DWORD WINAPI GetCurrentThreadId(void)
{
    if (t_thread_id == 0) t_thread_id = g_next_thread_id.fetch_add(1);
    return t_thread_id;
}

HANDLE WINAPI GetCurrentThread(void)
{
    return kCurrentThread;
}

BOOL WINAPI SetThreadPriority(HANDLE thread, int priority)
{
    if (thread != kCurrentThread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!valid_priority(priority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    t_priority = priority;
    apply_nice(priority);
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE thread)
{
    if (thread != kCurrentThread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    return t_priority;
}

void WINAPI Sleep(DWORD milliseconds)
{
    if (milliseconds == 0) std::this_thread::yield();
    else std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
