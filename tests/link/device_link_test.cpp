#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <thread>

#include "link_test_support.h"

// Every lock and event the link is built on is created with a nothrow allocation. This
// binary counts them on each thread and can make one of them fail.
namespace {
thread_local int nothrowAllocations = 0;
thread_local int failNothrowAllocation = -1;
}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (nothrowAllocations++ == failNothrowAllocation) {
        return nullptr;
    }
    return ::operator new(size);
}

namespace {

using Clock = std::chrono::steady_clock;
using Kind = SimPortEvent::Kind;

std::vector<std::uint8_t> Bytes(std::uint32_t n) {
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t i = 0; i < n; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(i * 7 + 1));
    }
    return bytes;
}

// A link whose reader thread may be made to fail to start.
class ReaderStartLink : public DeviceLink {
  public:
    ReaderStartLink(DevicePort& port, bool startFails)
        : DeviceLink(port), startFails_(startFails) {}
    bool StartReader() override { return !startFails_ && DeviceLink::StartReader(); }

  private:
    bool startFails_;
};

// Waits until the reader has taken `reads` chunks and is back for the next one; false at once
// when the device was closed instead.
bool WaitForReads(SimPort& port, std::uint32_t reads) {
    for (int i = 0; i < 5000 && port.ReadsStarted() <= reads && port.IsOpen(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return port.ReadsStarted() > reads;
}

bool WaitUntilClosed(DeviceLink& link) {
    for (int i = 0; i < 5000 && link.IsOpen(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return !link.IsOpen();
}

TEST(HidFraming, ReportsCarryUpTo56BytesWithAContinuationFlag) {
    struct Case {
        std::uint32_t length;
        std::vector<std::uint32_t> counts;  // data bytes per report
    };
    const Case cases[] = {
        {0, {}}, {1, {1}}, {56, {56}}, {57, {56, 1}}, {112, {56, 56}}, {113, {56, 56, 1}},
    };
    for (LinkKind kind : {LinkKind::Hid, LinkKind::HidFeature}) {
        for (const Case& c : cases) {
            SimPort port;
            DeviceLink link(port);
            ASSERT_TRUE(link.Open(MakeRecord(kind), nullptr));
            const auto data = Bytes(c.length);
            EXPECT_TRUE(link.Send(data.data(), c.length));
            const auto writes = port.Writes();
            ASSERT_EQ(writes.size(), c.counts.size()) << c.length;
            std::uint32_t offset = 0;
            for (std::size_t i = 0; i < writes.size(); ++i) {
                const auto& report = writes[i];
                ASSERT_EQ(report.size(), 64u);
                EXPECT_EQ(report[0], 0x04);
                EXPECT_EQ(report[1], c.counts[i]);
                for (std::uint32_t j = 0; j < c.counts[i]; ++j) {
                    ASSERT_EQ(report[2 + j], data[offset + j]);
                }
                for (std::uint32_t j = 2 + c.counts[i]; j < 63; ++j) {
                    ASSERT_EQ(report[j], 0) << "padding at " << j;
                }
                EXPECT_EQ(report[63], i + 1 < writes.size() ? 1 : 0);
                offset += c.counts[i];
            }
            link.StopReader();
        }
    }
}

TEST(RawFraming, ChunkSizesPerLinkKind) {
    struct Case {
        LinkKind kind;
        std::uint32_t length;
        std::vector<std::size_t> chunks;
    };
    const Case cases[] = {
        {LinkKind::VendorBulk, 65537, {65536, 1}},        {LinkKind::VendorBulk, 65536, {65536}},
        {LinkKind::SerialPort, 5000, {4096, 904}},        {LinkKind::SerialPort, 0, {}},
        {static_cast<LinkKind>(9), 70000, {65536, 4464}},  // unknown kinds write like bulk
    };
    for (const Case& c : cases) {
        SimPort port;
        DeviceLink link(port);
        ASSERT_TRUE(link.Open(MakeRecord(c.kind), nullptr));
        const auto data = Bytes(c.length);
        EXPECT_TRUE(link.Send(data.data(), c.length));
        const auto writes = port.Writes();
        ASSERT_EQ(writes.size(), c.chunks.size());
        std::vector<std::uint8_t> joined;
        for (std::size_t i = 0; i < writes.size(); ++i) {
            EXPECT_EQ(writes[i].size(), c.chunks[i]);
            joined.insert(joined.end(), writes[i].begin(), writes[i].end());
        }
        EXPECT_EQ(joined, data);
        link.StopReader();
    }
}

TEST(HidFraming, AStalledReportFailsTheWriteAndNothingFollows) {
    SimPort port;
    DeviceLink link(port);
    ASSERT_TRUE(link.Open(MakeRecord(LinkKind::Hid), nullptr));
    port.StallWritesFrom(1);  // the second report is never taken
    const auto data = Bytes(150);
    const auto start = Clock::now();
    EXPECT_FALSE(link.Send(data.data(), 150));
    EXPECT_GE(MillisecondsSince(start), 1000);  // the report had its 1000 ms
    EXPECT_EQ(port.Writes().size(), 1u);
    // The failed write stopped the reader, which closed the device; the next send fails at once.
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(link.ReaderHeld());
    EXPECT_FALSE(link.Send(data.data(), 1));
    EXPECT_EQ(port.Writes().size(), 1u);
}

// A SimPort that tells when a stop request has woken its reader.
class WakeWatchingPort : public SimPort {
  public:
    void WakeRead() override {
        SimPort::WakeRead();
        woken = true;
    }
    std::atomic<bool> woken{false};
};

// A stop that comes while a framed write is under way (a console close during a 10-report
// frame) ends it after the report or chunk in flight, so the switch-off and the close follow
// in time rather than after the whole frame.
TEST(HidFraming, AStopEndsAFramedWriteBetweenReportsAndChunks) {
    const std::pair<LinkKind, std::uint32_t> cases[] = {
        {LinkKind::HidFeature, 517},
        {LinkKind::VendorBulk, 3 * BULK_WRITE_CHUNK},
        {LinkKind::SerialPort, 3 * SERIAL_WRITE_CHUNK},
    };
    for (const auto& [kind, length] : cases) {
        WakeWatchingPort port;
        DeviceLink link(port);
        ASSERT_TRUE(link.Open(MakeRecord(kind), nullptr));
        std::thread stopper;
        port.SetWriteHook([&](const std::uint8_t*, std::uint32_t) {
            if (!stopper.joinable()) {
                stopper = std::thread([&link] { link.StopReader(); });
                while (!port.woken) {
                    std::this_thread::yield();
                }
            }
        });
        const auto data = Bytes(length);
        EXPECT_FALSE(link.Send(data.data(), length));
        stopper.join();
        EXPECT_EQ(port.Writes().size(), 1u) << length;
        const auto events = port.Events();
        EXPECT_EQ(events.back().kind, Kind::Close);
        if (kind == LinkKind::HidFeature) {
            EXPECT_EQ(events[events.size() - 2].kind, Kind::Feature);
        }
    }
}

// Windows hands its own error numbers to the mapping as they are, so the table holds the
// numbers, not the names the other ports translate their errors into.
TEST(DeviceLinkOpen, WindowsErrorNumbersMapToResultCodes) {
    const std::pair<std::uint32_t, ResultCode> cases[] = {
        {0, RESULT_SUCCESS},
        {2, RESULT_NO_DEVICE},
        {3, RESULT_NO_DEVICE},
        {5, RESULT_ACCESS_DENIED},
        {32, RESULT_ACCESS_DENIED},
        {1, RESULT_OPEN_FAILED},
        {4, RESULT_OPEN_FAILED},
        {6, RESULT_OPEN_FAILED},
        {31, RESULT_OPEN_FAILED},
        {33, RESULT_OPEN_FAILED},
        {0xFFFFFFFFu, RESULT_OPEN_FAILED},
    };
    for (const auto& [error, result] : cases) {
        EXPECT_EQ(MapWin32Error(error), result) << error;
    }
}

TEST(DeviceLinkOpen, ResultCodesOfEveryPath) {
    struct Case {
        const char* name;
        LinkKind kind;
        SimOpenBehaviour behaviour;
        bool refuseFeature;
        bool failSerial;
        ResultCode expected;
        std::vector<bool> opens;  // the shared flag of each open attempt
        bool readerStartFails = false;
        std::vector<std::uint8_t> features = {};  // byte 1 of each feature report sent
    };
    const Case cases[] = {
        {"not found",
         LinkKind::VendorBulk,
         {PORT_ERROR_FILE_NOT_FOUND, 0, false},
         false,
         false,
         RESULT_NO_DEVICE,
         {false}},
        {"path not found",
         LinkKind::Hid,
         {PORT_ERROR_PATH_NOT_FOUND, 0, false},
         false,
         false,
         RESULT_NO_DEVICE,
         {false}},
        {"access denied",
         LinkKind::SerialPort,
         {PORT_ERROR_ACCESS_DENIED, 0, false},
         false,
         false,
         RESULT_ACCESS_DENIED,
         {false}},
        {"in use, bulk",
         LinkKind::VendorBulk,
         {PORT_ERROR_SHARING_VIOLATION, 0, false},
         false,
         false,
         RESULT_ACCESS_DENIED,
         {false}},
        {"in use, serial",
         LinkKind::SerialPort,
         {PORT_ERROR_SHARING_VIOLATION, 0, false},
         false,
         false,
         RESULT_ACCESS_DENIED,
         {false}},
        {"in use, hid: shared retry",
         LinkKind::Hid,
         {PORT_ERROR_SHARING_VIOLATION, 0, false},
         false,
         false,
         RESULT_SUCCESS,
         {false, true}},
        {"in use, hid feature: shared retry",
         LinkKind::HidFeature,
         {PORT_ERROR_SHARING_VIOLATION, 0, false},
         false,
         false,
         RESULT_SUCCESS,
         {false, true},
         false,
         {0x01}},
        {"in use, shared retry fails too",
         LinkKind::Hid,
         {PORT_ERROR_SHARING_VIOLATION, PORT_ERROR_ACCESS_DENIED, false},
         false,
         false,
         RESULT_ACCESS_DENIED,
         {false, true}},
        {"other error",
         LinkKind::VendorBulk,
         {PORT_ERROR_GEN_FAILURE, 0, false},
         false,
         false,
         RESULT_OPEN_FAILED,
         {false}},
        {"feature refused",
         LinkKind::HidFeature,
         {},
         true,
         false,
         RESULT_FEATURE_REFUSED,
         {false},
         false,
         {0x01}},
        {"serial set-up fails", LinkKind::SerialPort, {}, false, true, RESULT_OPEN_FAILED, {false}},
        // The device is closed again; a feature link is switched back first.
        {"reader cannot start, bulk",
         LinkKind::VendorBulk,
         {},
         false,
         false,
         RESULT_OPEN_FAILED,
         {false},
         true},
        {"reader cannot start, serial",
         LinkKind::SerialPort,
         {},
         false,
         false,
         RESULT_OPEN_FAILED,
         {false},
         true},
        {"reader cannot start, hid feature",
         LinkKind::HidFeature,
         {},
         false,
         false,
         RESULT_OPEN_FAILED,
         {false},
         true,
         {0x01, 0x00}},
    };
    for (const Case& c : cases) {
        SimPort port;
        port.SetOpenBehaviour(c.behaviour);
        port.RefuseFeatureReports(c.refuseFeature);
        port.FailSerialSetup(c.failSerial);
        ReaderStartLink link(port, c.readerStartFails);
        ResultCode result = 99;
        EXPECT_EQ(link.Open(MakeRecord(c.kind), &result), c.expected == RESULT_SUCCESS) << c.name;
        EXPECT_EQ(result, c.expected) << c.name;
        std::vector<bool> opens;
        std::vector<std::uint8_t> features;
        for (const auto& event : port.Events()) {
            if (event.kind == Kind::Open) {
                opens.push_back(event.shared);
            }
            if (event.kind == Kind::Feature) {
                features.push_back(event.bytes.at(1));
            }
        }
        EXPECT_EQ(opens, c.opens) << c.name;
        EXPECT_EQ(features, c.features) << c.name;
        if (c.expected != RESULT_SUCCESS) {
            EXPECT_FALSE(link.IsOpen()) << c.name;
            EXPECT_FALSE(link.ReaderHeld()) << c.name;
            EXPECT_EQ(link.CurrentLinkKind(), LinkKind::Unsupported) << c.name;
            EXPECT_FALSE(port.IsOpen()) << c.name;
        }
        link.StopReader();
    }
}

TEST(DeviceLinkOpen, ALockOrEventThatCannotBeCreatedRefusesTheOpenWithSix) {
    SimPort probePort;
    nothrowAllocations = 0;
    { const DeviceLink probe(probePort, 64); }
    const int created = nothrowAllocations;
    ASSERT_GE(created, 4);  // the main and stop locks, the ring's lock and its data event
    for (int failing = 0; failing < created; ++failing) {
        SimPort port;
        nothrowAllocations = 0;
        failNothrowAllocation = failing;
        DeviceLink link(port, 64);
        failNothrowAllocation = -1;
        ResultCode result = 0;
        EXPECT_FALSE(link.Open(MakeRecord(LinkKind::VendorBulk), &result)) << failing;
        EXPECT_EQ(result, RESULT_LINK_NOT_READY) << failing;
        EXPECT_TRUE(port.Events().empty()) << failing;
        EXPECT_FALSE(link.ReaderHeld()) << failing;
    }
}

TEST(DeviceLinkOpen, FeatureSwitchOnAndOffWithTheirPauses) {
    SimPort port;
    {
        DeviceLink link(port);
        ASSERT_TRUE(link.Open(MakeRecord(LinkKind::HidFeature), nullptr));
        link.StopReader();
        EXPECT_FALSE(link.IsOpen());
    }
    const auto events = port.Events();
    std::vector<SimPortEvent> relevant;
    for (const auto& event : events) {
        if (event.kind == Kind::Feature || event.kind == Kind::Close || event.kind == Kind::Open) {
            relevant.push_back(event);
        }
    }
    ASSERT_EQ(relevant.size(), 4u);
    EXPECT_EQ(relevant[0].kind, Kind::Open);
    EXPECT_EQ(relevant[1].kind, Kind::Feature);
    EXPECT_EQ(relevant[1].bytes, (std::vector<std::uint8_t>{0xFE, 0x01}));
    EXPECT_EQ(relevant[2].kind, Kind::Feature);
    EXPECT_EQ(relevant[2].bytes, (std::vector<std::uint8_t>{0xFE, 0x00}));
    EXPECT_EQ(relevant[3].kind, Kind::Close);
    // The switch-off waits 50 ms before the handle is closed.
    EXPECT_GE(relevant[3].at - relevant[2].at, std::chrono::milliseconds(50));
}

// A device that takes host bytes only once its feature mode has been on for readyMs: the
// pause after the switch-on is what lets the first write through.
TEST(DeviceLinkOpen, FirstWriteWaitsOutTheFeaturePause) {
    struct Case {
        std::uint32_t readyMs;
        bool taken;
    };
    for (const Case& c : {Case{50, true}, Case{51, false}}) {
        VirtualClock clock;
        SimPort port;
        port.UseVirtualClock(clock);
        std::uint64_t switchedOnAt = UINT64_MAX;
        bool taken = false;
        port.SetFeatureHook([&](const std::uint8_t* report, std::uint32_t) {
            if (report[1] == 1) {
                switchedOnAt = clock.Now();
            }
        });
        port.SetWriteHook([&](const std::uint8_t*, std::uint32_t) {
            taken = clock.Now() >= switchedOnAt + c.readyMs;
        });
        DeviceLink link(port, clock);
        ASSERT_TRUE(link.Open(MakeRecord(LinkKind::HidFeature), nullptr));
        const std::uint8_t question = '?';
        EXPECT_TRUE(link.Send(&question, 1));
        EXPECT_EQ(taken, c.taken) << c.readyMs;
        link.StopReader();
    }
}

TEST(DeviceLinkOpen, RefusedSwitchOnSendsNoSwitchOff) {
    SimPort port;
    port.RefuseFeatureReports(true);
    DeviceLink link(port);
    ResultCode result = 0;
    EXPECT_FALSE(link.Open(MakeRecord(LinkKind::HidFeature), &result));
    EXPECT_EQ(result, RESULT_FEATURE_REFUSED);
    int features = 0;
    for (const auto& event : port.Events()) {
        features += event.kind == Kind::Feature ? 1 : 0;
    }
    EXPECT_EQ(features, 1);
}

TEST(DeviceLinkOpen, AlreadyOpenLeavesTheDeviceAlone) {
    SimPort port;
    DeviceLink link(port);
    ASSERT_TRUE(link.Open(MakeRecord(LinkKind::VendorBulk), nullptr));
    ResultCode result = 0;
    EXPECT_FALSE(link.Open(MakeRecord(LinkKind::Hid), &result));
    EXPECT_EQ(result, RESULT_ALREADY_OPEN);
    EXPECT_TRUE(link.IsOpen());
    EXPECT_TRUE(link.ReaderHeld());
    EXPECT_EQ(link.CurrentLinkKind(), LinkKind::VendorBulk);
}

TEST(DeviceLinkOpen, RecordIsCopiedAndTheLinkReopensAfterAStop) {
    SimPort port;
    DeviceLink link(port);
    const DeviceRecord record = MakeRecord(LinkKind::SerialPort, u"\\\\.\\COM7");
    ASSERT_TRUE(link.Open(record, nullptr));
    EXPECT_EQ(std::memcmp(&link.Record(), &record, sizeof record), 0);
    EXPECT_TRUE(link.Connected());
    link.StopReader();
    ASSERT_FALSE(link.IsOpen());
    ASSERT_TRUE(link.Open(record, nullptr));
    port.Deliver({1, 2, 3});
    std::uint8_t out[3] = {};
    EXPECT_EQ(link.ReadTimed(2000, out, 3, 50), 3u);
    // A later open that fails leaves no kind behind from the one before.
    link.StopReader();
    port.SetExpectedPath(u"\\\\.\\COM8");
    ResultCode code = RESULT_SUCCESS;
    EXPECT_FALSE(link.Open(record, &code));
    EXPECT_EQ(code, RESULT_NO_DEVICE);
    EXPECT_EQ(link.CurrentLinkKind(), LinkKind::Unsupported);
}

TEST(ReaderThread, HidReportsThatBreakTheRulesEndTheReader) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> chunk;
    };
    // A read of size bytes: the report at 0 starts with id and length, the one at 64 (if the
    // read reaches it) with secondId. Windows may hand back several queued reports in one
    // read: each is checked.
    const auto read = [](std::size_t size, std::uint8_t id, std::uint8_t length,
                         std::uint8_t secondId = 0) {
        std::vector<std::uint8_t> chunk(size, 0);
        chunk[0] = id;
        chunk[1] = length;
        if (size > 64) {
            chunk[64] = secondId;
        }
        return chunk;
    };
    const Case cases[] = {{"wrong id", read(64, 0x03, 1)},
                          {"length byte 63", read(64, 0x02, 63)},
                          {"63 bytes", read(63, 0x02, 1)},
                          {"65 bytes", read(65, 0x02, 1)},
                          {"128 bytes, the second report's id wrong", read(128, 0x02, 0, 0x03)},
                          {"100 bytes", read(100, 0x02, 0, 0x02)}};
    for (const Case& c : cases) {
        SimPort port;
        DeviceLink link(port);
        ASSERT_TRUE(link.Open(MakeRecord(LinkKind::Hid), nullptr));
        const std::uint8_t before[2] = {0xAA, 0xBB};
        port.DeliverHidReport(before, 2);
        port.Deliver(c.chunk);
        EXPECT_TRUE(WaitUntilClosed(link)) << c.name;
        EXPECT_FALSE(port.IsOpen()) << c.name;
        // What came before the bad report is still readable.
        std::uint8_t out[4] = {};
        EXPECT_EQ(link.ReadTimed(100, out, 4, 50), 2u) << c.name;
        EXPECT_EQ(out[1], 0xBB);
        link.StopReader();
        EXPECT_FALSE(link.ReaderHeld());
    }
}

TEST(ReaderThread, EmptyReportsAreSkippedAndPayloadsUnwrapped) {
    SimPort port;
    DeviceLink link(port);
    ASSERT_TRUE(link.Open(MakeRecord(LinkKind::HidFeature), nullptr));
    port.DeliverHidReport(nullptr, 0);
    port.Deliver(std::vector<std::uint8_t>{});  // a read of 0 bytes
    std::vector<std::uint8_t> payload(62);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(i);
    }
    port.DeliverHidReport(payload.data(), 62);
    const std::uint8_t tail[1] = {0x77};
    port.DeliverHidReport(tail, 1);
    // One read of three queued reports: 2 bytes, none, 1 byte.
    std::vector<std::uint8_t> queued(192, 0);
    queued[0] = queued[64] = queued[128] = HID_INPUT_REPORT_ID;
    queued[1] = 2;
    queued[2] = 0x81;
    queued[3] = 0x82;
    queued[129] = 1;
    queued[130] = 0x83;
    port.Deliver(queued);
    std::uint8_t out[66] = {};
    EXPECT_EQ(link.ReadTimed(5000, out, 66, 5000), 66u);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[61], 61);
    EXPECT_EQ(out[62], 0x77);
    EXPECT_EQ(std::vector<std::uint8_t>(out + 63, out + 66),
              (std::vector<std::uint8_t>{0x81, 0x82, 0x83}));
    EXPECT_TRUE(link.IsOpen());
}

