/*
 * Window messages with Windows meaning.
 *
 * - Every thread that takes part has a message queue of its own: posted
 *   messages in order, messages sent to it by other threads, and the quit
 *   flag of PostQuitMessage.
 * - A window belongs to the thread that created it.  PostMessageA queues on
 *   that thread; SendMessageA from that thread calls the procedure at once,
 *   from another thread it queues the message as sent and waits until the
 *   owner takes it in GetMessageA or PeekMessageA.  While it waits, the
 *   sender's thread takes the messages sent to it in turn, so that two
 *   threads that send to each other do not deadlock.
 * - GetMessageA and PeekMessageA first call the procedures for all sent
 *   messages, then look for a posted message that passes the filter, then
 *   for WM_QUIT, which they return whatever the filter is, and last for a
 *   due timer.
 * - A timer is no message in the queue: WM_TIMER is made when it is taken,
 *   and the timer is due again one interval after that.  So a timer that
 *   is late has one WM_TIMER pending, not many.  GetMessageA sleeps until
 *   the first timer is due.
 * - When a thread ends, its windows go and its pending sent messages are
 *   answered with 0.
 * - A window made with a class name and a title stands for a top-level
 *   window of the host's: FindWindowA finds it, in this process only.
 */
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <strings.h>
#include <string>
#include <vector>

#include "objects.h"

