// The ring's counts on their own, both policies: a ring filled, overrun, and
// written while the consumer copies, with counts that pass their type's end.
#include <gtest/gtest.h>

#include <stdint.h>

#include <vector>

#include "spsc_ring.h"

namespace {

constexpr uint32_t kSlots = 4;                // divides 2^32, so the counts may wrap
constexpr uint32_t kNearEnd = UINT32_MAX - 1; // the count wraps at the third element

struct RingCase {
    const char* name;
    uint32_t first;  // the first element's number
    uint32_t stored; // elements the producer stores before the consumer looks
    uint32_t during; // elements it stores while the consumer copies
    uint32_t kept_overwriting, dropped_overwriting, kept_dropping, refused_dropping;
};

class Ring : public testing::TestWithParam<RingCase> {};

TEST_P(Ring, OverwriteOldestKeepsTheNewestAndCountsTheRest) {
    const RingCase& c = GetParam();
    SpscRing<RingFull::overwrite_oldest, uint32_t> ring;
    ring.start(kSlots, c.first);
    std::atomic<uint32_t> slots[kSlots];
    auto store = [&](uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t at = ring.claim(1);
            slots[ring.slot(at)].store(at, std::memory_order_release);
            ring.publish(at + 1);
        }
    };
    store(c.stored);
    const auto waiting = ring.waiting();
    EXPECT_LE(waiting.count, kSlots) << "a whole ring at most";
    std::vector<uint32_t> copy;
    for (uint32_t i = 0; i < waiting.count; ++i) {
        copy.push_back(slots[ring.slot(waiting.first + i)].load(std::memory_order_acquire));
    }
    store(c.during);
    const uint32_t lost = ring.overwritten(waiting.first, waiting.count);
    EXPECT_EQ(waiting.count - lost, c.kept_overwriting);
    EXPECT_EQ(ring.dropped(), c.dropped_overwriting);
    for (uint32_t i = lost; i < waiting.count; ++i) {
        EXPECT_EQ(copy[i], c.first + c.stored - waiting.count + i) << "the newest, in order";
    }
}

TEST_P(Ring, DropNewestKeepsTheOldestUntilTaken) {
    const RingCase& c = GetParam();
    SpscRing<RingFull::drop_newest, uint32_t> ring;
    ring.start(kSlots, c.first);
    uint32_t slots[kSlots] = {};
    uint32_t refused = 0;
    auto store = [&](uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) {
            refused += ring.full() ? 1 : 0;
            if (!ring.full()) {
                slots[ring.slot(ring.next())] = ring.next();
                ring.publish(ring.next() + 1);
            }
        }
    };
    store(c.stored);
    const auto waiting = ring.waiting();
    store(c.during);
    ASSERT_EQ(waiting.count, c.kept_dropping);
    EXPECT_EQ(refused, c.refused_dropping);
    for (uint32_t i = 0; i < waiting.count; ++i) {
        EXPECT_EQ(slots[ring.slot(waiting.first + i)], c.first + i) << "the oldest, in order";
    }
    ring.take(waiting.first + waiting.count);
    EXPECT_FALSE(ring.full()) << "a taken slot is the producer's again";
}

INSTANTIATE_TEST_SUITE_P(
    SpscRing, Ring,
    testing::Values(RingCase{"Empty", 0, 0, 0, 0, 0, 0, 0},
                    RingCase{"Full", 0, kSlots, 0, kSlots, 0, kSlots, 0},
                    RingCase{"Overrun", 0, kSlots + 2, 0, kSlots, 2, kSlots, 2},
                    RingCase{"AcrossTheCountsEnd", kNearEnd, kSlots + 2, 0, kSlots, 2, kSlots, 2},
                    RingCase{"StoredWhileCopied", kNearEnd, kSlots, 1, kSlots - 1, 1, kSlots, 1}),
    [](const testing::TestParamInfo<RingCase>& p) { return std::string(p.param.name); });

} // namespace
