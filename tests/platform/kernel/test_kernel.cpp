// Critical sections, events, threads and waits, Sleep, thread ids, last error
// and _wfopen.
#include <windows.h>
#include <io.h>

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace {

TEST(CriticalSection, OwnerReentersAndOthersWaitForTheLastLeave) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    LeaveCriticalSection(&cs);

    std::atomic<bool> entered{false};
    std::thread other([&] {
        EnterCriticalSection(&cs);
        entered = true;
        LeaveCriticalSection(&cs);
    });
    Sleep(100);
    EXPECT_FALSE(entered) << "entered while the owner still held the section once";
    LeaveCriticalSection(&cs);
    other.join();
    EXPECT_TRUE(entered);
    DeleteCriticalSection(&cs);
}

TEST(CriticalSection, ExcludesOtherThreadsUnderContention) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 20000;
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    long counter = 0; // deliberately not atomic: the section is its only guard
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int r = 0; r < kRounds; ++r) {
                EnterCriticalSection(&cs);
                EnterCriticalSection(&cs);
                if (inside.fetch_add(1) != 0) {
                    ++overlaps;
                }
                ++counter;
                LeaveCriticalSection(&cs); // still held once: nobody may get in here
                inside.fetch_sub(1);
                LeaveCriticalSection(&cs);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(counter, long{kThreads} * kRounds);
    DeleteCriticalSection(&cs);
}

