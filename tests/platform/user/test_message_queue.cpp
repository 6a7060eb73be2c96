// Message-only windows and the thread message queue.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(intptr_t{-1});
const HWND kNeverCreated = reinterpret_cast<HWND>(uintptr_t{0x1234});

HWND create_message_window() {
    return CreateWindowExW(0, L"SonaretTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                           nullptr);
}

// The gtest thread keeps one queue across tests, so each test starts and
// ends with it empty.
class MessageQueue : public ::testing::Test {
  protected:
    void SetUp() override { drain(); }
    void TearDown() override { drain(); }
    static void drain() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
    static bool queue_is_empty() {
        MSG msg;
        return !PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    }
    // Next message, or WM_NULL with hwnd -1 when nothing matches.
    static MSG peek(HWND hwnd, UINT min, UINT max, UINT remove = PM_REMOVE) {
        MSG msg;
        if (!PeekMessageW(&msg, hwnd, min, max, remove)) {
            return MSG{kThreadMessagesOnly, WM_NULL, 0, 0, 0, {0, 0}};
        }
        return msg;
    }
};

TEST_F(MessageQueue, DeliversPostsInOrderWithTheirContents) {
    const HWND window = create_message_window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(IsWindow(window));
    ASSERT_TRUE(PostMessageW(window, WM_USER + 1, 10, -20));
    ASSERT_TRUE(PostMessageW(nullptr, WM_USER + 2, ~WPARAM{0}, INTPTR_MIN));
    Sleep(30);
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_USER + 3, 30, 40));
    Sleep(30); // a time taken when read would make the first and last equal

    const MSG expected[] = {{window, WM_USER + 1, 10, -20, 0, {0, 0}},
                            {nullptr, WM_USER + 2, ~WPARAM{0}, INTPTR_MIN, 0, {0, 0}},
                            {nullptr, WM_USER + 3, 30, 40, 0, {0, 0}}};
    DWORD times[3] = {};
    for (const MSG& want : expected) {
        MSG got;
        got.pt = {7, 7};
        EXPECT_EQ(GetMessageW(&got, nullptr, 0, 0), TRUE);
        times[&want - expected] = got.time;
        EXPECT_EQ(got.hwnd, want.hwnd);
        EXPECT_EQ(got.message, want.message);
        EXPECT_EQ(got.wParam, want.wParam);
        EXPECT_EQ(got.lParam, want.lParam);
        EXPECT_EQ(got.pt.x, 0);
        EXPECT_EQ(got.pt.y, 0);
    }
    EXPECT_GE(times[2] - times[0], 30u);
    EXPECT_TRUE(queue_is_empty());
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(MessageQueue, FiltersByWindowAndRangeAndPeeksWithoutRemoving) {
    const HWND one = create_message_window();
    const HWND two = create_message_window();
    ASSERT_TRUE(PostMessageW(one, WM_USER + 1, 0, 0));
    ASSERT_TRUE(PostMessageW(two, WM_USER + 2, 0, 0));
    ASSERT_TRUE(PostMessageW(nullptr, WM_USER + 3, 0, 0));
    ASSERT_TRUE(PostMessageW(one, WM_USER + 4, 0, 0));
    ASSERT_TRUE(PostMessageW(nullptr, WM_USER + 5, 0, 0));

    EXPECT_EQ(peek(two, 0, 0, PM_NOREMOVE).message, WM_USER + 2);
    EXPECT_EQ(peek(two, 0, 0, PM_NOREMOVE).message, WM_USER + 2);
    EXPECT_EQ(peek(two, 0, 0, PM_REMOVE).message, WM_USER + 2);
    EXPECT_EQ(peek(two, 0, 0).message, WM_NULL);
    EXPECT_EQ(peek(kThreadMessagesOnly, 0, 0).message, WM_USER + 3);
    // Both bounds are inclusive; the first match in FIFO order wins.
    EXPECT_EQ(peek(nullptr, WM_USER + 4, WM_USER + 5).message, WM_USER + 4);
    EXPECT_EQ(peek(nullptr, WM_USER + 5, WM_USER + 5).message, WM_USER + 5);
    EXPECT_EQ(peek(nullptr, WM_USER + 2, WM_USER + 9).message, WM_NULL);
    MSG msg;
    EXPECT_EQ(GetMessageW(&msg, one, 0, 0), TRUE);
    EXPECT_EQ(msg.message, WM_USER + 1);
    EXPECT_TRUE(queue_is_empty());
    EXPECT_TRUE(DestroyWindow(one));
    EXPECT_TRUE(DestroyWindow(two));
}

