#include "protocol/packets.h"

#include <gtest/gtest.h>

#include <thread>

#include "protocol_test_support.h"

namespace {

// On simulated time: a silent device costs no wall-clock time, and each answer arrives
// exactly when its script says.
class PacketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port.UseVirtualClock(clock);
        ASSERT_TRUE(link.Open(BulkRecord(), nullptr));
    }
    void TearDown() override { link.StopReader(); }

    // Waits until the reader has moved n delivered bytes into the ring.
    void AwaitRing(std::uint32_t n) {
        for (int i = 0; i < 5000 && link.Ring().Count() < n; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_GE(link.Ring().Count(), n);
    }

    VirtualClock clock;
    SimPort port;
    DeviceLink link{port, clock};
    ScriptedDevice device{port, &clock};
};

TEST_F(PacketTest, StartCommandIsFourteenBytes) {
    device.Reply(TextFrame("0"));
    EXPECT_TRUE(SendTextCommand(link, 1000, ">Start"));
    ASSERT_EQ(port.Writes().size(), 1u);
    EXPECT_EQ(port.Writes()[0], TextFrame(">Start"));
    EXPECT_EQ(port.Writes()[0].size(), 14u);
}

TEST_F(PacketTest, FormattedCommandsCarryTheirValues) {
    device.Reply(TextFrame("0"));
    device.Reply(TextFrame("0"));
    EXPECT_TRUE(SendTextCommand(link, 1000, "!FileType:%.4s:%u", "flahXYZ", 77u));
    EXPECT_TRUE(SendTextCommand(link, 1000, "!DataLens:%u", 4294967295u));
    ASSERT_EQ(port.Writes().size(), 2u);
    EXPECT_EQ(port.Writes()[0], TextFrame("!FileType:flah:77"));
    EXPECT_EQ(port.Writes()[1], TextFrame("!DataLens:4294967295"));
}

TEST_F(PacketTest, TextLengthLimits) {
    device.Reply(TextFrame("0"));
    const std::string longest(252, 'x');
    EXPECT_TRUE(SendTextCommand(link, 1000, "%s", longest.c_str()));
    ASSERT_EQ(port.Writes().size(), 1u);
    EXPECT_EQ(port.Writes()[0], TextFrame(longest));
    EXPECT_EQ(port.Writes()[0].size(), 260u);

    const std::string tooLong(253, 'x');
    EXPECT_FALSE(SendTextCommand(link, 1000, "%s", tooLong.c_str()));
    EXPECT_FALSE(SendTextCommand(link, 1000, "%s", ""));
    EXPECT_EQ(port.Writes().size(), 1u);
    EXPECT_TRUE(link.IsOpen());
}

TEST_F(PacketTest, ReplyVerdicts) {
    struct Case {
        const char* name;
        Bytes reply;
        bool accepted;
    };
    const Case cases[] = {
        {"accepted", TextFrame("0"), true},
        {"accepted with more bytes", TextFrame("0 and more"), true},
        {"refused", TextFrame("1"), false},
        {"longest accepted length", TextFrame("0" + std::string(248, 'y')), true},
        {"wrong crc", TextFrame("0", false), false},
        {"length zero", TextFrame(""), false},
        {"wrong first mark", Bytes{0x03, 0x05, 0x00, 0x01, '0', 0, 0, 0, 0}, false},
        {"tilde reply instead", TildeFrame(0x02, "0"), false},
        {"silence", Bytes{}, false},
    };
    for (const Case& c : cases) {
        device.Reply(c.reply);
        EXPECT_EQ(SendTextCommand(link, 1000, "@Exit"), c.accepted) << c.name;
        link.Flush(0);
    }
}

TEST_F(PacketTest, ReplyOf250BytesIsRefusedAndDrained) {
    Bytes reply = TextFrame("0" + std::string(249, 'y'));
    device.Reply(reply);
    EXPECT_FALSE(SendTextCommand(link, 1000, "@Exit"));
    EXPECT_EQ(link.Ring().Count(), 0u);  // the 20 ms drain took the rest
}