TEST(ReaderThread, AChunkThatDoesNotFitTheRingIsDroppedAndReadingGoesOn) {
    struct Case {
        const char* name;
        LinkKind kind;
        std::uint32_t capacity;  // 0: no ring storage at all
        std::vector<std::vector<std::uint8_t>> chunks;
        std::vector<std::uint8_t> read;  // what timed reads get afterwards
    };
    const std::vector<std::uint8_t> five = {1, 2, 3, 4, 5};
    const std::vector<std::uint8_t> alsoFive = {6, 7, 8, 9, 10};
    const std::vector<std::uint8_t> three = {11, 12, 13};  // fills the ring exactly
    const Case cases[] = {
        {"bulk", LinkKind::VendorBulk, 8, {five, alsoFive, three}, {1, 2, 3, 4, 5, 11, 12, 13}},
        {"hid", LinkKind::Hid, 8, {five, alsoFive, three}, {1, 2, 3, 4, 5, 11, 12, 13}},
        {"bulk, no storage", LinkKind::VendorBulk, 0, {five, three}, {}},
        {"hid, no storage", LinkKind::Hid, 0, {five, three}, {}},
    };
    for (const Case& c : cases) {
        SimPort port;
        DeviceLink link(port, c.capacity);
        ASSERT_TRUE(link.Open(MakeRecord(c.kind), nullptr)) << c.name;
        for (const auto& chunk : c.chunks) {
            if (c.kind == LinkKind::Hid) {
                port.DeliverHidReport(chunk.data(), static_cast<std::uint32_t>(chunk.size()));
            } else {
                port.Deliver(chunk);
            }
        }
        ASSERT_TRUE(WaitForReads(port, static_cast<std::uint32_t>(c.chunks.size()))) << c.name;
        std::uint8_t out[16] = {};
        const std::uint32_t got = link.ReadTimed(20, out, sizeof out, 20);
        EXPECT_EQ(std::vector<std::uint8_t>(out, out + got), c.read) << c.name;
        EXPECT_FALSE(link.ReadByte(20, out)) << c.name;
        EXPECT_EQ(link.Flush(20), 0u) << c.name;
        EXPECT_TRUE(link.IsOpen()) << c.name;
        EXPECT_TRUE(link.ReaderHeld()) << c.name;
    }
}