TEST_F(MessageQueue, RefusesBadFiltersAndNullMessage) {
    ASSERT_TRUE(PostMessageW(nullptr, WM_USER, 0, 0));
    MSG msg;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetMessageW(&msg, kNeverCreated, 0, 0), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(PeekMessageW(&msg, kNeverCreated, 0, 0, PM_REMOVE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(GetMessageW(nullptr, nullptr, 0, 0), -1);
    EXPECT_FALSE(PeekMessageW(nullptr, nullptr, 0, 0, PM_REMOVE));
    EXPECT_FALSE(queue_is_empty()) << "a refused call took the message";
}

TEST_F(MessageQueue, QuitComesAfterPostedMessagesWhateverTheFilter) {
    const HWND window = create_message_window();
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 9, 0)); // an ordinary post
    ASSERT_TRUE(PostMessageW(window, WM_USER + 1, 0, 0));
    PostQuitMessage(-2);
    ASSERT_TRUE(PostMessageW(nullptr, WM_USER + 2, 0, 0));

    // Nothing posted passes this filter, so the quit shows, and stays.
    for (int i = 0; i < 2; ++i) {
        const MSG early = peek(window, WM_USER + 9, WM_USER + 9, PM_NOREMOVE);
        EXPECT_EQ(early.message, WM_QUIT);
        EXPECT_EQ(early.hwnd, nullptr);
    }

    MSG msg;
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), FALSE);
    EXPECT_EQ(msg.wParam, 9u);
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, WM_USER + 1);
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, WM_USER + 2);
    ASSERT_EQ(peek(nullptr, 0, 0, PM_NOREMOVE).message, WM_QUIT); // GetMessage would block
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), FALSE);
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(static_cast<int>(msg.wParam), -2);
    EXPECT_TRUE(queue_is_empty());
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(MessageQueue, DestroyedWindowLosesItsMessagesAndHandle) {
    const HWND doomed = create_message_window();
    const HWND other = create_message_window();
    ASSERT_TRUE(PostMessageW(doomed, WM_USER + 1, 0, 0));
    ASSERT_TRUE(PostMessageW(other, WM_USER + 2, 0, 0));
    ASSERT_TRUE(PostMessageW(doomed, WM_USER + 3, 0, 0));
    ASSERT_TRUE(DestroyWindow(doomed));

    EXPECT_FALSE(IsWindow(doomed));
    EXPECT_EQ(peek(nullptr, 0, 0).hwnd, other);
    EXPECT_TRUE(queue_is_empty());

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(PostMessageW(doomed, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(DestroyWindow(doomed));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);

    const HWND next = create_message_window();
    EXPECT_NE(next, doomed);
    EXPECT_FALSE(IsWindow(doomed));
    EXPECT_TRUE(DestroyWindow(next));
    EXPECT_TRUE(DestroyWindow(other));
}

TEST_F(MessageQueue, RefusesTargetsThatDoNotExist) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(PostMessageW(kNeverCreated, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(IsWindow(nullptr));
    EXPECT_FALSE(IsWindow(kNeverCreated));
    EXPECT_FALSE(IsWindow(HWND_MESSAGE));
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(PostThreadMessageW(0, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);

    // Only message-only windows exist so far; a top-level one is refused.
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(CreateWindowExW(0, L"SonaretTest", L"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                              nullptr),
              nullptr);
    EXPECT_NE(GetLastError(), ERROR_SUCCESS);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(
        CreateWindowExW(0, nullptr, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr),
        nullptr);
    EXPECT_NE(GetLastError(), ERROR_SUCCESS);
}

TEST_F(MessageQueue, RefusesPostsBeyondTheQueueLimit) {
    int accepted = 0;
    while (accepted <= 10000 && PostMessageW(nullptr, WM_USER, accepted, 0)) {
        ++accepted;
    }
    EXPECT_EQ(accepted, 10000);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
    EXPECT_EQ(peek(nullptr, 0, 0).wParam, 0u);
    EXPECT_TRUE(PostMessageW(nullptr, WM_USER, 0, 0));
}

TEST_F(MessageQueue, WindowBelongsToItsCreatingThread) {
    std::promise<HWND> created;
    std::promise<MSG> received;
    std::latch may_destroy(1);
    std::atomic<BOOL> destroyed{FALSE};
    std::atomic<DWORD> owner_id{0};
    std::thread owner([&] {
        owner_id = GetCurrentThreadId();
        created.set_value(create_message_window());
        MSG msg;
        GetMessageW(&msg, nullptr, 0, 0);
        received.set_value(msg);
        may_destroy.wait();
        destroyed = DestroyWindow(msg.hwnd);
    });
    const HWND window = created.get_future().get();
    EXPECT_NE(window, nullptr);

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(DestroyWindow(window));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(IsWindow(window));

    const BOOL posted = PostMessageW(window, WM_USER + 7, 1, 2);
    EXPECT_TRUE(posted);
    if (!posted) {
        PostThreadMessageW(owner_id, WM_NULL, 0, 0); // so the owner can end
    }
    const MSG msg = received.get_future().get();
    EXPECT_EQ(msg.hwnd, window);
    EXPECT_EQ(msg.message, WM_USER + 7);
    EXPECT_TRUE(queue_is_empty()) << "the poster's own queue got the message";
    may_destroy.count_down();
    owner.join();
    EXPECT_TRUE(destroyed);
}

TEST_F(MessageQueue, ThreadQueueComesOnFirstUseAndEndsWithTheThread) {
    std::promise<DWORD> id;
    std::latch may_start(1);
    std::promise<HWND> created;
    std::promise<MSG> received;
    std::thread receiver([&] {
        id.set_value(GetCurrentThreadId());
        may_start.wait();
        created.set_value(create_message_window()); // gives the thread its queue
        MSG msg;
        GetMessageW(&msg, nullptr, 0, 0);
        received.set_value(msg);
    });
    const DWORD receiver_id = id.get_future().get();
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(PostThreadMessageW(receiver_id, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);

    may_start.count_down();
    const HWND window = created.get_future().get();
    EXPECT_TRUE(PostThreadMessageW(receiver_id, WM_USER + 1, 3, 0));
    const MSG msg = received.get_future().get();
    EXPECT_EQ(msg.message, WM_USER + 1);
    EXPECT_EQ(msg.hwnd, nullptr);
    receiver.join();

    EXPECT_FALSE(PostThreadMessageW(receiver_id, WM_USER, 0, 0));
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(PostMessageW(window, WM_USER, 0, 0));
}

TEST_F(MessageQueue, GetMessageWaitsForAMatchingPostFromAnotherThread) {
    const HWND window = create_message_window();
    std::atomic<bool> posted{false};
    std::thread poster([&] {
        Sleep(50);
        PostMessageW(window, WM_USER + 1, 0, 0); // does not pass the filter below
        Sleep(50);
        posted = true;
        PostMessageW(window, WM_USER + 2, 0, 0);
    });
    MSG msg;
    EXPECT_EQ(GetMessageW(&msg, window, WM_USER + 2, WM_USER + 2), TRUE);
    EXPECT_TRUE(posted);
    EXPECT_EQ(msg.message, WM_USER + 2);
    poster.join();
    EXPECT_EQ(peek(nullptr, 0, 0).message, WM_USER + 1);
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(MessageQueue, ConcurrentPostersAllArriveInTheirOwnOrder) {
    constexpr int kSenders = 8;
    constexpr int kEach = 1000; // all at once stays under the queue limit
    const HWND window = create_message_window();
    const DWORD self = GetCurrentThreadId();
    std::atomic<int> refused{0};
    std::latch start(kSenders);
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            start.arrive_and_wait();
            for (int n = 0; n < kEach; ++n) {
                // Even senders post to the window, odd ones to the thread.
                const BOOL ok = s % 2 ? PostThreadMessageW(self, WM_USER, s, n)
                                      : PostMessageW(window, WM_USER, s, n);
                refused += ok ? 0 : 1;
            }
        });
    }
    std::vector<LPARAM> next(kSenders, 0);
    int out_of_order = 0;
    for (int i = 0; i < kSenders * kEach; ++i) {
        MSG msg{};
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        const size_t s = msg.wParam;
        if (got != TRUE || s >= next.size()) {
            ADD_FAILURE() << "unexpected message " << msg.message << " from " << s;
            break; // senders never block, so they can still be joined
        }
        EXPECT_EQ(msg.hwnd, s % 2 ? nullptr : window);
        out_of_order += msg.lParam == next[s] ? 0 : 1;
        next[s] = msg.lParam + 1;
    }
    for (auto& sender : senders) {
        sender.join();
    }
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(out_of_order, 0);
    EXPECT_EQ(next, std::vector<LPARAM>(kSenders, kEach));
    EXPECT_TRUE(queue_is_empty());
    EXPECT_TRUE(DestroyWindow(window));
}

// ---- window timers ----

bool is_timer(const MSG& msg, HWND window, UINT_PTR id) {
    return msg.message == WM_TIMER && msg.hwnd == window && msg.wParam == id && msg.lParam == 0;
}

// Nothing else is posted here, so only the timer can end each wait.
TEST_F(MessageQueue, TimerWakesABlockedThreadEveryPeriodAndNeverEarly) {
    const HWND window = create_message_window();
    const auto set_at = std::chrono::steady_clock::now();
    ASSERT_EQ(SetTimer(window, 42, 25, nullptr), 42u);
    for (int i = 1; i <= 3; ++i) {
        MSG msg;
        ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
        EXPECT_TRUE(is_timer(msg, window, 42)) << "message " << msg.message;
        EXPECT_GE(std::chrono::steady_clock::now() - set_at, std::chrono::milliseconds(25 * i));
    }
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(MessageQueue, DueTimerComesAfterPostsAndQuitAndOnceForALateReader) {
    const HWND window = create_message_window();
    ASSERT_EQ(SetTimer(window, 7, 300, nullptr), 7u);
    Sleep(1000); // three periods pass unread; the next is 200 ms away
    ASSERT_TRUE(PostMessageW(window, WM_USER + 1, 0, 0));
    EXPECT_EQ(peek(kThreadMessagesOnly, WM_TIMER, WM_TIMER).message, WM_NULL);
    EXPECT_TRUE(is_timer(peek(window, WM_TIMER, WM_TIMER, PM_NOREMOVE), window, 7));
    PostQuitMessage(3);
    EXPECT_EQ(peek(nullptr, 0, 0).message, WM_USER + 1);
    EXPECT_EQ(peek(nullptr, 0, 0).message, WM_QUIT);
    EXPECT_TRUE(is_timer(peek(nullptr, 0, 0), window, 7));
    EXPECT_TRUE(queue_is_empty()) << "one WM_TIMER, not one per period";
    EXPECT_TRUE(KillTimer(window, 7));
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(MessageQueue, KillReplaceOrDestroyEndsWhatWasDue) {
    const HWND window = create_message_window();
    const HWND other = create_message_window();
    ASSERT_EQ(SetTimer(window, 5, 10, nullptr), 5u);
    ASSERT_EQ(SetTimer(other, 5, 10, nullptr), 5u);
    ASSERT_EQ(SetTimer(window, 6, 10, nullptr), 6u);
    ASSERT_EQ(SetTimer(window, 4, 0xFFFFFFFFu, nullptr), 4u); // the maximum: far ahead
    ASSERT_EQ(SetTimer(window, 0, 60000, nullptr), 1u);       // nonzero for id 0
    Sleep(40);
    EXPECT_TRUE(KillTimer(window, 5));
    EXPECT_EQ(SetTimer(window, 6, 60000, nullptr), 6u); // replaced and started anew
    ASSERT_TRUE(DestroyWindow(other));
    EXPECT_TRUE(queue_is_empty()) << "a killed, replaced or destroyed timer fired";

    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(KillTimer(window, 5));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << "Windows leaves it as it was";
    for (UINT_PTR id : {0, 4, 6}) {
        EXPECT_TRUE(KillTimer(window, id));
    }
    EXPECT_FALSE(KillTimer(window, 6)) << "replacing made a second timer";
    EXPECT_FALSE(KillTimer(other, 5));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(SetTimer(other, 5, 10, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(SetTimer(nullptr, 1, 10, nullptr), 0u); // no thread timers here
    EXPECT_EQ(GetLastError(), ERROR_CALL_NOT_IMPLEMENTED);
    EXPECT_TRUE(DestroyWindow(window));
}

// Windows accepts another thread's window; the timer then is that thread's.
TEST_F(MessageQueue, TimerSetOnAnotherThreadsWindowWakesThatThread) {
    std::promise<HWND> created;
    MSG received{};
    std::thread owner([&] {
        created.set_value(create_message_window());
        GetMessageW(&received, nullptr, 0, 0); // waits with no timer of its own
    });
    const HWND window = created.get_future().get();
    EXPECT_EQ(SetTimer(window, 11, 0, nullptr), 11u); // 0 counts as the minimum
    owner.join();
    EXPECT_TRUE(is_timer(received, window, 11));
    EXPECT_TRUE(queue_is_empty()) << "the setter's own queue got it";
    EXPECT_FALSE(KillTimer(window, 11)) << "the timer outlived its thread";
}

} // namespace
