#include "link/receive_ring.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<std::uint8_t> Sequence(std::uint32_t n, std::uint8_t start) {
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t i = 0; i < n; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(start + i));
    }
    return bytes;
}

// The event is signalled exactly while bytes are held.
void ExpectEventMatchesCount(ReceiveRing& ring) {
    EXPECT_EQ(ring.DataEvent().IsSignalled(), ring.Count() > 0);
}

TEST(ReceiveRing, WrapsAroundInOrder) {
    ReceiveRing ring;
    ring.Allocate(16);
    std::vector<std::uint8_t> out;
    std::uint8_t next = 0;
    std::uint8_t expected = 0;
    // Uneven puts and gets walk the positions across the end of the storage many times.
    for (int round = 0; round < 40; ++round) {
        const auto put = static_cast<std::uint32_t>(round % 7 + 1);
        if (ring.Count() + put <= 16) {
            const auto bytes = Sequence(put, next);
            ASSERT_TRUE(ring.Put(put, bytes.data()));
            next = static_cast<std::uint8_t>(next + put);
        }
        ExpectEventMatchesCount(ring);
        std::uint8_t taken[16];
        const std::uint32_t got = ring.Get(static_cast<std::uint32_t>(round % 5 + 1), taken);
        for (std::uint32_t i = 0; i < got; ++i) {
            ASSERT_EQ(taken[i], expected++) << "round " << round;
        }
        ExpectEventMatchesCount(ring);
    }
}

TEST(ReceiveRing, PutIsAllOrNothingAtTheFreeRoom) {
    ReceiveRing ring;
    ring.Allocate(32);
    const auto first = Sequence(10, 0);
    ASSERT_TRUE(ring.Put(10, first.data()));
    const auto tooMany = Sequence(23, 100);
    EXPECT_FALSE(ring.Put(23, tooMany.data()));
    EXPECT_EQ(ring.Count(), 10u);
    const auto exact = Sequence(22, 100);
    EXPECT_TRUE(ring.Put(22, exact.data()));
    EXPECT_EQ(ring.Count(), 32u);
    EXPECT_FALSE(ring.Put(1, exact.data()));
    std::uint8_t out[32];
    ASSERT_EQ(ring.Get(32, out), 32u);
    EXPECT_EQ(std::vector<std::uint8_t>(out, out + 10), first);
    EXPECT_EQ(std::vector<std::uint8_t>(out + 10, out + 32), exact);
    ExpectEventMatchesCount(ring);
}

TEST(ReceiveRing, EventFollowsTheCount) {
    ReceiveRing ring;
    ring.Allocate(64);
    const auto bytes = Sequence(8, 1);
    std::uint8_t out[8];
    EXPECT_EQ(ring.Get(0, out), 0u);
    EXPECT_EQ(ring.Get(4, out), 0u);
    EXPECT_FALSE(ring.DataEvent().IsSignalled());
    EXPECT_TRUE(ring.Put(0, bytes.data()));
    EXPECT_FALSE(ring.DataEvent().IsSignalled());
    ASSERT_TRUE(ring.Put(4, bytes.data()));
    EXPECT_TRUE(ring.DataEvent().IsSignalled());
    ASSERT_TRUE(ring.Put(4, bytes.data()));
    EXPECT_TRUE(ring.DataEvent().IsSignalled());
    EXPECT_EQ(ring.Get(0, out), 0u);
    EXPECT_TRUE(ring.DataEvent().IsSignalled());
    EXPECT_EQ(ring.Get(7, out), 7u);
    EXPECT_TRUE(ring.DataEvent().IsSignalled());
    EXPECT_EQ(ring.Get(7, out), 1u);
    EXPECT_FALSE(ring.DataEvent().IsSignalled());
    ASSERT_TRUE(ring.Put(5, bytes.data()));
    EXPECT_EQ(ring.Clear(), 5u);
    EXPECT_FALSE(ring.DataEvent().IsSignalled());
    EXPECT_EQ(ring.Clear(), 0u);
    ring.PulseDataEvent();
    EXPECT_FALSE(ring.DataEvent().IsSignalled());
    ASSERT_TRUE(ring.Put(2, bytes.data()));
    ring.PulseDataEvent();
    EXPECT_TRUE(ring.DataEvent().IsSignalled());
}

TEST(ReceiveRing, MissingStorageRefusesEveryPut) {
    ReceiveRing ring;  // never allocated: capacity 0
    const auto bytes = Sequence(4, 0);
    std::uint8_t out[4];
    EXPECT_EQ(ring.Capacity(), 0u);
    EXPECT_FALSE(ring.Put(1, bytes.data()));
    EXPECT_TRUE(ring.Put(0, bytes.data()));
    EXPECT_EQ(ring.Get(4, out), 0u);
    EXPECT_FALSE(ring.DataEvent().IsSignalled());
}

TEST(ReceiveRing, FullSizeStorage) {
    ReceiveRing ring;
    ring.Allocate(RING_CAPACITY);
    ASSERT_EQ(ring.Capacity(), RING_CAPACITY);
    std::vector<std::uint8_t> big(RING_CAPACITY, 0x5A);
    EXPECT_TRUE(ring.Put(RING_CAPACITY, big.data()));
    EXPECT_FALSE(ring.Put(1, big.data()));
}

}  // namespace
