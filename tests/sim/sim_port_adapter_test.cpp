#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "link/device_link.h"
#include "sim/sim_port_adapter.h"
#include "sim_test_support.h"

namespace {

DeviceRecord Record(LinkKind kind) {
    DeviceRecord record;
    std::memset(&record, 0, sizeof record);
    CopyWide(record.path, u"\\\\?\\hid#vid_6666&pid_0006#1");
    record.linkKind = kind;
    return record;
}

// One 64-byte output report as the host frames it.
Bytes OutputReport(const Bytes& data, std::uint8_t more = 0, std::uint8_t id = 0x04) {
    Bytes report(64, 0);
    report[0] = id;
    report[1] = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), report.begin() + 2);
    report[63] = more;
    return report;
}

void Write(SimPort& port, const Bytes& bytes) {
    std::uint32_t written = 0;
    ASSERT_TRUE(port.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 1000, written));
}

// The read chunks waiting in the port, without blocking.
std::vector<Bytes> PendingChunks(SimPort& port) {
    std::vector<Bytes> chunks;
    const std::atomic<bool> dontWait{true};
    std::uint8_t buffer[4096];
    std::uint32_t count = 0;
    while (port.Read(buffer, sizeof buffer, count, dontWait)) {
        chunks.emplace_back(buffer, buffer + count);
    }
    return chunks;
}

bool WaitUntilClosed(DeviceLink& link) {
    for (int i = 0; i < 500 && link.IsOpen(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !link.IsOpen();
}

TEST(SimPortAdapterHid, LongAnswerIsCutIntoInputReportsOf62) {
    SimScannerConfig config;
    config.linkKind = LinkKind::Hid;
    config.model = std::string(100, 'M');
    SimPort port;
    SimScanner scanner(config);
    SimPortAdapter adapter(scanner, port);
    ASSERT_EQ(port.Open(u"x", false), PORT_ERROR_NONE);
    Write(port, OutputReport(MODEL_QUERY));
    ASSERT_TRUE(scanner.WaitUntilQuiet(5000));
    const std::vector<Bytes> chunks = PendingChunks(port);
    ASSERT_EQ(chunks.size(), 2u);
    Bytes payload;
    for (const Bytes& chunk : chunks) {
        ASSERT_EQ(chunk.size(), 64u);
        EXPECT_EQ(chunk[0], 0x02);
        payload.insert(payload.end(), chunk.begin() + 2, chunk.begin() + 2 + chunk[1]);
    }
    EXPECT_EQ(chunks[0][1], 62);
    EXPECT_EQ(chunks[1][1], 106 - 62);
    EXPECT_EQ(payload, ModelReply(config.model));
}

TEST(SimPortAdapterHid, MalformedOutputReportsAreNotedAndBadOnesDropped) {
    struct Case {
        const char* name;
        Bytes write;
        bool answered;  // the '?' inside still reached the device
    };
    Bytes padded = OutputReport({'?'});
    padded[40] = 1;
    Bytes overCount = OutputReport({'?'});
    overCount[1] = 57;
    const Case cases[] = {
        {"wrong report id", OutputReport({'?'}, 0, 0x05), false},
        {"count of zero", OutputReport({}), false},
        {"count above 56", overCount, false},
        {"write that is not one report", Bytes(63, '?'), false},
        {"non-zero bytes after the data", padded, true},
        {"short report claiming more", OutputReport({'?'}, 1), true},
        {"continuation byte other than 0 or 1", OutputReport({'?'}, 2), true},
    };
    for (const Case& c : cases) {
        SimScannerConfig config;
        config.linkKind = LinkKind::Hid;
        SimPort port;
        SimScanner scanner(config);
        SimPortAdapter adapter(scanner, port);
        ASSERT_EQ(port.Open(u"x", false), PORT_ERROR_NONE);
        Write(port, c.write);
        ASSERT_TRUE(scanner.WaitUntilQuiet(5000));
        EXPECT_EQ(PendingChunks(port).size(), c.answered ? 1u : 0u) << c.name;
        EXPECT_EQ(scanner.ProtocolErrors().size(), 1u) << c.name;
    }
}

// The real host framing (DeviceLink) against the device's unwrapping, both ways.
TEST(SimPortAdapterHid, WholeSessionThroughDeviceLinkWithFeatureSwitch) {
    SimScannerConfig config;
    config.linkKind = LinkKind::HidFeature;
    SimPort port;
    SimScanner scanner(config);
    SimPortAdapter adapter(scanner, port);
    DeviceLink link(port);
    ResultCode result = 99;
    ASSERT_TRUE(link.Open(Record(LinkKind::HidFeature), &result)) << result;
    EXPECT_TRUE(scanner.FeatureModeOn());
    const Bytes block = Pattern(1100, 5);
    const std::vector<Exchange> script = SessionScript("EM7", {{block, "flah:77"}});
    for (std::size_t i = 0; i < script.size(); ++i) {
        const Exchange& exchange = script[i];
        ASSERT_TRUE(link.Send(exchange.request.data(),
                              static_cast<std::uint32_t>(exchange.request.size())));
        Bytes answer(exchange.answer.size());
        const std::uint32_t got =
            link.ReadTimed(5000, answer.data(), static_cast<std::uint32_t>(answer.size()), 1000);
        EXPECT_EQ(got, answer.size()) << "exchange " << i;
        EXPECT_EQ(answer, exchange.answer) << "exchange " << i;
    }
    link.StopReader();
    EXPECT_FALSE(scanner.FeatureModeOn());
    const std::vector<SimBlock> blocks = scanner.Blocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].data, block);
    EXPECT_EQ(blocks[0].extra, 77u);
    EXPECT_TRUE(scanner.ProtocolErrors().empty());
}

TEST(SimPortAdapterBulk, BytesPassAsTheyAre) {
    SimPort port;
    SimScanner scanner(SimScannerConfig{});
    SimPortAdapter adapter(scanner, port);
    ASSERT_EQ(port.Open(u"x", false), PORT_ERROR_NONE);
    Write(port, MODEL_QUERY);
    ASSERT_TRUE(scanner.WaitUntilQuiet(5000));
    EXPECT_EQ(PendingChunks(port), std::vector<Bytes>{ModelReply("EM7")});
}

TEST(SimPortAdapterBulk, VanishingFailsTheHostsReadsAndClosesTheLink) {
    SimScannerConfig config;
    config.fault = {SimStep::Frame, SimFaultKind::Vanish, 1};
    SimPort port;
    SimScanner scanner(config);
    SimPortAdapter adapter(scanner, port);
    DeviceLink link(port);
    ASSERT_TRUE(link.Open(Record(LinkKind::VendorBulk), nullptr));
    const Bytes block = Pattern(600, 6);
    for (const Exchange& exchange : SessionScript("EM7", {{block, "appl"}})) {
        ASSERT_TRUE(link.Send(exchange.request.data(),
                              static_cast<std::uint32_t>(exchange.request.size())));
        if (exchange.step == SimStep::Frame) {
            break;
        }
        Bytes answer(exchange.answer.size());
        ASSERT_EQ(
            link.ReadTimed(5000, answer.data(), static_cast<std::uint32_t>(answer.size()), 1000),
            answer.size());
    }
    std::uint8_t star = 0;
    EXPECT_FALSE(link.ReadByte(2000, &star));
    EXPECT_TRUE(WaitUntilClosed(link));
    EXPECT_TRUE(scanner.Vanished());
}

}  // namespace
