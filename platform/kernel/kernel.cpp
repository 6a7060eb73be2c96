// Kernel subset: critical sections, events, threads and waits, sleeping,
// thread ids, last error, an audio thread's scheduling class.
#include <windows.h>
#include <avrt.h>
#include <io.h>

#include <fcntl.h>

#include <errno.h>
#include <wchar.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <string>
#include <vector>

#include "kernel/text.h"

namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque),
              "CRITICAL_SECTION's storage must hold a pthread mutex");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION),
              "CRITICAL_SECTION's storage must be aligned for a pthread mutex");

pthread_mutex_t* mutex_in(LPCRITICAL_SECTION cs) {
    return std::launder(reinterpret_cast<pthread_mutex_t*>(cs->opaque.bytes));
}

thread_local DWORD last_error = ERROR_SUCCESS;

} // namespace

// A null section would crash on Windows; here it only sets the last error.
void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    if (!cs) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return;
    }
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    // Initialising a recursive mutex only fills in its fields on glibc, so
    // like Windows since Vista this cannot fail.
    pthread_mutex_init(new (cs->opaque.bytes) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    if (!cs) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return;
    }
    pthread_mutex_destroy(mutex_in(cs));
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) {
    if (!cs) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return;
    }
    pthread_mutex_lock(mutex_in(cs));
}

void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    if (!cs) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return;
    }
    pthread_mutex_unlock(mutex_in(cs));
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        // Windows gives up the rest of the time slice.
        sched_yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;) {
            pause();
        }
    }
    // An absolute deadline, so that a signal handler running in between does
    // not stretch or shorten the sleep when it resumes.
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

void ExitProcess(UINT exit_code) {
    _exit(static_cast<int>(exit_code));
}

// The kernel's thread id: nonzero, fixed for the thread's life, and the same
// number debuggers and /proc show. Like a Windows thread id it may be given
// to a new thread after this one has ended.
DWORD GetCurrentThreadId(void) {
    return static_cast<DWORD>(gettid());
}

DWORD GetLastError(void) {
    return last_error;
}

void SetLastError(DWORD error) {
    last_error = error;
}

// ---- The multimedia class scheduler -----------------------------------------
//
// No such scheduler here for an unprivileged program to join (a real-time
// class would need the desktop's rtkit), so an audio thread keeps its
// priority; the handle only pairs a registration with its revert.
namespace {
char mm_task;
}

HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR task_name, LPDWORD task_index) {
    if (!task_name || !task_index) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &mm_task;
}