TEST(ReaderThread, RawLinksPassReportLikeChunksUnchanged) {
    for (LinkKind kind : {LinkKind::VendorBulk, LinkKind::SerialPort}) {
        SimPort port;
        DeviceLink link(port);
        ASSERT_TRUE(link.Open(MakeRecord(kind), nullptr));
        std::vector<std::uint8_t> chunk(64, 0x11);
        chunk[0] = 0x02;
        chunk[1] = 63;
        port.Deliver(chunk);
        std::uint8_t out[64] = {};
        EXPECT_EQ(link.ReadTimed(5000, out, 64, 5000), 64u);
        EXPECT_EQ(std::vector<std::uint8_t>(out, out + 64), chunk);
        EXPECT_TRUE(link.IsOpen());
    }
}

TEST(ReaderThread, StopEndsABlockedReadAtOnceAndClosesTheDevice) {
    SimPort port;
    DeviceLink link(port);
    ASSERT_TRUE(link.Open(MakeRecord(LinkKind::HidFeature), nullptr));
    ASSERT_TRUE(port.WaitForBlockedRead(5000));
    const auto start = Clock::now();
    link.StopReader();
    EXPECT_LT(MillisecondsSince(start), 5000);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(link.ReaderHeld());
    EXPECT_FALSE(port.IsOpen());
    // The switch-off went out before the close.
    const auto events = port.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2].kind, Kind::Feature);
    EXPECT_EQ(events[events.size() - 2].bytes[1], 0x00);
    EXPECT_EQ(events.back().kind, Kind::Close);
}

