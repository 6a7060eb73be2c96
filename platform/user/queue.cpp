// Window handles and the per-thread message queues.
//
// Every thread gets a queue the first time it calls one of these functions,
// as on Windows. Any thread may post; only the owning thread reads its queue.
// Window timers live in the queue of the window's thread too.
#include <windows.h>

#include <stdint.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "toolkit/os_window.h"
#include "user/internal.h"

namespace {

// Windows refuses further posts to a queue holding this many messages.
constexpr size_t kPostedMessageLimit = 10000;

// GetMessage/PeekMessage filter that selects thread messages (hwnd NULL) only.
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(intptr_t{-1});

// Handles count up from here and are never reused, so a stale handle can
// never reach a newer window. They stay clear of the small values and -1..-3
// that Win32 gives special meanings.
constexpr uintptr_t kFirstHandle = 0x10000;
constexpr uintptr_t kHandleStep = 4;

using Clock = std::chrono::steady_clock;

// A window's timer. Its WM_TIMER is not queued: like Windows, GetMessage and
// PeekMessage make one when nothing posted is waiting and the timer is due,
// so a reader who comes late gets one message, not one per period missed.
struct Timer {
    HWND hwnd;
    UINT_PTR id;
    Clock::duration interval;
    Clock::time_point due; // when the next WM_TIMER may be made
};

struct ThreadQueue {
    DWORD thread_id = 0;
    std::mutex lock;
    std::condition_variable posted;
    std::deque<MSG> messages;
    bool quit_pending = false; // PostQuitMessage's flag; not a queued message
    int quit_code = 0;
    bool serves_toolkit = false; // the window thread: waits also run toolkit events
    std::vector<Timer> timers;   // of this thread's windows
};

struct Window {
    ThreadQueue* queue = nullptr; // the creating thread's; its messages go there
    // Dialogs and controls keep their state here (user/internal.h); null for
    // message-only windows.
    void* object = nullptr;
};

// Queues and windows of the process. A queue is taken out of both tables
// (under `lock`) before its thread frees it, so a queue found here stays valid
// while `lock` is held. Lock order: `lock`, then a queue's lock.
struct Registry {
    std::mutex lock;
    std::unordered_map<DWORD, ThreadQueue*> queues;
    std::unordered_map<HWND, Window> windows;
    uintptr_t next_handle = kFirstHandle;
};

Registry& registry() {
    // Never destroyed: threads still running at exit may post after static
    // destructors have run.
    static Registry* const instance = new Registry;
    return *instance;
}

// Owns the calling thread's queue. When the thread ends, its queue and its
// windows go away with it, as on Windows.
struct QueueOwner {
    std::unique_ptr<ThreadQueue> queue;

    ~QueueOwner() {
        if (!queue) {
            return;
        }
        Registry& reg = registry();
        std::lock_guard guard(reg.lock);
        auto it = reg.queues.find(queue->thread_id);
        if (it != reg.queues.end() && it->second == queue.get()) {
            reg.queues.erase(it);
        }
        std::erase_if(reg.windows,
                      [this](const auto& entry) { return entry.second.queue == queue.get(); });
    }
};

thread_local QueueOwner this_thread;

ThreadQueue& current_queue() {
    if (!this_thread.queue) {
        auto queue = std::make_unique<ThreadQueue>();
        queue->thread_id = GetCurrentThreadId();
        Registry& reg = registry();
        std::lock_guard guard(reg.lock);
        reg.queues[queue->thread_id] = queue.get();
        this_thread.queue = std::move(queue);
    }
    return *this_thread.queue;
}

// Milliseconds of a monotonic clock, wrapping like GetTickCount.
DWORD tick_count() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                              static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

// Wakes the thread blocked in wait_for_posted_message on `queue`, if any.
// Caller holds queue.lock.
void wake_queue_owner(ThreadQueue& queue) {
    queue.posted.notify_one();
    if (queue.serves_toolkit) {
        os_wake();
    }
}

// The one place a thread blocks for its queue; `held` holds queue.lock and
// still does on return, which may be spurious. It returns by `deadline` at
// the latest (Clock::time_point::max(): no timer to wait for). The window
// thread sleeps in the toolkit instead, until a message is posted (os_wake),
// the deadline comes or the toolkit has run an event, whose handlers may send
// messages and post to this queue.
void wait_for_posted_message(ThreadQueue& queue, std::unique_lock<std::mutex>& held,
                             Clock::time_point deadline) {
    const bool forever = deadline == Clock::time_point::max();
    if (!queue.serves_toolkit) {
        if (forever) {
            queue.posted.wait(held);
        } else {
            queue.posted.wait_until(held, deadline);
        }
        return;
    }
    held.unlock();
    if (forever) {
        os_wait_events();
    } else {
        // Rounded up: waking a little early would only come back here.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        os_wait_events_for(
            static_cast<unsigned>(std::clamp<int64_t>(left.count(), 0, USER_TIMER_MAXIMUM)));
    }
    held.lock();
}

