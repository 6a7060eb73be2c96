// Window handles and the per-thread message queues.
//
// Every thread gets a queue the first time it calls one of these functions,
// as on Windows. Any thread may post; only the owning thread reads its queue.
#include <windows.h>

#include <stdint.h>
#include <time.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "os_window.h"
#include "user_internal.h"

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

struct ThreadQueue {
    DWORD thread_id = 0;
    std::mutex lock;
    std::condition_variable posted;
    std::deque<MSG> messages;
    bool quit_pending = false; // PostQuitMessage's flag; not a queued message
    int quit_code = 0;
    bool serves_toolkit = false; // the window thread: waits also run toolkit events
};

struct Window {
    ThreadQueue* queue = nullptr; // the creating thread's; its messages go there
    // Dialogs and controls keep their state here (user_window.cpp); null for
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
// still does on return, which may be spurious. The window thread sleeps in
// the toolkit instead, until a message is posted (os_wake) or the toolkit has
// run an event, whose handlers may send messages and post to this queue.
void wait_for_posted_message(ThreadQueue& queue, std::unique_lock<std::mutex>& held) {
    if (!queue.serves_toolkit) {
        queue.posted.wait(held);
        return;
    }
    held.unlock();
    os_wait_events();
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

bool passes_filter(const MSG& msg, HWND hwnd, UINT filter_min, UINT filter_max) {
    if (hwnd == kThreadMessagesOnly) {
        if (msg.hwnd) {
            return false;
        }
    } else if (hwnd && msg.hwnd != hwnd) {
        return false;
    }
    if (filter_min == 0 && filter_max == 0) {
        return true;
    }
    return msg.message >= filter_min && msg.message <= filter_max;
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
// flag, which Windows reports whatever the filter.
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
    return false;
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
    // Posts take the registry lock first, so none can slip in between.
    std::lock_guard queue_guard(queue->lock);
    std::erase_if(queue->messages, [hwnd](const MSG& msg) { return msg.hwnd == hwnd; });
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
// CreateDialogParamW (user_window.cpp).
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
    std::unique_lock held(queue.lock);
    while (!take_message(queue, msg, hwnd, filter_min, filter_max, true)) {
        wait_for_posted_message(queue, held);
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