namespace {

using Clock = std::chrono::steady_clock;

struct ThreadQueue;

struct SentMessage {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::shared_ptr<ThreadQueue> sender;
    LRESULT result = 0;
    bool done = false; /* guarded by sender->lock */
};

struct Timer {
    HWND window;
    UINT_PTR id;
    Clock::duration interval;
    Clock::time_point due;
};

struct ThreadQueue {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<MSG> posted;          /* guarded by lock */
    std::deque<SentMessage *> sent;  /* guarded by lock */
    bool quit = false;               /* guarded by lock */
    int quitCode = 0;                /* guarded by lock */
    bool ended = false;              /* guarded by lock: the thread has ended */
    std::vector<Timer> timers;       /* guarded by lock */
    std::vector<HWND> windows;       /* guarded by g_windows_lock */
};

struct WindowObject : posix::Object {
    WNDPROC proc;
    void *user;
    std::shared_ptr<ThreadQueue> owner;
    bool hasClass = false; /* made by create_class_window: FindWindowA sees it */
    std::string className;
    std::string title;
};

/* Guards creating, destroying and looking up windows. */
std::mutex g_windows_lock;
/* The windows with a class, in the order they were made; guarded by
 * g_windows_lock. */
std::vector<WindowObject *> g_class_windows;

void end_queue(const std::shared_ptr<ThreadQueue> &queue);

/* The calling thread's queue, made on first use and ended with the thread. */
struct QueueHolder {
    std::shared_ptr<ThreadQueue> queue;
    ~QueueHolder()
    {
        if (queue) end_queue(queue);
    }
};
thread_local QueueHolder t_queue;
/* Whether this thread made its queue.  A plain flag: looking at it sets up
 * nothing, so that a thread that never had a queue can end while the
 * library is being unloaded (setting up t_queue would wait for the loader,
 * which waits for the thread). */
thread_local bool t_has_queue = false;

const std::shared_ptr<ThreadQueue> &own_queue()
{
    if (!t_queue.queue) t_queue.queue = std::make_shared<ThreadQueue>();
    t_has_queue = true;
    return t_queue.queue;
}

/* What a message needs of a window, copied out under the lock. */
struct WindowRef {
    WNDPROC proc = nullptr;
    void *user = nullptr;
    std::shared_ptr<ThreadQueue> owner;
};

bool find_window(HWND window, WindowRef *ref)
{
    std::lock_guard<std::mutex> guard(g_windows_lock);
    if (posix::object_kind(window) != posix::kObjectWindow) return false;
    const auto *object = reinterpret_cast<const WindowObject *>(window);
    ref->proc = object->proc;
    ref->user = object->user;
    ref->owner = object->owner;
    return true;
}

/* Unregisters and frees a window; g_windows_lock is held. */
void remove_window(HWND window)
{
    auto *object = reinterpret_cast<WindowObject *>(window);
    if (object->hasClass) {
        for (auto it = g_class_windows.begin(); it != g_class_windows.end(); ++it) {
            if (*it == object) {
                g_class_windows.erase(it);
                break;
            }
        }
    }
    posix::unregister_object(object);
    delete object;
}

DWORD tick_count()
{
    using namespace std::chrono;
    return static_cast<DWORD>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

LRESULT call_window(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    WindowRef ref;
    if (!find_window(window, &ref)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return ref.proc(window, message, wParam, lParam);
}

/* Calls the procedure for a message sent by another thread and answers it. */
void answer(SentMessage *sent)
{
    const LRESULT result = call_window(sent->window, sent->message, sent->wParam, sent->lParam);
    std::shared_ptr<ThreadQueue> sender = sent->sender; /* `sent` may go once it is done */
    std::lock_guard<std::mutex> guard(sender->lock);
    sent->result = result;
    sent->done = true;
    sender->wake.notify_all();
}

/* Takes the messages sent to the queue's thread, one by one, with the lock
 * released while each procedure runs. */
void take_sent(ThreadQueue &queue, std::unique_lock<std::mutex> &lock)
{
    while (!queue.sent.empty()) {
        SentMessage *sent = queue.sent.front();
        queue.sent.pop_front();
        lock.unlock();
        answer(sent);
        lock.lock();
    }
}

bool passes(const MSG &msg, HWND window, UINT first, UINT last)
{
    if (window == reinterpret_cast<HWND>(static_cast<intptr_t>(-1))) {
        if (msg.hwnd != nullptr) return false;
    } else if (window != nullptr && msg.hwnd != window) {
        return false;
    }
    if (first == 0 && last == 0) return true;
    return msg.message >= first && msg.message <= last;
}

/* A posted message that passes the filter, else WM_QUIT when it is due;
 * the queue's lock is held. */
bool take_posted(ThreadQueue &queue, LPMSG msg, HWND window, UINT first, UINT last, bool remove)
{
    for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
        if (!passes(*it, window, first, last)) continue;
        *msg = *it;
        if (remove) queue.posted.erase(it);
        return true;
    }
    if (queue.quit) {
        *msg = MSG{};
        msg->message = WM_QUIT;
        msg->wParam = static_cast<WPARAM>(static_cast<intptr_t>(queue.quitCode));
        msg->time = tick_count();
        if (remove) queue.quit = false;
        return true;
    }
    return false;
}

/* WM_TIMER of the due timer that passes the filter and was due first.  When
 * none is due, `next` is when the first one that passes will be (max: none
 * passes).  The queue's lock is held. */
bool take_timer(ThreadQueue &queue, LPMSG msg, HWND window, UINT first, UINT last, bool remove,
                Clock::time_point *next)
{
    *next = Clock::time_point::max();
    Timer *earliest = nullptr;
    for (Timer &timer : queue.timers) {
        MSG probe{};
        probe.hwnd = timer.window;
        probe.message = WM_TIMER;
        if (passes(probe, window, first, last) && (earliest == nullptr || timer.due < earliest->due))
            earliest = &timer;
    }
    if (earliest == nullptr) return false;
    const Clock::time_point now = Clock::now();
    if (earliest->due > now) {
        *next = earliest->due;
        return false;
    }
    *msg = MSG{};
    msg->hwnd = earliest->window;
    msg->message = WM_TIMER;
    msg->wParam = earliest->id;
    msg->time = tick_count();
    if (remove) earliest->due = now + earliest->interval;
    return true;
}

void remove_timers(ThreadQueue &queue, HWND window)
{
    std::lock_guard<std::mutex> guard(queue.lock);
    auto &timers = queue.timers;
    for (auto it = timers.begin(); it != timers.end();) it = it->window == window ? timers.erase(it) : it + 1;
}

bool post_to(ThreadQueue &queue, HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    MSG msg{};
    msg.hwnd = window;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = tick_count();
    std::lock_guard<std::mutex> guard(queue.lock);
    if (queue.ended) return false;
    queue.posted.push_back(msg);
    queue.wake.notify_all();
    return true;
}

/* A filter window must be a window (or the thread-message filter). */
bool filter_is_valid(HWND window)
{
    if (window == nullptr || window == reinterpret_cast<HWND>(static_cast<intptr_t>(-1))) return true;
    if (IsWindow(window)) return true;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
}

void end_queue(const std::shared_ptr<ThreadQueue> &queue)
{
    {
        std::lock_guard<std::mutex> guard(g_windows_lock);
        for (HWND window : queue->windows) remove_window(window);
        queue->windows.clear();
    }
    std::deque<SentMessage *> pending;
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        queue->ended = true;
        queue->posted.clear();
        queue->timers.clear();
        pending.swap(queue->sent);
    }
    for (SentMessage *sent : pending) {
        std::shared_ptr<ThreadQueue> sender = sent->sender;
        std::lock_guard<std::mutex> guard(sender->lock);
        sent->result = 0;
        sent->done = true;
        sender->wake.notify_all();
    }
}

} // namespace

