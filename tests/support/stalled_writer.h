// A disk that stalls, for tests: the MP3 writer's lock is held, so the
// writer thread's next write (or flush) waits, as it would in the C runtime
// on a slow device, until the holder lets go.
#pragma once

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