TEST_F(PacketTest, WrongCrcLeavesWhatFollowsInTheRing) {
    Bytes reply = TextFrame("0", false);
    reply.push_back('^');
    reply.push_back('*');
    device.Reply(reply);
    EXPECT_FALSE(SendTextCommand(link, 1000, "@Exit"));
    AwaitRing(2);
    std::uint8_t rest[2] = {};
    EXPECT_EQ(link.ReadTimed(0, rest, 2, 0), 2u);
    EXPECT_EQ(rest[0], '^');
}

TEST_F(PacketTest, ShortPayloadIsDrained) {
    Bytes reply = TextFrame("0123456789");
    reply.resize(reply.size() - 2);
    device.Reply(reply);
    const std::uint64_t start = clock.Now();
    EXPECT_FALSE(SendTextCommand(link, 1000, "@Exit"));
    EXPECT_GE(clock.Now() - start, 100u);
}

TEST_F(PacketTest, ModelQueryBytesAndUpdateModePacket) {
    device.Reply(TildeFrame(0x02, "4EM7"));
    std::uint8_t name[64] = {};
    EXPECT_EQ(QueryDeviceModel(link, name), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), 3), "EM7");
    ASSERT_EQ(port.Writes().size(), 1u);
    EXPECT_EQ(port.Writes()[0], (Bytes{0x7E, 0x00, 0x00, 0x03, 0x33, 0x47, 0x01, 0x89}));
    EXPECT_EQ(Bytes(UPDATE_MODE_PACKET, UPDATE_MODE_PACKET + TILDE_UPDATE_MODE_SIZE),
              TildeFrame(0x7E, "~goFlash~"));
}

TEST_F(PacketTest, ModelReplyLengths) {
    struct Case {
        const char* name;
        Bytes reply;
        std::uint32_t expected;
    };
    const std::string name61(61, 'N');
    const Case cases[] = {
        {"answer mark alone", TildeFrame(0x02, "4"), 0},
        {"61-byte name", TildeFrame(0x02, "4" + name61), 61},
        {"62-byte name does not fit", TildeFrame(0x02, "4" + name61 + "X"), 0},
        {"wrong answer mark", TildeFrame(0x02, "5EM7"), 0},
        {"wrong checksum", TildeFrame(0x02, "4EM7", false), 0},
        {"text reply instead", TextFrame("4EM7"), 0},
        {"length zero", TildeFrame(0x02, ""), 0},
        {"silence", Bytes{}, 0},
    };
    for (const Case& c : cases) {
        device.Reply(c.reply);
        std::uint8_t name[64] = {};
        EXPECT_EQ(QueryDeviceModel(link, name), c.expected) << c.name;
        if (c.expected == 61) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(name), 61), name61);
        }
    }
}

TEST_F(PacketTest, OverlongModelNameIsNotDrained) {
    Bytes reply = TildeFrame(0x02, "4" + std::string(62, 'N'));
    reply.push_back('!');
    device.Reply(reply);
    std::uint8_t name[64] = {};
    EXPECT_EQ(QueryDeviceModel(link, name), 0u);
    AwaitRing(1);
    std::uint8_t rest = 0;
    EXPECT_TRUE(link.ReadByte(0, &rest));
    EXPECT_EQ(rest, '!');
}

TEST_F(PacketTest, ModelReplyTooLongForTheBufferIsRefusedBeforeItsPayload) {
    // N = 4092: the header alone refuses it; the drain takes the payload that follows.
    Bytes reply = {0x02, 0x00, 0x0F, 0xFC};
    reply.insert(reply.end(), 100, '4');
    device.Reply(reply);
    std::uint8_t name[64] = {};
    EXPECT_EQ(QueryDeviceModel(link, name), 0u);
    EXPECT_EQ(link.Ring().Count(), 0u);
}

TEST_F(PacketTest, ModelQueryIgnoresBytesThatCameBefore) {
    port.Deliver(TildeFrame(0x02, "4OLD"));
    AwaitRing(8);
    device.Reply(TildeFrame(0x02, "4NEW"));
    std::uint8_t name[64] = {};
    ASSERT_EQ(QueryDeviceModel(link, name), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), 3), "NEW");
}

TEST_F(PacketTest, FailedWriteStopsTheReader) {
    port.StallWrites(true);
    EXPECT_FALSE(SendTextCommand(link, 1000, ">Start"));
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(link.ReaderHeld());
    std::uint8_t name[64] = {};
    EXPECT_EQ(QueryDeviceModel(link, name), 0u);
}

}  // namespace