BOOL post_to(ThreadQueue& queue, HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    std::lock_guard guard(queue.lock);
    if (queue.messages.size() >= kPostedMessageLimit) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    queue.messages.push_back(MSG{hwnd, message, wparam, lparam, tick_count(), POINT{0, 0}});
    wake_queue_owner(queue);
    return TRUE;
}

bool passes_filter(HWND msg_hwnd, UINT message, HWND hwnd, UINT filter_min, UINT filter_max) {
    if (hwnd == kThreadMessagesOnly) {
        if (msg_hwnd) {
            return false;
        }
    } else if (hwnd && msg_hwnd != hwnd) {
        return false;
    }
    if (filter_min == 0 && filter_max == 0) {
        return true;
    }
    return message >= filter_min && message <= filter_max;
}

bool passes_filter(const MSG& msg, HWND hwnd, UINT filter_min, UINT filter_max) {
    return passes_filter(msg.hwnd, msg.message, hwnd, filter_min, filter_max);
}

// When the first timer whose WM_TIMER would pass the filter falls due; max()
// when there is none. Timers the filter excludes must not set the deadline:
// one that is due would end every wait at once.
Clock::time_point next_timer_due(const ThreadQueue& queue, HWND hwnd, UINT filter_min,
                                 UINT filter_max) {
    Clock::time_point first = Clock::time_point::max();
    for (const Timer& timer : queue.timers) {
        if (passes_filter(timer.hwnd, WM_TIMER, hwnd, filter_min, filter_max)) {
            first = std::min(first, timer.due);
        }
    }
    return first;
}

// A WM_TIMER from the timer that passes the filter and has been due longest.
// Taking it moves the timer to its first period still ahead, so the beat stays
// the timer's own whenever it is read.
bool take_timer_message(ThreadQueue& queue, MSG* msg, HWND hwnd, UINT filter_min, UINT filter_max,
                        bool remove) {
    const Clock::time_point now = Clock::now();
    Timer* chosen = nullptr;
    for (Timer& timer : queue.timers) {
        if (timer.due <= now && (!chosen || timer.due < chosen->due) &&
            passes_filter(timer.hwnd, WM_TIMER, hwnd, filter_min, filter_max)) {
            chosen = &timer;
        }
    }
    if (!chosen) {
        return false;
    }
    *msg = MSG{chosen->hwnd, WM_TIMER, chosen->id, 0, tick_count(), POINT{0, 0}};
    if (remove) {
        chosen->due += ((now - chosen->due) / chosen->interval + 1) * chosen->interval;
    }
    return true;
}

// Null, -1 and existing windows (of any thread) are accepted as filters.
bool is_valid_filter(HWND hwnd) {
    if (!hwnd || hwnd == kThreadMessagesOnly) {
        return true;
    }
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    return reg.windows.contains(hwnd);
}