TEST(ReaderThread, StopBetweenReadsKeepsTheNextReadFromStarting) {
    // A cancel request that is already set when the read comes round must keep it from
    // reaching the port.
    SimPort port;
    DeviceIo io(port);
    ASSERT_EQ(io.OpenPath(u"x", LinkKind::VendorBulk), RESULT_SUCCESS);
    io.RequestCancelRead();
    std::uint8_t buffer[PORT_READ_CHUNK];
    std::uint32_t count = 123;
    EXPECT_FALSE(io.ReadChunk(buffer, count));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(port.ReadsStarted(), 0u);
    // The request is consumed: the next read goes ahead.
    port.Deliver({5});
    EXPECT_TRUE(io.ReadChunk(buffer, count));
    EXPECT_EQ(count, 1u);
    io.Close();
}

TEST(ReaderThread, SendOnAClosedLinkFailsWithoutWriting) {
    SimPort port;
    DeviceLink link(port);
    const std::uint8_t byte = 0x3F;
    EXPECT_FALSE(link.Send(&byte, 1));
    ASSERT_TRUE(link.Open(MakeRecord(LinkKind::VendorBulk), nullptr));
    port.FailReads();
    ASSERT_TRUE(WaitUntilClosed(link));
    EXPECT_FALSE(link.Send(&byte, 1));
    EXPECT_TRUE(port.Writes().empty());
    link.StopReader();
    link.StopReader();  // nothing held: does nothing
}

