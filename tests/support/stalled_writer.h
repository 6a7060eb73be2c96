// A disk that stalls, for tests: the MP3 writer's lock is held, so the
// writer thread's next write (or flush) waits, as it would in the C runtime
// on a slow device, until the holder lets go.
#pragma once

#include <atomic>
#include <thread>

#include "mp3_writer.h"

// Holds the writer's lock for as long as it lives.
class StalledWriter {
  public:
    explicit StalledWriter(Mp3Writer* writer) : writer_(writer) {
        EnterCriticalSection(&writer_->lock);
    }
    ~StalledWriter() { LeaveCriticalSection(&writer_->lock); }
    StalledWriter(const StalledWriter&) = delete;
    StalledWriter& operator=(const StalledWriter&) = delete;

  private:
    Mp3Writer* writer_;
};

// The same stall, held by a thread of its own, so that the thread that
// made it may wait for the writer (as a window that waits for the disk
// would) without waiting for itself: held from construction until release()
// or destruction, or at most `limit_ms`, so that such a wait ends in a
// failed assertion rather than a hung test.
class StallOnItsOwnThread {
  public:
    explicit StallOnItsOwnThread(Mp3Writer* writer, DWORD limit_ms = 20000)
        : release_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          thread_([this, writer, limit_ms] {
              const StalledWriter stall(writer);
              held_.store(true);
              WaitForSingleObject(release_, limit_ms);
              held_.store(false);
          }) {
        while (!held_.load()) {
            Sleep(1);
        }
    }
    ~StallOnItsOwnThread() {
        release();
        CloseHandle(release_);
    }
    // The disk comes back: returns once the writer can go on.
    void release() {
        SetEvent(release_);
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    bool held() const { return held_.load(); }
    StallOnItsOwnThread(const StallOnItsOwnThread&) = delete;
    StallOnItsOwnThread& operator=(const StallOnItsOwnThread&) = delete;

  private:
    HANDLE release_;
    std::atomic<bool> held_{false};
    std::thread thread_;
};