// The first posted message that passes the filter; failing that, the quit
// flag, which Windows reports whatever the filter; failing that, a due timer.
bool take_message(ThreadQueue& queue, MSG* msg, HWND hwnd, UINT filter_min, UINT filter_max,
                  bool remove) {
    for (auto it = queue.messages.begin(); it != queue.messages.end(); ++it) {
        if (passes_filter(*it, hwnd, filter_min, filter_max)) {
            *msg = *it;
            if (remove) {
                queue.messages.erase(it);
            }
            return true;
        }
    }
    if (queue.quit_pending) {
        *msg =
            MSG{nullptr, WM_QUIT,      static_cast<WPARAM>(static_cast<intptr_t>(queue.quit_code)),
                0,       tick_count(), POINT{0, 0}};
        if (remove) {
            queue.quit_pending = false;
        }
        return true;
    }
    return take_timer_message(queue, msg, hwnd, filter_min, filter_max, remove);
}

} // namespace

HWND queue_add_window(void* object) {
    ThreadQueue& queue = current_queue();
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    const HWND hwnd = reinterpret_cast<HWND>(reg.next_handle);
    reg.next_handle += kHandleStep;
    reg.windows.emplace(hwnd, Window{&queue, object});
    return hwnd;
}

void* queue_window_object(HWND hwnd) {
    if (!hwnd) {
        return nullptr;
    }
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    auto it = reg.windows.find(hwnd);
    if (it == reg.windows.end() || it->second.queue != this_thread.queue.get()) {
        return nullptr;
    }
    return it->second.object;
}

