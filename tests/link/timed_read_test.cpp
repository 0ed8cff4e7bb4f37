#include <gtest/gtest.h>

#include <thread>

#include "link_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

class TimedReadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResultCode result = 99;
        ASSERT_TRUE(link.Open(MakeRecord(LinkKind::VendorBulk), &result));
        ASSERT_EQ(result, RESULT_SUCCESS);
    }
    void TearDown() override {
        if (producer.joinable()) {
            producer.join();
        }
    }
    void DeliverLater(std::uint32_t delayMs, std::vector<std::uint8_t> bytes) {
        if (producer.joinable()) {
            producer.join();
        }
        producer = std::thread([this, delayMs, bytes] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            port.Deliver(bytes);
        });
    }

    SimPort port;
    DeviceLink link{port};
    std::thread producer;
};

TEST_F(TimedReadTest, FirstWaitZeroTakesOnlyWhatIsThere) {
    port.Deliver({1, 2, 3});
    ASSERT_TRUE(WaitForRingCount(link, 3));
    std::uint8_t out[8] = {};
    EXPECT_EQ(link.ReadTimed(0, out, 8, 50), 3u);
    EXPECT_EQ(out[2], 3);
    EXPECT_EQ(link.ReadTimed(0, out, 8, 50), 0u);
}

TEST_F(TimedReadTest, RestArrivingWithinTheFirstWaitCompletesTheRead) {
    port.Deliver({1, 2});
    ASSERT_TRUE(WaitForRingCount(link, 2));
    DeliverLater(30, {3, 4});
    std::uint8_t out[4] = {};
    EXPECT_EQ(link.ReadTimed(1000, out, 4, 50), 4u);
    EXPECT_EQ(out[3], 4);
}

TEST_F(TimedReadTest, NothingArrivingCostsAtLeastTheFirstWait) {
    std::uint8_t out = 0xAA;
    const auto start = Clock::now();
    EXPECT_FALSE(link.ReadByte(120, &out));
    EXPECT_GE(MillisecondsSince(start), 120);
    EXPECT_EQ(out, 0);
}

TEST_F(TimedReadTest, ClosingTheDeviceReleasesAWaitingReadWithWhatWasHeld) {
    port.Deliver({9, 8, 7});
    ASSERT_TRUE(WaitForRingCount(link, 3));
    producer = std::thread([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        port.FailReads();  // the device goes away; the reader closes the link
    });
    std::uint8_t out[8] = {};
    const auto start = Clock::now();
    // Three bytes come at once; the rest is waited for until the close releases the read.
    EXPECT_EQ(link.ReadTimed(20000, out, 3, 20000), 3u);
    EXPECT_EQ(link.ReadTimed(20000, out, 8, 20000), 0u);
    EXPECT_LT(MillisecondsSince(start), 10000);
    EXPECT_FALSE(link.IsOpen());
}

TEST_F(TimedReadTest, BytesReceivedBeforeTheCloseStayReadable) {
    port.Deliver({1, 2, 3, 4, 5});
    ASSERT_TRUE(WaitForRingCount(link, 5));
    port.FailReads();
    for (int i = 0; i < 5000 && link.IsOpen(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_FALSE(link.IsOpen());
    std::uint8_t out[8] = {};
    EXPECT_EQ(link.ReadTimed(1000, out, 8, 50), 5u);
    EXPECT_EQ(out[4], 5);
}

TEST_F(TimedReadTest, FlushWithoutDrainOnlyEmptiesTheRing) {
    port.Deliver(std::vector<std::uint8_t>(300, 1));
    ASSERT_TRUE(WaitForRingCount(link, 300));
    const auto start = Clock::now();
    EXPECT_EQ(link.Flush(0), 300u);
    EXPECT_LT(MillisecondsSince(start), 1000);
    EXPECT_EQ(link.Ring().Count(), 0u);
}

TEST_F(TimedReadTest, DrainPassesOfABurst) {
    // A 10000-byte burst reaches the ring in reads of at most 4096 bytes; each drain pass
    // takes a full chunk while the gaps stay short.
    port.Deliver(std::vector<std::uint8_t>(10000, 7));
    ASSERT_TRUE(WaitForRingCount(link, 10000));
    std::uint8_t scratch[4096];
    EXPECT_EQ(link.ReadTimed(50, scratch, 4096, LINK_DEFAULT_WAIT), 4096u);
    EXPECT_EQ(link.ReadTimed(50, scratch, 4096, LINK_DEFAULT_WAIT), 4096u);
    EXPECT_EQ(link.ReadTimed(50, scratch, 4096, LINK_DEFAULT_WAIT), 1808u);
}

// The same reads on simulated time: each piece arrives exactly when the test says, and a wait
// that runs out costs no wall-clock time. (The tests above stay on the real clock, where the
// reader's close must wake a waiting read by itself.)
class SimulatedTimedReadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port.UseVirtualClock(clock);
        ResultCode result = 99;
        ASSERT_TRUE(link.Open(MakeRecord(LinkKind::VendorBulk), &result));
        ASSERT_EQ(result, RESULT_SUCCESS);
    }
    // Bytes already taken into the ring before the read starts.
    void Hold(const std::vector<std::uint8_t>& bytes) {
        port.Deliver(bytes);
        ASSERT_TRUE(port.AwaitReaderIdle());
    }
    void DeliverLater(std::uint32_t delayMs, std::vector<std::uint8_t> bytes) {
        clock.At(clock.Now() + delayMs, [this, bytes] { port.Deliver(bytes); });
    }

    VirtualClock clock;
    SimPort port;
    DeviceLink link{port, clock};
};

