// The counts of a ring that one producer thread and one consumer thread
// share without a lock. The ring's owner keeps the slots (a peak, a frame of
// values, a period of bytes and its details) and element number n lives in
// slot n % capacity; the counts say which slots hold what. Each count is
// written by one side only: what the producer has published, what the
// consumer has taken. Counts run on and wrap with their type: a type that
// can wrap while the ring is in use needs a capacity that divides its range.
//
// When the ring is full one side loses, as the policy says:
// - overwrite_oldest: the producer never waits and never fails; it stores
//   over the oldest slots. It claims the numbers it is about to store before
//   their slots change; the consumer copies slots out and then asks which of
//   its copies may have been overwritten meanwhile, and leaves them out. The
//   slots are atomics, stored with release after claim() and loaded with
//   acquire before overwritten(), so that a copy of a slot being overwritten
//   brings the claim with it. What the producer overwrote is counted.
// - drop_newest: a slot is the producer's again only once the consumer has
//   taken it, so the consumer may read it in place as long as it needs and
//   the slots need not be atomics; a producer that finds the ring full
//   drops what arrives and says so its own way.
//
// Publish is the ordering of the producer's count: release pairs with the
// consumer's acquire, so whatever the producer stored before publish() is
// seen by a consumer that sees the count. seq_cst also orders the count
// with the owner's other sequentially consistent operations (a flag that
// the consumer clears before it looks, and the producer sets after).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <atomic>

enum class RingFull { overwrite_oldest, drop_newest };

template <RingFull Policy, typename Count, std::memory_order Publish = std::memory_order_release>
class SpscRing {
  public:
    // What the consumer may take: numbers first .. first + count - 1, oldest first.
    struct Waiting {
        Count first;
        Count count;
    };

    constexpr explicit SpscRing(Count capacity = 0) : capacity_(capacity) {}

    // Before either side uses the ring: its capacity, and the number its next
    // element gets.
    void start(Count capacity, Count first) {
        capacity_ = capacity;
        claimed_.store(first);
        published_.store(first);
        taken_.store(first);
        dropped_.store(0);
    }

    Count capacity() const { return capacity_; }
    size_t slot(Count number) const { return static_cast<size_t>(number % capacity_); }

    // The counts, for those who follow progress (no slot's contents come with them).
    Count published() const { return published_.load(std::memory_order_relaxed); }
    Count taken() const { return taken_.load(std::memory_order_relaxed); }
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

    // The producer's side. The number its next element gets.
    Count next() const { return published_.load(std::memory_order_relaxed); }

    // Announces that the next `n` numbers are about to be stored, before
    // their slots change; returns the first.
    Count claim(Count n) requires(Policy == RingFull::overwrite_oldest) {
        const Count at = next();
        claimed_.store(at + n, std::memory_order_relaxed);
        return at;
    }

    // Whether the next number's slot still waits for the consumer.
    bool full() const requires(Policy == RingFull::drop_newest) {
        return next() - taken_.load(std::memory_order_acquire) >= capacity_;
    }

    // Everything before `end` is stored: the consumer may take it.
    void publish(Count end) { published_.store(end, Publish); }

    // The consumer's side. Overwriting, a whole ring at most waits: what the
    // producer stored over is counted as dropped.
    Waiting waiting() {
        const Count published = published_.load(kSee);
        Count first = taken_.load(std::memory_order_relaxed);
        Count count = published - first;
        if constexpr (Policy == RingFull::overwrite_oldest) {
            if (count > capacity_) {
                dropped_.fetch_add(count - capacity_, std::memory_order_relaxed);
                first = published - capacity_;
                count = capacity_;
            }
        }
        return {first, count};
    }

    // After the consumer has copied the slots of numbers first .. first + n - 1:
    // how many of them, the oldest, share a slot with a number the producer
    // has claimed since, and may be torn. They are counted as dropped.
    Count overwritten(Count first, Count n) requires(Policy == RingFull::overwrite_oldest) {
        // A value copied from a slot being overwritten was stored after its
        // claim (release, and our acquire), so this sees the claim.
        const Count behind = claimed_.load(std::memory_order_relaxed) - first;
        const Count lost =
            behind > capacity_ ? std::min(n, static_cast<Count>(behind - capacity_)) : 0;
        if (lost > 0) {
            dropped_.fetch_add(lost, std::memory_order_relaxed);
        }
        return lost;
    }

    // The consumer is done with everything before `end`.
    void take(Count end) { taken_.store(end, std::memory_order_release); }

    // Whoever holds the consumer's side while the producer is held too: the
    // ring is empty again, with no loss.
    void discard_waiting() { taken_.store(published_.load()); }

  private:
    static constexpr std::memory_order kSee = Publish == std::memory_order_seq_cst
                                                  ? std::memory_order_seq_cst
                                                  : std::memory_order_acquire;

    Count capacity_;
    std::atomic<Count> claimed_{0}; // overwrite_oldest: numbers the producer has begun to store
    std::atomic<Count> published_{0};
    std::atomic<Count> taken_{0};
    std::atomic<uint64_t> dropped_{0}; // overwrite_oldest: numbers the consumer never got
};