namespace posix {

namespace {

HWND make_window(WNDPROC proc, void *user, const char *className, const char *title)
{
    if (proc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto *object = new (std::nothrow) WindowObject;
    if (object == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    object->kind = kObjectWindow;
    object->proc = proc;
    object->user = user;
    object->owner = own_queue();
    if (className != nullptr) {
        object->hasClass = true;
        object->className = className;
        object->title = title != nullptr ? title : "";
    }
    HWND window = reinterpret_cast<HWND>(object);
    std::lock_guard<std::mutex> guard(g_windows_lock);
    object->owner->windows.push_back(window);
    if (object->hasClass) g_class_windows.push_back(object);
    register_object(object);
    return window;
}

} // namespace

HWND create_window(WNDPROC proc, void *user)
{
    return make_window(proc, user, nullptr, nullptr);
}

HWND create_class_window(const char *className, const char *title, WNDPROC proc, void *user)
{
    if (className == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return make_window(proc, user, className, title);
}

bool destroy_window(HWND window)
{
    {
        std::lock_guard<std::mutex> guard(g_windows_lock);
        if (object_kind(window) != kObjectWindow) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return false;
        }
        auto *object = reinterpret_cast<WindowObject *>(window);
        if (object->owner != t_queue.queue) {
            SetLastError(ERROR_ACCESS_DENIED); /* only its own thread destroys a window */
            return false;
        }
        auto &windows = object->owner->windows;
        for (auto it = windows.begin(); it != windows.end(); ++it) {
            if (*it == window) {
                windows.erase(it);
                break;
            }
        }
        remove_window(window);
    }
    remove_timers(*t_queue.queue, window); /* the window was this thread's */
    return true;
}

void *window_user(HWND window)
{
    WindowRef ref;
    if (!find_window(window, &ref)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return ref.user;
}

bool window_of_this_thread(HWND window)
{
    WindowRef ref;
    return find_window(window, &ref) && ref.owner == t_queue.queue;
}

void end_thread_messages()
{
    if (!t_has_queue || !t_queue.queue) return;
    end_queue(t_queue.queue);
    t_queue.queue.reset();
}

} // namespace posix

HWND WINAPI FindWindowA(LPCSTR className, LPCSTR windowName)
{
    std::lock_guard<std::mutex> guard(g_windows_lock);
    for (auto it = g_class_windows.rbegin(); it != g_class_windows.rend(); ++it) {
        const WindowObject *object = *it;
        if (className != nullptr && strcasecmp(object->className.c_str(), className) != 0) continue;
        if (windowName != nullptr && strcasecmp(object->title.c_str(), windowName) != 0) continue;
        return reinterpret_cast<HWND>(*it);
    }
    return nullptr;
}

BOOL WINAPI IsWindow(HWND window)
{
    return posix::object_kind(window) == posix::kObjectWindow ? TRUE : FALSE;
}

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (window == nullptr) {
        /* As PostThreadMessage to the calling thread. */
        post_to(*own_queue(), nullptr, message, wParam, lParam);
        return TRUE;
    }
    WindowRef ref;
    if (!find_window(window, &ref) || !post_to(*ref.owner, window, message, wParam, lParam)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    WindowRef ref;
    if (!find_window(window, &ref)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (ref.owner == t_queue.queue) return ref.proc(window, message, wParam, lParam);

    const std::shared_ptr<ThreadQueue> &mine = own_queue();
    SentMessage sent;
    sent.window = window;
    sent.message = message;
    sent.wParam = wParam;
    sent.lParam = lParam;
    sent.sender = mine;
    {
        std::lock_guard<std::mutex> guard(ref.owner->lock);
        if (ref.owner->ended) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        ref.owner->sent.push_back(&sent);
        ref.owner->wake.notify_all();
    }
    std::unique_lock<std::mutex> lock(mine->lock);
    while (!sent.done) {
        if (!mine->sent.empty()) {
            take_sent(*mine, lock);
            continue;
        }
        mine->wake.wait(lock);
    }
    return sent.result;
}

BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT first, UINT last, UINT remove)
{
    if (msg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!filter_is_valid(window)) return FALSE;
    ThreadQueue &queue = *own_queue();
    std::unique_lock<std::mutex> lock(queue.lock);
    take_sent(queue, lock);
    const bool take = (remove & PM_REMOVE) != 0;
    if (take_posted(queue, msg, window, first, last, take)) return TRUE;
    Clock::time_point next;
    return take_timer(queue, msg, window, first, last, take, &next) ? TRUE : FALSE;
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT first, UINT last)
{
    if (msg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!filter_is_valid(window)) return -1;
    ThreadQueue &queue = *own_queue();
    std::unique_lock<std::mutex> lock(queue.lock);
    for (;;) {
        take_sent(queue, lock);
        if (take_posted(queue, msg, window, first, last, true)) return msg->message == WM_QUIT ? FALSE : TRUE;
        Clock::time_point next;
        if (take_timer(queue, msg, window, first, last, true, &next)) return TRUE;
        if (next == Clock::time_point::max()) queue.wake.wait(lock);
        else queue.wake.wait_until(lock, next);
    }
}

BOOL WINAPI TranslateMessage(const MSG *)
{
    return FALSE; /* there are no key messages to translate */
}

LRESULT WINAPI DispatchMessageA(const MSG *msg)
{
    if (msg == nullptr || msg->hwnd == nullptr) return 0;
    return call_window(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void WINAPI PostQuitMessage(int exitCode)
{
    ThreadQueue &queue = *own_queue();
    std::lock_guard<std::mutex> guard(queue.lock);
    queue.quit = true;
    queue.quitCode = exitCode;
    queue.wake.notify_all();
}

UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR id, UINT ms, TIMERPROC proc)
{
    if (proc != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER); /* timer procedures are not called: WM_TIMER only */
        return 0;
    }
    if (!posix::window_of_this_thread(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE); /* timers without a window are not kept either */
        return 0;
    }
    ms = ms < USER_TIMER_MINIMUM ? USER_TIMER_MINIMUM : ms > USER_TIMER_MAXIMUM ? USER_TIMER_MAXIMUM : ms;
    const Clock::duration interval = std::chrono::milliseconds(ms);
    ThreadQueue &queue = *own_queue();
    std::lock_guard<std::mutex> guard(queue.lock);
    bool replaced = false;
    for (Timer &timer : queue.timers) {
        if (timer.window == window && timer.id == id) {
            timer.interval = interval;
            timer.due = Clock::now() + interval;
            replaced = true;
        }
    }
    if (!replaced) queue.timers.push_back(Timer{window, id, interval, Clock::now() + interval});
    return id != 0 ? id : 1; /* success is never 0 */
}

BOOL WINAPI KillTimer(HWND window, UINT_PTR id)
{
    if (!posix::window_of_this_thread(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    ThreadQueue &queue = *own_queue();
    std::lock_guard<std::mutex> guard(queue.lock);
    for (auto it = queue.timers.begin(); it != queue.timers.end(); ++it) {
        if (it->window == window && it->id == id) {
            queue.timers.erase(it);
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}