TEST_F(SimulatedTimedReadTest, FirstWaitBoundsTheFirstWaitEvenWithBytesHeld) {
    Hold({1, 2});
    DeliverLater(2000, {3, 4});
    std::uint8_t out[4] = {};
    const std::uint64_t start = clock.Now();
    EXPECT_EQ(link.ReadTimed(200, out, 4, 50), 2u);
    EXPECT_GE(clock.Now() - start, 200u);
}

TEST_F(SimulatedTimedReadTest, GapLongerThanTheFollowingWaitEndsTheRead) {
    DeliverLater(100, {1, 2, 3, 4});
    DeliverLater(1600, {5, 6, 7, 8});
    std::uint8_t out[8] = {};
    EXPECT_EQ(link.ReadTimed(2000, out, 8, 50), 4u);
}

TEST_F(SimulatedTimedReadTest, GapWithinTheFollowingWaitKeepsReading) {
    DeliverLater(50, {1, 2, 3, 4});
    DeliverLater(80, {5, 6, 7, 8});
    std::uint8_t out[8] = {};
    EXPECT_EQ(link.ReadTimed(2000, out, 8, 2000), 8u);
    EXPECT_EQ(out[7], 8);
}

TEST_F(SimulatedTimedReadTest, FlushDrainsABurstThatArrivesDuringTheDrain) {
    Hold({1, 2, 3});
    DeliverLater(10, std::vector<std::uint8_t>(10000, 7));
    EXPECT_EQ(link.Flush(500), 10003u);
    EXPECT_EQ(link.Ring().Count(), 0u);
}

// Pieces of 4 bytes each arriving just inside or just outside the first wait, the following
// wait, and the link's default following wait.
TEST_F(SimulatedTimedReadTest, PiecesJustInsideAndJustOutsideEachWait) {
    struct Case {
        const char* name;
        std::uint32_t held;                     // bytes in the ring before the read
        std::vector<std::uint32_t> piecesAtMs;  // each after the one before
        std::uint32_t firstWaitMs;
        std::uint32_t followingWaitMs;
        std::uint32_t delivered;
    };
    const Case cases[] = {
        {"first piece at the first wait", 0, {1000, 10}, 1000, 50, 8},
        {"first piece after the first wait", 0, {1001}, 1000, 50, 0},
        {"held bytes, the rest at the first wait", 2, {1000}, 1000, 50, 6},
        {"held bytes, the rest after the first wait", 2, {1001}, 1000, 50, 2},
        {"second piece at the following wait", 0, {10, 50}, 1000, 50, 8},
        {"second piece after the following wait", 0, {10, 51}, 1000, 50, 4},
        {"second piece at the link's default wait", 0, {10, 20}, 1000, LINK_DEFAULT_WAIT, 8},
        {"second piece after the link's default wait", 0, {10, 21}, 1000, LINK_DEFAULT_WAIT, 4},
    };
    for (const Case& c : cases) {
        if (c.held > 0) {
            Hold(std::vector<std::uint8_t>(c.held, 0xEE));
        }
        std::uint32_t at = 0;
        for (std::uint32_t delayMs : c.piecesAtMs) {
            at += delayMs;
            DeliverLater(at, {1, 2, 3, 4});
        }
        std::uint8_t out[8] = {};
        EXPECT_EQ(link.ReadTimed(c.firstWaitMs, out, 8, c.followingWaitMs), c.delivered) << c.name;
        // Whatever the read left behind arrives and goes before the next case.
        clock.Pause(5000);
        link.Flush(1);
    }
}

// A drain waits its drain time for the first bytes and then goes on while the gaps stay within
// the link's default following wait; what comes later stays for the reads behind it.
TEST_F(SimulatedTimedReadTest, DrainsJustInsideAndJustOutside) {
    struct Case {
        const char* name;
        std::uint32_t drainMs;
        std::vector<std::uint32_t> piecesAtMs;  // 100 bytes each, each after the one before
        std::uint32_t dropped;
        std::uint32_t left;
    };
    const Case cases[] = {
        {"first bytes at the drain time", 50, {50}, 100, 0},
        {"first bytes after the drain time", 50, {51}, 0, 100},
        {"a gap of the default wait keeps the drain going", 50, {10, 20, 20}, 300, 0},
        {"a longer gap ends it", 50, {10, 20, 21}, 200, 100},
        {"no drain time: nothing is awaited", 0, {0}, 0, 100},
    };
    for (const Case& c : cases) {
        std::uint32_t at = 0;
        for (std::uint32_t delayMs : c.piecesAtMs) {
            at += delayMs;
            DeliverLater(at, std::vector<std::uint8_t>(100, 0x55));
        }
        EXPECT_EQ(link.Flush(c.drainMs), c.dropped) << c.name;
        std::uint8_t rest[512];
        EXPECT_EQ(link.ReadTimed(5000, rest, sizeof rest, 200), c.left) << c.name;
    }
}

}  // namespace