BOOL AvRevertMmThreadCharacteristics(HANDLE avrt_handle) {
    if (avrt_handle != &mm_task) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// ---- Events, threads and waits -------------------------------------------
//
// One table maps handles to kernel objects. Every object's state and every
// wait is guarded by one lock. A blocked wait registers itself with each
// object it waits on; whoever signals an object hands it to the waiters
// there, in the order they arrived, so an auto-reset event set once releases
// exactly one of them, as on Windows. Objects are reference counted: a wait in
// progress or a running thread keeps its object alive after CloseHandle.

namespace {

// Handles count up from here in steps of four, as Windows' do, and are never
// reused. The range is far from the window handles (user/queue.cpp), so a
// kernel handle given where a window is expected is never taken for one.
constexpr uintptr_t kFirstKernelHandle = 0x40000004;
constexpr uintptr_t kKernelHandleStep = 4;

struct Waiter;

struct KernelObject {
    enum class Kind { event, thread, file } kind;
    bool manual_reset = true; // a thread, once ended, stays signalled
    bool signalled = false;
    DWORD exit_code = STILL_ACTIVE; // threads
    DWORD thread_id = 0;            // threads: set once the thread runs
    std::vector<Waiter*> waiters;   // blocked waits, in arrival order
    int fd = -1;                    // files: closed with the last reference

    KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;
    ~KernelObject() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

using ObjectRef = std::shared_ptr<KernelObject>;

// Shared, so that whoever satisfies a wait can wake it after letting go of
// the lock: woken under the lock, the waiter would only block again on it.
struct Waiter : std::enable_shared_from_this<Waiter> {
    std::vector<ObjectRef> objects; // in the caller's order
    bool wait_all = false;
    bool done = false; // satisfied: `result` is final and the objects consumed
    DWORD result = WAIT_TIMEOUT;
    std::condition_variable woken;
};

struct Kernel {
    std::mutex lock;
    std::unordered_map<HANDLE, ObjectRef> handles;
    uintptr_t next_handle = kFirstKernelHandle;
    std::condition_variable thread_started;
};

Kernel& kernel() {
    // Never destroyed: threads may still end after static destructors ran.
    static Kernel* const instance = new Kernel;
    return *instance;
}

// Caller holds the kernel lock.
HANDLE add_handle(Kernel& k, ObjectRef object) {
    const HANDLE handle = reinterpret_cast<HANDLE>(k.next_handle);
    k.next_handle += kKernelHandleStep;
    k.handles.emplace(handle, std::move(object));
    return handle;
}

// Caller holds the kernel lock. Null, with ERROR_INVALID_HANDLE, for
// anything that is not an open handle of that kind.
KernelObject* find_object(Kernel& k, HANDLE handle, KernelObject::Kind kind) {
    auto it = k.handles.find(handle);
    if (it == k.handles.end() || it->second->kind != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second.get();
}

// Caller holds the kernel lock. A wait that is satisfied takes what it got:
// an auto-reset event goes back to non-signalled.
bool try_satisfy(Waiter& waiter) {
    const auto& objects = waiter.objects;
    if (waiter.wait_all) {
        if (!std::all_of(objects.begin(), objects.end(),
                         [](const ObjectRef& object) { return object->signalled; })) {
            return false;
        }
        for (const ObjectRef& object : objects) {
            if (!object->manual_reset) {
                object->signalled = false;
            }
        }
        waiter.result = WAIT_OBJECT_0;
        return true;
    }
    for (size_t i = 0; i < objects.size(); ++i) {
        if (objects[i]->signalled) {
            if (!objects[i]->manual_reset) {
                objects[i]->signalled = false;
            }
            waiter.result = WAIT_OBJECT_0 + static_cast<DWORD>(i);
            return true;
        }
    }
    return false;
}

using Woken = std::vector<std::shared_ptr<Waiter>>;

// Caller holds the kernel lock and has just signalled `object`. No blocked
// wait is satisfiable before a signal, so only this object's waiters can
// have become so. Those satisfied go to `woken`, to be woken (wake()) once
// the lock is let go.
void release_waiters(KernelObject& object, Woken& woken) {
    for (Waiter* waiter : object.waiters) {
        if (!object.signalled) {
            break; // an auto-reset event has gone to its one waiter
        }
        if (!waiter->done && try_satisfy(*waiter)) {
            waiter->done = true;
            woken.push_back(waiter->shared_from_this());
        }
    }
}

void wake(const Woken& woken) {
    for (const auto& waiter : woken) {
        waiter->woken.notify_one();
    }
}

// Validates every handle and waits. `handles` has been checked for count.
DWORD wait_for(DWORD count, const HANDLE* handles, bool wait_all, DWORD milliseconds) {
    // Taken before the lock, so that a time-out counts from the call.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    Kernel& k = kernel();
    std::unique_lock held(k.lock);
    const auto shared = std::make_shared<Waiter>();
    Waiter& waiter = *shared;
    waiter.wait_all = wait_all;
    waiter.objects.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        auto it = k.handles.find(handles[i]);
        if (it == k.handles.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (wait_all && std::find(waiter.objects.begin(), waiter.objects.end(), it->second) !=
                            waiter.objects.end()) {
            // Windows refuses to wait for all of a list naming an object twice.
            SetLastError(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
        waiter.objects.push_back(it->second);
    }
    if (try_satisfy(waiter)) {
        return waiter.result;
    }
    if (milliseconds == 0) {
        return WAIT_TIMEOUT;
    }
    for (const ObjectRef& object : waiter.objects) {
        object->waiters.push_back(&waiter);
    }
    while (!waiter.done) {
        if (milliseconds == INFINITE) {
            waiter.woken.wait(held);
        } else if (waiter.woken.wait_until(held, deadline) == std::cv_status::timeout) {
            break;
        }
    }
    for (const ObjectRef& object : waiter.objects) {
        std::erase(object->waiters, &waiter);
    }
    return waiter.done ? waiter.result : WAIT_TIMEOUT;
}

struct ThreadStart {
    ObjectRef object;
    LPTHREAD_START_ROUTINE start;
    LPVOID param;
};

// Signals the thread's handle as the thread goes. It is the first
// thread_local with a destructor that a CreateThread thread constructs, so
// it is destroyed last: by the time a wait on the handle returns, the
// thread's message queue, windows and COM state are gone, as on Windows.
struct ThreadEnd {
    ObjectRef object;
    DWORD exit_code = 0;

    ~ThreadEnd() {
        if (!object) {
            return;
        }
        Kernel& k = kernel();
        Woken woken;
        {
            std::lock_guard guard(k.lock);
            object->exit_code = exit_code;
            object->signalled = true;
            release_waiters(*object, woken);
        }
        wake(woken);
    }
};

thread_local ThreadEnd thread_end;

void* thread_entry(void* arg) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
    thread_end.object = start->object;
    Kernel& k = kernel();
    {
        std::lock_guard guard(k.lock);
        start->object->thread_id = GetCurrentThreadId();
    }
    k.thread_started.notify_all();
    thread_end.exit_code = start->start(start->param);
    return nullptr;
}

// A file call's path as the file system takes it; false, with the last
// error set, for an empty path or text that has no UTF-8 form.
bool file_path(LPCWSTR path, std::string& narrow) {
    if (!path || !*path) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    if (!text_utf8_from_wide(path, narrow)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    return true;
}

// The Windows error a file call reports for the C library's errno.
DWORD win32_error_from_errno(int error) {
    switch (error) {
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOENT:
        return ERROR_PATH_NOT_FOUND;
    case ENOTDIR:
        return ERROR_DIRECTORY;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    default:
        return ERROR_GEN_FAILURE;
    }
}

} // namespace

// Names are ignored: every call makes a new, unshared event.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL manual_reset, BOOL initial_state,
                    LPCWSTR /*name*/) {
    auto event = std::make_shared<KernelObject>();
    event->kind = KernelObject::Kind::event;
    event->manual_reset = manual_reset != FALSE;
    event->signalled = initial_state != FALSE;
    Kernel& k = kernel();
    std::lock_guard guard(k.lock);
    const HANDLE handle = add_handle(k, std::move(event));
    // Windows clears the last error when the event is new (it would be
    // ERROR_ALREADY_EXISTS for an existing named one).
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL SetEvent(HANDLE event) {
    Kernel& k = kernel();
    Woken woken;
    {
        std::lock_guard guard(k.lock);
        KernelObject* object = find_object(k, event, KernelObject::Kind::event);
        if (!object) {
            return FALSE;
        }
        object->signalled = true;
        release_waiters(*object, woken);
    }
    wake(woken);
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    Kernel& k = kernel();
    std::lock_guard guard(k.lock);
    KernelObject* object = find_object(k, event, KernelObject::Kind::event);
    if (!object) {
        return FALSE;
    }
    object->signalled = false;
    return TRUE;
}

// Starts the thread at once (no flags are supported). A nonzero stack size
// can only enlarge the stack, as on Windows, where it is the committed part
// of a reserve no smaller than the program's default.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES /*attributes*/, SIZE_T stack_size,
                    LPTHREAD_START_ROUTINE start, LPVOID param, DWORD creation_flags,
                    LPDWORD thread_id) {
    if (!start || creation_flags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    size_t default_size = 0;
    pthread_attr_getstacksize(&attr, &default_size);
    if (stack_size > default_size) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        pthread_attr_setstacksize(&attr, (stack_size + page - 1) / page * page);
    }

    auto object = std::make_shared<KernelObject>();
    object->kind = KernelObject::Kind::thread;
    Kernel& k = kernel();
    HANDLE handle;
    {
        // In the table before the thread runs, which may use its own handle.
        std::lock_guard guard(k.lock);
        handle = add_handle(k, object);
    }
    auto* begin = new ThreadStart{object, start, param};
    pthread_t thread;
    const int failed = pthread_create(&thread, &attr, thread_entry, begin);
    pthread_attr_destroy(&attr);
    if (failed) {
        delete begin;
        std::lock_guard guard(k.lock);
        k.handles.erase(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (thread_id) {
        // Windows knows the id at creation; here the thread tells it.
        std::unique_lock held(k.lock);
        k.thread_started.wait(held, [&] { return object->thread_id != 0; });
        *thread_id = object->thread_id;
    }
    return handle;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exit_code) {
    Kernel& k = kernel();
    std::lock_guard guard(k.lock);
    KernelObject* object = find_object(k, thread, KernelObject::Kind::thread);
    if (!object) {
        return FALSE;
    }
    if (!exit_code) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exit_code = object->exit_code;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return wait_for(1, &handle, false, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return wait_for(count, handles, wait_all != FALSE, milliseconds);
}

// Closing a thread's handle leaves the thread running; it frees its object
// when it ends.
BOOL CloseHandle(HANDLE handle) {
    ObjectRef closing; // released after the lock, in case it is the last reference
    Kernel& k = kernel();
    std::lock_guard guard(k.lock);
    auto it = k.handles.find(handle);
    if (it == k.handles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    closing = std::move(it->second);
    k.handles.erase(it);
    return TRUE;
}

// The program is one module; its handle only needs to be non-null and fixed.
HMODULE GetModuleHandleW(LPCWSTR module_name) {
    static char program_module;
    if (module_name) {
        SetLastError(126); // ERROR_MOD_NOT_FOUND: no other modules here
        return nullptr;
    }
    return reinterpret_cast<HMODULE>(&program_module);
}

int lstrlenW(LPCWSTR text) {
    return text ? static_cast<int>(wcslen(text)) : 0;
}

// Files exist here only to be made exclusively (CREATE_NEW), never through a
// symbolic link, and then written through the C runtime (_open_osfhandle):
// the program creates a recording's file this way and writes to what it
// created, whatever happens to the name meanwhile.
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD /*share*/,
                   LPSECURITY_ATTRIBUTES /*attributes*/, DWORD disposition, DWORD /*flags*/,
                   HANDLE /*template_file*/) {
    std::string narrow;
    if (!file_path(path, narrow)) {
        return INVALID_HANDLE_VALUE;
    }
    if (disposition != CREATE_NEW || (access & ~(GENERIC_READ | GENERIC_WRITE)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int mode = O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    mode |= (access & GENERIC_READ) && (access & GENERIC_WRITE) ? O_RDWR
            : (access & GENERIC_WRITE)                          ? O_WRONLY
                                                                : O_RDONLY;
    const int fd = open(narrow.c_str(), mode, 0666);
    if (fd < 0) {
        SetLastError(win32_error_from_errno(errno));
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<KernelObject>();
    file->kind = KernelObject::Kind::file;
    file->fd = fd;
    Kernel& k = kernel();
    std::lock_guard guard(k.lock);
    const HANDLE handle = add_handle(k, std::move(file));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

int _open_osfhandle(intptr_t os_handle, int /*flags*/) {
    ObjectRef taken; // released after the lock
    Kernel& k = kernel();
    std::lock_guard guard(k.lock);
    auto it = k.handles.find(reinterpret_cast<HANDLE>(os_handle));
    if (it == k.handles.end() || it->second->kind != KernelObject::Kind::file ||
        it->second->fd < 0) {
        errno = EBADF;
        return -1;
    }
    // The descriptor changes hands: the handle goes, and closing the
    // descriptor (or its stream) closes the file, as on Windows.
    const int fd = it->second->fd;
    it->second->fd = -1;
    taken = std::move(it->second);
    k.handles.erase(it);
    return fd;
}

BOOL DeleteFileW(LPCWSTR path) {
    std::string narrow;
    if (!file_path(path, narrow)) {
        return FALSE;
    }
    // A folder gives EISDIR, which reads as ERROR_ACCESS_DENIED, as Windows answers.
    if (unlink(narrow.c_str()) != 0) {
        SetLastError(win32_error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

void GetLocalTime(LPSYSTEMTIME time_out) {
    if (!time_out) {
        return;
    }
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local {};
    localtime_r(&now.tv_sec, &local);
    time_out->wYear = static_cast<WORD>(local.tm_year + 1900);
    time_out->wMonth = static_cast<WORD>(local.tm_mon + 1);
    time_out->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    time_out->wDay = static_cast<WORD>(local.tm_mday);
    time_out->wHour = static_cast<WORD>(local.tm_hour);
    time_out->wMinute = static_cast<WORD>(local.tm_min);
    // A leap second reads as second 59, as Windows never shows 60.
    time_out->wSecond = static_cast<WORD>(local.tm_sec > 59 ? 59 : local.tm_sec);
    time_out->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}
