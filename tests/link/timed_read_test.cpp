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

TEST_F(TimedReadTest, FirstWaitBoundsTheFirstWaitEvenWithBytesHeld) {
    port.Deliver({1, 2});
    ASSERT_TRUE(WaitForRingCount(link, 2));
    DeliverLater(2000, {3, 4});
    std::uint8_t out[4] = {};
    const auto start = Clock::now();
    EXPECT_EQ(link.ReadTimed(200, out, 4, 50), 2u);
    EXPECT_GE(MillisecondsSince(start), 200);
}

TEST_F(TimedReadTest, GapLongerThanTheFollowingWaitEndsTheRead) {
    producer = std::thread([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        port.Deliver({1, 2, 3, 4});
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        port.Deliver({5, 6, 7, 8});
    });
    std::uint8_t out[8] = {};
    EXPECT_EQ(link.ReadTimed(2000, out, 8, 50), 4u);
}

TEST_F(TimedReadTest, GapWithinTheFollowingWaitKeepsReading) {
    producer = std::thread([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        port.Deliver({1, 2, 3, 4});
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        port.Deliver({5, 6, 7, 8});
    });
    std::uint8_t out[8] = {};
    EXPECT_EQ(link.ReadTimed(2000, out, 8, 2000), 8u);
    EXPECT_EQ(out[7], 8);
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

TEST_F(TimedReadTest, FlushDrainsABurstThatArrivesDuringTheDrain) {
    port.Deliver({1, 2, 3});
    ASSERT_TRUE(WaitForRingCount(link, 3));
    DeliverLater(10, std::vector<std::uint8_t>(10000, 7));
    EXPECT_EQ(link.Flush(500), 10003u);
    EXPECT_EQ(link.Ring().Count(), 0u);
}

}  // namespace
