/*
 * Threads: creating and waiting for them, identifiers, priorities, Sleep.
 *
 * CreateThread runs the routine on a thread of its own, which has its own
 * message queue like any other.  The handle is the caller's view of the
 * thread: closing it does not stop the thread, and the thread's exit code
 * stays with the handle until the handle is closed.  The thread's windows
 * end with its routine, before the handle is signalled.  Only such handles
 * can be waited for.  The stack size is the system's.
 *
 * A thread priority is kept per thread as Windows reports it back, and is
 * passed on to the system as the thread's nice value where that is allowed
 * (raising a priority usually is not, for a plain user): setting one never
 * fails for lack of permission.
 */
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
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

/* What a thread leaves behind: kept by the thread and by its handle. */
struct ThreadState {
    std::mutex lock;
    std::condition_variable ended;
    bool running = true;           /* guarded by lock */
    DWORD exitCode = STILL_ACTIVE; /* guarded by lock */
};

struct ThreadObject : posix::Object {
    std::shared_ptr<ThreadState> state;
    /* Joined by a wait that sees the thread end, so that a signalled handle
     * means, as on Windows, that the thread runs no more of anyone's code
     * (a library may be unloaded then); detached when the handle closes
     * first. */
    std::thread thread;
};

/* Guards looking up and closing thread handles, so that a handle that one
 * thread closes is not used after it went by another. */
std::mutex g_threads_lock;

std::shared_ptr<ThreadState> state_of(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(g_threads_lock);
    if (posix::object_kind(handle) != posix::kObjectThread) return nullptr;
    return static_cast<ThreadObject *>(static_cast<posix::Object *>(handle))->state;
}

void run_thread(std::shared_ptr<ThreadState> state, LPTHREAD_START_ROUTINE start, LPVOID param, DWORD id)
{
    t_thread_id = id;
    const DWORD code = start(param);
    posix::end_thread_messages();
    std::lock_guard<std::mutex> guard(state->lock);
    state->exitCode = code;
    state->running = false;
    state->ended.notify_all();
}

} // namespace

namespace posix {

bool close_thread(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(g_threads_lock);
    if (object_kind(handle) != kObjectThread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    auto *object = static_cast<ThreadObject *>(static_cast<Object *>(handle));
    unregister_object(object);
    if (object->thread.joinable()) object->thread.detach();
    delete object;
    return true;
}

} // namespace posix

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID param, DWORD flags,
                           LPDWORD id)
{
    if (start == nullptr || flags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER); /* CREATE_SUSPENDED and the like are not done */
        return nullptr;
    }
    auto *object = new (std::nothrow) ThreadObject;
    if (object == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const DWORD threadId = g_next_thread_id.fetch_add(1);
    try {
        object->state = std::make_shared<ThreadState>();
        object->thread = std::thread(run_thread, object->state, start, param, threadId);
    } catch (...) {
        delete object;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    object->kind = posix::kObjectThread;
    posix::register_object(object);
    if (id != nullptr) *id = threadId;
    return static_cast<posix::Object *>(object);
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD code)
{
    std::shared_ptr<ThreadState> state = state_of(thread);
    if (!state || code == nullptr) {
        SetLastError(!state ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(state->lock);
    *code = state->exitCode;
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD ms)
{
    std::shared_ptr<ThreadState> state = state_of(handle);
    if (!state) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    {
        std::unique_lock<std::mutex> lock(state->lock);
        const auto ended = [&state] { return !state->running; };
        if (ms == INFINITE) state->ended.wait(lock, ended);
        else if (!state->ended.wait_for(lock, std::chrono::milliseconds(ms), ended)) return WAIT_TIMEOUT;
    }
    /* The thread's function has returned; the wait ends once the thread has. */
    std::lock_guard<std::mutex> guard(g_threads_lock);
    if (posix::object_kind(handle) == posix::kObjectThread) {
        auto *object = static_cast<ThreadObject *>(static_cast<posix::Object *>(handle));
        if (object->thread.joinable() && object->thread.get_id() != std::this_thread::get_id()) object->thread.join();
    }
    return WAIT_OBJECT_0;
}

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

DWORD WINAPI GetCurrentProcessId(void)
{
    return static_cast<DWORD>(getpid());
}