TEST(CriticalSection, NullSectionIsRefusedWithoutCrashing) {
    SetLastError(ERROR_SUCCESS);
    InitializeCriticalSection(nullptr);
    EnterCriticalSection(nullptr);
    LeaveCriticalSection(nullptr);
    DeleteCriticalSection(nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

std::atomic<int> signals_caught{0};

TEST(Sleep, SleepsTheFullTimeWhenSignalsInterruptIt) {
    struct sigaction action = {};
    action.sa_handler = [](int) { ++signals_caught; };
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the sleep sees EINTR
    struct sigaction previous;
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    constexpr DWORD kMilliseconds = 300;
    std::atomic<bool> done{false};
    std::chrono::steady_clock::duration slept{};
    std::thread sleeper([&] {
        const auto start = std::chrono::steady_clock::now();
        Sleep(kMilliseconds);
        slept = std::chrono::steady_clock::now() - start;
        done = true;
    });
    while (!done) {
        pthread_kill(sleeper.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    sleeper.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_GT(signals_caught, 0);
    EXPECT_GE(slept, std::chrono::milliseconds(kMilliseconds));
}

TEST(Thread, IdsAreNonzeroStableAndDistinct) {
    constexpr int kThreads = 4;
    std::vector<DWORD> ids(kThreads);
    std::latch all_running(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ids[t] = GetCurrentThreadId();
            all_running.arrive_and_wait(); // all alive at once, so ids cannot repeat
            EXPECT_EQ(GetCurrentThreadId(), ids[t]);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ids.push_back(GetCurrentThreadId());
    EXPECT_EQ(std::set<DWORD>(ids.begin(), ids.end()).size(), ids.size());
    EXPECT_EQ(std::count(ids.begin(), ids.end(), DWORD{0}), 0);
}

TEST(Thread, LastErrorIsPerThread) {
    SetLastError(1234);
    DWORD seen_by_other = 0xFFFFFFFF;
    std::thread([&] {
        seen_by_other = GetLastError();
        SetLastError(99);
    }).join();
    EXPECT_EQ(seen_by_other, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), 1234u);
}

class WideFopen : public ::testing::Test {
  protected:
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    TempDir dir_;
    std::wstring wide_dir_ = dir_.path().wstring();
};

TEST_F(WideFopen, CreatesTheFileUnderItsUtf8Name) {
    // "录音 é🎵.mp3": three- and four-byte sequences, and a two-byte one.
    const std::wstring path = wide_dir_ + L"/\u5f55\u97f3 \u00e9\U0001F3B5.mp3";
    const std::string utf8_name = "\xe5\xbd\x95\xe9\x9f\xb3 \xc3\xa9\xf0\x9f\x8e\xb5.mp3";

    FILE* out = _wfopen(path.c_str(), L"wb");
    ASSERT_NE(out, nullptr);
    fputs("ID3", out);
    fclose(out);
    EXPECT_EQ(entries(), std::vector<std::string>{utf8_name});

    FILE* in = _wfopen(path.c_str(), L"rb");
    ASSERT_NE(in, nullptr);
    char text[8] = {};
    EXPECT_EQ(fread(text, 1, sizeof text, in), 3u);
    fclose(in);
    EXPECT_STREQ(text, "ID3");
}

TEST_F(WideFopen, RefusesBadArgumentsWithEinval) {
    const std::wstring name = wide_dir_ + L"/x";
    const std::wstring lone_surrogate = wide_dir_ + L"/a" + wchar_t(0xD800) + L"b";
    const std::wstring beyond_unicode = wide_dir_ + L"/a" + wchar_t(0x110000);
    const std::wstring negative = wide_dir_ + L"/a" + wchar_t(-5);
    const std::wstring bad_mode = std::wstring(L"w") + wchar_t(0xDFFF);
    struct Case {
        const wchar_t* path;
        const wchar_t* mode;
    } cases[] = {
        {nullptr, L"wb"},          {name.c_str(), nullptr},         {L"", L"wb"},
        {name.c_str(), L""},       {lone_surrogate.c_str(), L"wb"}, {beyond_unicode.c_str(), L"wb"},
        {negative.c_str(), L"wb"}, {name.c_str(), bad_mode.c_str()}};
    for (const Case& c : cases) {
        errno = 0;
        EXPECT_EQ(_wfopen(c.path, c.mode), nullptr);
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_TRUE(entries().empty());
}

// ---- Events, threads and waits

// Closes its handles at the end of a test, whatever happened in between.
struct Handles {
    std::vector<HANDLE> list;
    HANDLE add(HANDLE handle) { return list.emplace_back(handle); }
    ~Handles() {
        for (HANDLE handle : list) {
            CloseHandle(handle);
        }
    }
};

TEST(Event, ManualStaysSignalledAutoResetGoesToOneWait) {
    Handles h;
    const HANDLE manual = h.add(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    const HANDLE automatic = h.add(CreateEventW(nullptr, FALSE, FALSE, L"ignored"));
    ASSERT_TRUE(manual && automatic);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    EXPECT_TRUE(SetEvent(automatic));
    EXPECT_TRUE(SetEvent(automatic)); // already set: no second wait is satisfied
    EXPECT_EQ(WaitForSingleObject(automatic, INFINITE), WAIT_OBJECT_0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(automatic, 60), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
}

TEST(Event, WaitAnyTakesTheLowestSignalledIndexAndWaitAllTakesAll) {
    Handles h;
    const HANDLE a = h.add(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    const HANDLE b = h.add(CreateEventW(nullptr, FALSE, TRUE, nullptr));
    const HANDLE c = h.add(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    const HANDLE abc[] = {a, b, c};
    EXPECT_EQ(WaitForMultipleObjects(3, abc, FALSE, 0), WAIT_OBJECT_0 + 1); // takes b
    EXPECT_EQ(WaitForMultipleObjects(3, abc, FALSE, 0), WAIT_OBJECT_0 + 2); // c is manual
    SetEvent(a);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(3, abc, FALSE, 0), WAIT_OBJECT_0);

    // a is taken: wait-all times out and leaves b and c as they were.
    EXPECT_EQ(WaitForMultipleObjects(3, abc, TRUE, 30), WAIT_TIMEOUT);
    std::atomic<DWORD> result{0xDEAD};
    std::thread waiter([&] { result = WaitForMultipleObjects(3, abc, TRUE, INFINITE); });
    SetEvent(a); // the last one missing
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, abc, FALSE, 0), WAIT_TIMEOUT); // both autos taken
    EXPECT_EQ(WaitForSingleObject(c, 0), WAIT_OBJECT_0);
}

struct Worker {
    HANDLE go;
    HANDLE window_created;
    HWND window = nullptr;
    DWORD id = 0;
    std::atomic<bool> cleaned_up{false};
};

// Thread-exit work that takes a while, like a thread's queue and windows
// going away; the thread's handle must not be signalled before it is done.
struct SlowCleanup {
    std::atomic<bool>* done = nullptr;
    ~SlowCleanup() {
        if (done) {
            Sleep(50);
            *done = true;
        }
    }
};

DWORD WINAPI run_worker(LPVOID param) {
    auto* worker = static_cast<Worker*>(param);
    thread_local SlowCleanup cleanup;
    cleanup.done = &worker->cleaned_up;
    worker->id = GetCurrentThreadId();
    worker->window =
        CreateWindowExW(0, L"Worker", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    SetEvent(worker->window_created);
    WaitForSingleObject(worker->go, INFINITE);
    return 42;
}

TEST(KernelThread, HandleIsSignalledOnceTheThreadAndItsWindowsAreGone) {
    Handles h;
    Worker worker{h.add(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
                  h.add(CreateEventW(nullptr, TRUE, FALSE, nullptr))};
    DWORD id = 0;
    const HANDLE thread = h.add(CreateThread(nullptr, 0, run_worker, &worker, 0, &id));
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(worker.window_created, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(id, worker.id);
    EXPECT_TRUE(IsWindow(worker.window));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);

    SetEvent(worker.go);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(worker.cleaned_up);
    EXPECT_FALSE(IsWindow(worker.window));
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0); // stays signalled
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
}

TEST(KernelThread, RunsToItsEndAfterItsHandleIsClosed) {
    Handles h;
    Worker worker{h.add(CreateEventW(nullptr, TRUE, TRUE, nullptr)),
                  h.add(CreateEventW(nullptr, TRUE, FALSE, nullptr))};
    const HANDLE thread = CreateThread(nullptr, 256 * 1024, run_worker, &worker, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    while (!worker.cleaned_up) {
        Sleep(1); // it must still end, or this test never does
    }
    // Its object is then unreferenced; the sanitizers' leak check sees
    // whether it was freed.
}

DWORD WINAPI take_one(LPVOID param) {
    auto* shared = static_cast<std::pair<HANDLE, std::atomic<int>*>*>(param);
    const DWORD result = WaitForSingleObject(shared->first, INFINITE);
    ++*shared->second;
    return result;
}

// Threads that each wait once for an event and count it. At the end, the
// rest are set free (after a failure) before the count goes.
struct Waiters {
    static constexpr int kCount = 6;
    std::atomic<int> released{0};
    Handles h;
    std::pair<HANDLE, std::atomic<int>*> shared;
    HANDLE threads[kCount] = {};
    explicit Waiters(BOOL manual_reset)
        : shared{h.add(CreateEventW(nullptr, manual_reset, FALSE, nullptr)), &released} {
        for (HANDLE& thread : threads) {
            thread = h.add(CreateThread(nullptr, 0, take_one, &shared, 0, nullptr));
        }
        Sleep(100); // let them all block
    }
    ~Waiters() {
        while (all_ended(10) == WAIT_TIMEOUT) {
            SetEvent(shared.first);
        }
    }
    DWORD all_ended(DWORD ms) { return WaitForMultipleObjects(kCount, threads, TRUE, ms); }
};

TEST(KernelThread, EachSetOfAnAutoResetEventReleasesExactlyOneWaiter) {
    Waiters w(FALSE);
    SetEvent(w.shared.first);
    EXPECT_LT(WaitForMultipleObjects(Waiters::kCount, w.threads, FALSE, INFINITE),
              WAIT_OBJECT_0 + Waiters::kCount);
    Sleep(100);
    EXPECT_EQ(w.released, 1);

    // Back to back: each set goes to a waiter before the next comes.
    for (int i = 1; i < Waiters::kCount; ++i) {
        SetEvent(w.shared.first);
    }
    EXPECT_EQ(w.all_ended(10000), WAIT_OBJECT_0) << "a set was lost";
    EXPECT_EQ(w.released, Waiters::kCount);
    EXPECT_EQ(WaitForSingleObject(w.shared.first, 0), WAIT_TIMEOUT);
    DWORD code = 0xDEAD;
    EXPECT_TRUE(GetExitCodeThread(w.threads[Waiters::kCount - 1], &code));
    EXPECT_EQ(code, WAIT_OBJECT_0);
}

TEST(KernelThread, OneSetOfAManualResetEventReleasesEveryWaiter) {
    Waiters w(TRUE);
    SetEvent(w.shared.first);
    EXPECT_EQ(w.all_ended(10000), WAIT_OBJECT_0) << "a waiter was left behind";
    EXPECT_EQ(w.released, Waiters::kCount);
}

// The last error, cleared for the next check.
DWORD take_last_error() {
    const DWORD error = GetLastError();
    SetLastError(ERROR_SUCCESS);
    return error;
}

TEST(KernelHandles, BadHandlesAndArgumentsFailWithTheLastError) {
    const HANDLE closed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    const HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_NE(event, closed) << "handles must not be reused";
    const HWND window =
        CreateWindowExW(0, L"W", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    take_last_error();
    for (HANDLE bad : {HANDLE{nullptr}, closed, HANDLE{window}, HANDLE(intptr_t{-1})}) {
        const HANDLE mixed[] = {event, bad};
        EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_EQ(take_last_error(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);
        EXPECT_EQ(take_last_error(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(SetEvent(bad) || ResetEvent(bad) || CloseHandle(bad));
        EXPECT_EQ(take_last_error(), ERROR_INVALID_HANDLE);
    }
    DWORD code = 7;
    EXPECT_FALSE(GetExitCodeThread(event, &code));
    EXPECT_EQ(take_last_error(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(code, 7u);

    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, event);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0), WAIT_OBJECT_0);
    for (DWORD count : {0u, MAXIMUM_WAIT_OBJECTS + 1}) {
        EXPECT_EQ(WaitForMultipleObjects(count, many.data(), FALSE, 0), WAIT_FAILED);
        EXPECT_EQ(take_last_error(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(WaitForMultipleObjects(2, many.data(), TRUE, 0), WAIT_FAILED); // duplicate
    EXPECT_EQ(take_last_error(), ERROR_INVALID_PARAMETER);

    DWORD id = 99;
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, &id), nullptr);
    EXPECT_EQ(take_last_error(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateThread(nullptr, 0, take_one, nullptr, 0x4 /* suspended */, &id), nullptr);
    EXPECT_EQ(take_last_error(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(id, 99u);
    EXPECT_TRUE(CloseHandle(event));
    DestroyWindow(window);
}

} // namespace

// ---- files: only reserving a name, and removing it ----

TEST(Files, CreateNewTakesANameOnceAndDeleteGivesItBack) {
    TempDir dir;
    const std::wstring path = dir.wfile("taken.mp3");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_FALSE(CloseHandle(file)) << "closed once";

    EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    const std::wstring in_missing = dir.wfile("missing/x.mp3");
    EXPECT_EQ(CreateFileW(in_missing.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(CreateFileW(dir.wfile("other").c_str(), GENERIC_WRITE, 0, nullptr,
                          2 /* CREATE_ALWAYS */, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "nothing but exclusive creation";

    EXPECT_TRUE(DeleteFileW(path.c_str()));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_FALSE(DeleteFileW(dir.path().wstring().c_str())) << "not a folder";
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(std::filesystem::is_directory(dir.path()));
}

// The file created is the one written: its handle becomes a descriptor and
// a stream, and the handle is gone (the stream closes the file).
TEST(Files, AHandleBecomesTheStreamThatWritesTheFile) {
    TempDir dir;
    const std::wstring path = dir.wfile("written.mp3");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(CloseHandle(file)) << "the descriptor owns the file now";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    FILE* stream = _fdopen(fd, "wb");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(fputs("frames", stream), 1);
    EXPECT_EQ(fclose(stream), 0);
    EXPECT_EQ(std::filesystem::file_size(path), 6u);

    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    errno = 0;
    EXPECT_EQ(_open_osfhandle(reinterpret_cast<intptr_t>(event), 0), -1) << "not a file";
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(CloseHandle(event)) << "and still its handle";
    EXPECT_EQ(_open_osfhandle(reinterpret_cast<intptr_t>(file), 0), -1) << "taken already";

    // A symbolic link at the name is not followed: the name is taken.
    const std::wstring link = dir.wfile("link.mp3");
    std::filesystem::create_symlink(path, link);
    EXPECT_EQ(CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(std::filesystem::file_size(path), 6u);
}

TEST(Time, LocalTimeIsTheCLibrarysLocalTime) {
    // Bracketed by the clock it reads: time() reads a coarser one, which
    // can still show the last second after the precise clock has moved on.
    auto seconds = [] {
        struct timespec now {};
        clock_gettime(CLOCK_REALTIME, &now);
        return now.tv_sec;
    };
    SYSTEMTIME t{};
    const time_t before = seconds();
    GetLocalTime(&t);
    const time_t after = seconds();
    bool matches = false;
    for (time_t now = before; now <= after; ++now) {
        struct tm local {};
        localtime_r(&now, &local);
        matches |= t.wYear == local.tm_year + 1900 && t.wMonth == local.tm_mon + 1 &&
                   t.wDay == local.tm_mday && t.wHour == local.tm_hour &&
                   t.wMinute == local.tm_min && t.wSecond == local.tm_sec &&
                   t.wDayOfWeek == local.tm_wday;
    }
    EXPECT_TRUE(matches);
    EXPECT_LT(t.wMilliseconds, 1000);
}
