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

// The reply cut into pieces: each (end, delay) sends the bytes up to end, delay ms after the
// piece before it (the first: after the request).
Answer Pieces(const Bytes& reply,
              std::initializer_list<std::pair<std::size_t, std::uint32_t>> cuts) {
    Answer answer;
    std::size_t begin = 0;
    for (const auto& [end, delayMs] : cuts) {
        answer.push_back({delayMs,
                          Bytes(reply.begin() + static_cast<long>(begin),
                                reply.begin() + static_cast<long>(end)),
                          false});
        begin = end;
    }
    return answer;
}

Bytes Concat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// Every wait of the two packet exchanges, and the drains after a failed reply, with a device
// whose reply (or the noise behind it) comes just inside and just outside. What the host left
// unread shows whether a drain took it.
TEST_F(PacketTest, RepliesJustInsideAndJustOutsideEachWait) {
    struct Case {
        const char* name;
        bool modelQuery;  // else the text command "@Exit" with a reply wait of 1000 ms
        Answer answer;
        bool succeeds;
        std::uint32_t leftUnread;
    };
    const Bytes text = TextFrame("0123456789");    // 18 bytes
    const Bytes model = TildeFrame(0x02, "4EM7");  // 9 bytes
    const Bytes overlong = TextFrame("0" + std::string(249, 'y'));
    const Bytes badSum = TildeFrame(0x02, "4EM7", false);
    const Bytes noise = {0x00, 0xA5, 0x5A};
    const Case cases[] = {
        {"text header at the reply wait", false, Pieces(text, {{18, 1000}}), true, 0},
        {"text header after the reply wait", false, Pieces(text, {{18, 1001}}), false, 18},
        {"text header's second half 50 ms on", false, Pieces(text, {{2, 0}, {18, 50}}), true, 0},
        {"text header's second half 51 ms on", false, Pieces(text, {{2, 0}, {18, 51}}), false, 16},
        {"text payload 500 ms after its header", false, Pieces(text, {{4, 0}, {18, 500}}), true, 0},
        {"text payload 501 ms after its header, drained", false, Pieces(text, {{4, 0}, {18, 501}}),
         false, 0},
        {"text payload's rest 100 ms on", false, Pieces(text, {{4, 0}, {12, 10}, {18, 100}}), true,
         0},
        {"text payload's rest 101 ms on, drained", false,
         Pieces(text, {{4, 0}, {12, 10}, {18, 101}}), false, 0},
        {"text payload's rest within the drain", false, Pieces(text, {{4, 0}, {12, 10}, {18, 120}}),
         false, 0},
        {"text payload's rest after the drain", false, Pieces(text, {{4, 0}, {12, 10}, {18, 121}}),
         false, 6},
        {"length 250: the rest 20 ms on is drained", false, Pieces(overlong, {{4, 0}, {258, 20}}),
         false, 0},
        {"length 250: the rest 21 ms on stays", false, Pieces(overlong, {{4, 0}, {258, 21}}), false,
         254},
        {"model header at 1000", true, Pieces(model, {{9, 1000}}), true, 0},
        {"model header at 1001, drained", true, Pieces(model, {{9, 1001}}), false, 0},
        {"model header's second half 50 ms on", true, Pieces(model, {{2, 0}, {9, 50}}), true, 0},
        {"model header's second half 51 ms on, drained", true, Pieces(model, {{2, 0}, {9, 51}}),
         false, 0},
        {"model payload 1000 ms after its header", true, Pieces(model, {{4, 0}, {9, 1000}}), true,
         0},
        {"model payload 1001 ms after its header, drained", true,
         Pieces(model, {{4, 0}, {9, 1001}}), false, 0},
        {"model payload's rest 50 ms on", true, Pieces(model, {{4, 0}, {6, 10}, {9, 50}}), true, 0},
        {"model payload's rest 51 ms on, drained", true, Pieces(model, {{4, 0}, {6, 10}, {9, 51}}),
         false, 0},
        {"bad checksum: noise 100 ms on is drained", true,
         Pieces(Concat(badSum, noise), {{9, 0}, {12, 100}}), false, 0},
        {"bad checksum: noise 101 ms on stays", true,
         Pieces(Concat(badSum, noise), {{9, 0}, {12, 101}}), false, 3},
    };
    for (const Case& c : cases) {
        device.Reply(c.answer);
        if (c.modelQuery) {
            std::uint8_t name[64] = {};
            const std::uint32_t length = QueryDeviceModel(link, name);
            EXPECT_EQ(length, c.succeeds ? 3u : 0u) << c.name;
        } else {
            EXPECT_EQ(SendTextCommand(link, 1000, "@Exit"), c.succeeds) << c.name;
        }
        std::uint8_t rest[4096];
        EXPECT_EQ(link.ReadTimed(5000, rest, sizeof rest, 200), c.leftUnread) << c.name;
    }
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

// Each reply is followed by one more byte in the same chunk: a failed query drains it, a
// reply that was read whole leaves it.
TEST_F(PacketTest, ModelReplyLengths) {
    struct Case {
        const char* name;
        Bytes reply;
        std::uint32_t expected;
        bool drained;
    };
    const std::string name61(61, 'N');
    const Case cases[] = {
        {"answer mark alone", TildeFrame(0x02, "4"), 0, false},
        {"61-byte name", TildeFrame(0x02, "4" + name61), 61, false},
        {"62-byte name does not fit", TildeFrame(0x02, "4" + name61 + "X"), 0, false},
        {"longest reply the buffer takes (4091)", TildeFrame(0x02, "4" + std::string(4090, 'N')), 0,
         false},
        {"4092 refused before its payload", TildeFrame(0x02, "4" + std::string(4091, 'N')), 0,
         true},
        {"wrong answer mark", TildeFrame(0x02, "5EM7"), 0, true},
        {"wrong checksum", TildeFrame(0x02, "4EM7", false), 0, true},
        {"text reply instead", TextFrame("4EM7"), 0, true},
        {"length zero", TildeFrame(0x02, ""), 0, true},
        {"silence", Bytes{}, 0, true},
    };
    for (const Case& c : cases) {
        Bytes reply = c.reply;
        if (!reply.empty()) {
            reply.push_back('!');
        }
        device.Reply(reply);
        std::uint8_t name[64] = {};
        EXPECT_EQ(QueryDeviceModel(link, name), c.expected) << c.name;
        if (c.expected == 61) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(name), 61), name61);
        }
        EXPECT_EQ(link.Flush(0), c.drained ? 0u : 1u) << c.name;
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

// A reply that stops before its checksum byte is refused, even when the byte the query left
// in the buffer at that place happens to be the right sum ("q0" makes it 0x89).
TEST_F(PacketTest, ModelReplyWithoutItsChecksumIsRefused) {
    Bytes reply = TildeFrame(0x02, "4q0");
    ASSERT_EQ(reply.back(), 0x89);
    reply.pop_back();
    device.Reply(reply);
    std::uint8_t name[64] = {};
    EXPECT_EQ(QueryDeviceModel(link, name), 0u);
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
