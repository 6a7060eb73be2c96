// Critical sections, Sleep, thread ids, last error and _wfopen.
#include <windows.h>

#include <errno.h>
#include <pthread.h>
#include <signal.h>

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

} // namespace
