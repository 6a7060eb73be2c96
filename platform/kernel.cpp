// Kernel subset: critical sections, sleeping, thread ids, last error.
#include <windows.h>

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <new>

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