TEST(ReaderThread, StopWithoutReaderLeavesAnOpenDeviceOpen) {
    SimPort port;
    DeviceIo io(port);
    ASSERT_EQ(io.OpenPath(u"x", LinkKind::VendorBulk), RESULT_SUCCESS);
    DeviceLink link(port);
    link.StopReader();
    EXPECT_TRUE(port.IsOpen());
    io.Close();
}

struct StopRaceContext {
    DeviceLink* link;
    std::atomic<bool> go{false};
};

TEST(ReaderThread, TwoThreadsStoppingAtOnceNeverDeadlockOrDoubleRelease) {
    for (int round = 0; round < 200; ++round) {
        SimPort port;
        DeviceLink link(port);
        ASSERT_TRUE(
            link.Open(MakeRecord(round % 2 ? LinkKind::Hid : LinkKind::SerialPort), nullptr));
        StopRaceContext context{&link};
        std::thread other([&context] {
            while (!context.go) {
            }
            context.link->StopReader();
        });
        context.go = true;
        link.StopReader();
        other.join();
        ASSERT_FALSE(link.ReaderHeld()) << round;
        ASSERT_FALSE(link.IsOpen()) << round;
    }
}

TEST(ReaderThread, AskingWhetherTheReaderIsHeldWhileAnotherThreadStopsIt) {
    for (int round = 0; round < 50; ++round) {
        SimPort port;
        DeviceLink link(port);
        ASSERT_TRUE(link.Open(MakeRecord(LinkKind::VendorBulk), nullptr));
        std::thread stopper([&link] { link.StopReader(); });
        while (link.ReaderHeld()) {
        }
        stopper.join();
        EXPECT_FALSE(link.IsOpen()) << round;
    }
}

TEST(ReaderThread, StopWhileAnotherThreadSends) {
    for (int round = 0; round < 50; ++round) {
        SimPort port;
        DeviceLink link(port);
        ASSERT_TRUE(link.Open(MakeRecord(LinkKind::Hid), nullptr));
        std::thread sender([&link] {
            const auto data = Bytes(500);
            while (link.Send(data.data(), 500)) {
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        link.StopReader();
        sender.join();
        EXPECT_FALSE(link.IsOpen());
        // Every report that went out is whole: the close never cut a write.
        for (const auto& report : port.Writes()) {
            ASSERT_EQ(report.size(), 64u);
        }
    }
}

}  // namespace