bool queue_remove_window(HWND hwnd) {
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    auto it = reg.windows.find(hwnd);
    if (it == reg.windows.end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    ThreadQueue* queue = it->second.queue;
    if (queue != this_thread.queue.get()) {
        // Windows refuses to destroy another thread's window.
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    reg.windows.erase(it);
    // Posts and SetTimer take the registry lock first, so none can slip in
    // between. The window's timers end with it, as on Windows.
    std::lock_guard queue_guard(queue->lock);
    std::erase_if(queue->messages, [hwnd](const MSG& msg) { return msg.hwnd == hwnd; });
    std::erase_if(queue->timers, [hwnd](const Timer& timer) { return timer.hwnd == hwnd; });
    return true;
}

void queue_serve_toolkit() {
    ThreadQueue& queue = current_queue();
    std::lock_guard guard(queue.lock);
    queue.serves_toolkit = true;
}

void queue_post_input(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    ThreadQueue& queue = current_queue();
    std::lock_guard guard(queue.lock);
    queue.messages.push_back(MSG{hwnd, message, wparam, lparam, tick_count(), POINT{0, 0}});
    wake_queue_owner(queue);
}

// Message-only windows here; dialogs and their controls come from
// CreateDialogParamW (user/dialog.cpp).
HWND CreateWindowExW(DWORD /*ex_style*/, LPCWSTR class_name, LPCWSTR /*window_name*/,
                     DWORD /*style*/, int /*x*/, int /*y*/, int /*width*/, int /*height*/,
                     HWND parent, HMENU /*menu*/, HINSTANCE /*instance*/, LPVOID /*param*/) {
    if (parent != HWND_MESSAGE) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    // The class name may be an atom rather than a string, so it is only
    // checked for presence, never read.
    if (!class_name) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    return queue_add_window(nullptr);
}

BOOL IsWindow(HWND hwnd) {
    if (!hwnd) {
        return FALSE;
    }
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    return reg.windows.contains(hwnd) ? TRUE : FALSE;
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (!hwnd) {
        // A thread message to the caller's own queue, as on Windows.
        return post_to(current_queue(), nullptr, message, wparam, lparam);
    }
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    auto it = reg.windows.find(hwnd);
    if (it == reg.windows.end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return post_to(*it->second.queue, hwnd, message, wparam, lparam);
}

// Fails for a thread that has no queue yet, as on Windows: the receiver must
// have called a queue function (PeekMessage, say) before others post to it.
BOOL PostThreadMessageW(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam) {
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    auto it = reg.queues.find(thread_id);
    if (it == reg.queues.end()) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return post_to(*it->second, nullptr, message, wparam, lparam);
}

void PostQuitMessage(int exit_code) {
    ThreadQueue& queue = current_queue();
    std::lock_guard guard(queue.lock);
    queue.quit_pending = true;
    queue.quit_code = exit_code;
    // No wake: only this thread reads its queue, and it is not waiting.
}

BOOL GetMessageW(LPMSG msg, HWND hwnd, UINT filter_min, UINT filter_max) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!is_valid_filter(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    ThreadQueue& queue = current_queue();
    // The window thread's input and drawing wait in the toolkit, not in this
    // queue, and come first: a thread that always finds a message here (a
    // timer due again by the time its handler returns, a steady stream of
    // posts on a slow machine) would otherwise never show or draw its window.
    // Only this thread sets serves_toolkit, so it reads it unlocked.
    if (queue.serves_toolkit) {
        os_run_ready_events();
    }
    std::unique_lock held(queue.lock);
    while (!take_message(queue, msg, hwnd, filter_min, filter_max, true)) {
        wait_for_posted_message(queue, held, next_timer_due(queue, hwnd, filter_min, filter_max));
    }
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageW(LPMSG msg, HWND hwnd, UINT filter_min, UINT filter_max, UINT remove) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!is_valid_filter(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    ThreadQueue& queue = current_queue();
    std::lock_guard guard(queue.lock);
    return take_message(queue, msg, hwnd, filter_min, filter_max, (remove & PM_REMOVE) != 0)
               ? TRUE
               : FALSE;
}

// Window timers without a procedure, which is all the program uses. As on
// Windows, the timer belongs to the window's thread, whichever thread sets it
// (Windows documents the caller as the owner, but accepts any thread of the
// process), and WM_TIMER shows up in that thread's queue.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse_ms, TIMERPROC procedure) {
    if (!hwnd) {
        // No thread timers: nothing here would hand them out.
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return 0;
    }
    const auto interval =
        std::chrono::milliseconds(std::clamp(elapse_ms, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM));
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    auto it = reg.windows.find(hwnd);
    if (it == reg.windows.end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (procedure) {
        // DispatchMessageW never calls a timer procedure.
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return 0;
    }
    ThreadQueue& queue = *it->second.queue;
    std::lock_guard queue_guard(queue.lock);
    const Clock::time_point due = Clock::now() + interval;
    auto timer = std::find_if(queue.timers.begin(), queue.timers.end(),
                              [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (timer != queue.timers.end()) {
        // Replaced and started again: a WM_TIMER that was due is not made.
        timer->interval = interval;
        timer->due = due;
    } else {
        queue.timers.push_back(Timer{hwnd, id, interval, due});
    }
    if (&queue != this_thread.queue.get()) {
        // Its thread may be waiting with no deadline or a later one.
        wake_queue_owner(queue);
    }
    // Nonzero on success even for id 0, as Windows returns.
    return id ? id : 1;
}

// A WM_TIMER is made only when it is read, so a killed timer gives none, not
// even one that was due and not yet read, as on Windows.
BOOL KillTimer(HWND hwnd, UINT_PTR id) {
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    auto it = reg.windows.find(hwnd);
    if (it == reg.windows.end()) {
        if (hwnd) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        }
        return FALSE;
    }
    ThreadQueue& queue = *it->second.queue;
    std::lock_guard queue_guard(queue.lock);
    // An unknown timer leaves the last error as it was, as on Windows.
    return std::erase_if(queue.timers,
                         [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; }) != 0
               ? TRUE
               : FALSE;
}
