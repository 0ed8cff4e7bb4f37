#include "protocol/update_session.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "protocol_test_support.h"
#include "sim/sim_port_adapter.h"
#include "sim/sim_scanner.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

Bytes RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(n);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

DeviceRecord RecordFor(LinkKind kind) {
    DeviceRecord record = BulkRecord();
    record.linkKind = kind;
    return record;
}

// A DeviceLink opened on a simulated scanner, both on simulated time.
struct Rig {
    explicit Rig(const SimScannerConfig& config) : scanner(config, clock), adapter(scanner, port) {
        port.UseVirtualClock(clock);
        ResultCode result = 99;
        link.Open(RecordFor(config.linkKind), &result);
        EXPECT_EQ(result, RESULT_SUCCESS);
    }
    VirtualClock clock;
    SimPort port;
    SimScanner scanner;
    SimPortAdapter adapter;
    DeviceLink link{port, clock};
};

struct Firmware {
    std::vector<Bytes> data;
    std::vector<UpdateBlock> blocks;
};

Firmware MakeFirmware(const std::vector<std::pair<BlockType, std::size_t>>& shape) {
    Firmware firmware;
    firmware.data.reserve(shape.size());
    for (std::size_t i = 0; i < shape.size(); ++i) {
        firmware.data.push_back(RandomBytes(shape[i].second, static_cast<unsigned>(i + 1)));
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        UpdateBlock block;
        block.data = firmware.data[i].data();
        block.length = static_cast<std::uint32_t>(firmware.data[i].size());
        block.type = shape[i].first;
        block.extra = 1000 + static_cast<std::uint32_t>(i);
        firmware.blocks.push_back(block);
    }
    return firmware;
}

UpdateOptions CheckModel() {
    UpdateOptions options;
    options.flags = UPDATE_FLAG_CHECK_MODEL;
    return options;
}

ResultCode RunSession(Rig& rig, const Firmware& firmware, const char* model = "EM7",
                      UpdateOptions options = CheckModel()) {
    return RunUpdateSession(firmware.blocks.data(), &rig.link,
                            static_cast<std::uint32_t>(firmware.blocks.size()), true, &options, 0,
                            model);
}

TEST(UpdateSession, OneAndFourBlocksArriveWhole) {
    for (LinkKind kind :
         {LinkKind::VendorBulk, LinkKind::Hid, LinkKind::HidFeature, LinkKind::SerialPort}) {
        for (std::size_t count : {std::size_t{1}, std::size_t{4}}) {
            SimScannerConfig config;
            config.linkKind = kind;
            config.unansweredPolls = 2;
            Rig rig(config);
            const std::vector<std::pair<BlockType, std::size_t>> shape4 = {{BLOCK_TYPE_BOOT, 700},
                                                                           {BLOCK_TYPE_KERN, 1024},
                                                                           {BLOCK_TYPE_FLAH, 1},
                                                                           {BLOCK_TYPE_APPL, 513}};
            const Firmware firmware = MakeFirmware(
                count == 1 ? std::vector<std::pair<BlockType, std::size_t>>{{BLOCK_TYPE_KERN, 3000}}
                           : shape4);
            CaptureStdout();
            const ResultCode result = RunSession(rig, firmware);
            GetCapturedStdout();
            ASSERT_EQ(result, RESULT_SUCCESS) << static_cast<int>(kind) << " " << count;
            const auto blocks = rig.scanner.Blocks();
            ASSERT_EQ(blocks.size(), count);
            for (std::size_t i = 0; i < count; ++i) {
                EXPECT_EQ(blocks[i].data, firmware.data[i]);
                EXPECT_EQ(blocks[i].name, BLOCK_TYPE_NAMES[firmware.blocks[i].type - 1]);
                EXPECT_EQ(blocks[i].hasExtra, firmware.blocks[i].type == BLOCK_TYPE_FLAH);
                if (blocks[i].hasExtra) {
                    EXPECT_EQ(blocks[i].extra, firmware.blocks[i].extra);
                }
            }
            std::vector<std::string> tail;
            for (const std::string& command : rig.scanner.Commands()) {
                if (command[0] == '@') {
                    tail.push_back(command);
                }
            }
            std::vector<std::string> expected(count - 1, "@NextDown");
            expected.push_back("@Exit");
            EXPECT_EQ(tail, expected);
            EXPECT_TRUE(rig.scanner.ProtocolErrors().empty());
            EXPECT_FALSE(rig.link.ReaderHeld());
            EXPECT_FALSE(rig.link.IsOpen());
        }
    }
}

TEST(UpdateSession, SetUpCommandsOfABlock) {
    SimScannerConfig config;
    Rig rig(config);
    const Firmware firmware = MakeFirmware({{BLOCK_TYPE_FLAH, 1025}});
    CaptureStdout();
    ASSERT_EQ(RunSession(rig, firmware, nullptr), RESULT_SUCCESS);
    GetCapturedStdout();
    const std::vector<std::string> expected = {
        "!DataLens:1025", "!FileType:flah:1000", "!FrameSize:512", "!Frames:3", ">Start", "@Exit"};
    EXPECT_EQ(rig.scanner.Commands(), expected);
}

// The frames on the wire, checked byte by byte against the format.
TEST(UpdateSession, FramesOnTheWire) {
    for (std::size_t length : {std::size_t{1}, std::size_t{512}, std::size_t{513}}) {
        SimScannerConfig config;
        Rig rig(config);
        const Firmware firmware = MakeFirmware({{BLOCK_TYPE_APPL, length}});
        CaptureStdout();
        ASSERT_EQ(RunSession(rig, firmware), RESULT_SUCCESS);
        GetCapturedStdout();
        std::vector<Bytes> frames;
        for (const Bytes& write : rig.port.Writes()) {
            if (write.size() == 517) {
                frames.push_back(write);
            }
        }
        const std::size_t expectedFrames = (length + 511) / 512;
        ASSERT_EQ(frames.size(), expectedFrames) << length;
        for (std::size_t k = 0; k < frames.size(); ++k) {
            Bytes expected = {0x02};
            const std::size_t begin = k * 512;
            const std::size_t end = std::min(length, begin + 512);
            expected.insert(expected.end(), firmware.data[0].begin() + static_cast<long>(begin),
                            firmware.data[0].begin() + static_cast<long>(end));
            expected.resize(513, 0);
            AppendBigEndian32(expected, Crc32(0, 513, expected.data()));
            EXPECT_EQ(frames[k], expected) << length << " frame " << k;
        }
    }
}

TEST(UpdateSession, ProgressStarsEvery64Frames) {
    for (std::uint32_t frames : {64u, 65u}) {
        SimScannerConfig config;
        Rig rig(config);
        const Firmware firmware = MakeFirmware({{BLOCK_TYPE_KERN, frames * 512u}});
        CaptureStdout();
        ASSERT_EQ(RunSession(rig, firmware), RESULT_SUCCESS);
        const std::string output = GetCapturedStdout();
        const std::string head = "Sending data. total frames:" + std::to_string(frames) + "\n";
        const std::size_t from = output.find(head);
        const std::size_t to = output.find("\nWating update");
        ASSERT_NE(from, std::string::npos);
        ASSERT_NE(to, std::string::npos);
        EXPECT_EQ(output.substr(from + head.size(), to - from - head.size()),
                  frames == 64 ? "*" : "**");
    }
}

TEST(UpdateSession, CompletionBound) {
    EXPECT_EQ(CompletionReads(1), 4u);
    EXPECT_EQ(CompletionReads(1023), 4u);
    EXPECT_EQ(CompletionReads(50 * 1024), 5u);
    EXPECT_EQ(CompletionReads(1048576), 24u);
}

TEST(UpdateSession, TranscriptOfATwoBlockUpdate) {
    SimScannerConfig config;
    Rig rig(config);
    const Firmware firmware = MakeFirmware({{BLOCK_TYPE_KERN, 1500}, {BLOCK_TYPE_APPL, 40000}});
    CaptureStdout();
    ASSERT_EQ(RunSession(rig, firmware), RESULT_SUCCESS);
    EXPECT_EQ(GetCapturedStdout(),
              "Test connection\n"
              "Checking whether the firmware file is suitable for the device\n"
              "Entering update mode\n"
              "\nUpdating block: 0/2\n"
              "Setting up update parameters\n"
              "Sending data. total frames:3\n"
              "*"
              "\nWating update to complete. It make take dozens of seconds.\n"
              "\nUpdating block: 1/2\n"
              "Setting up update parameters\n"
              "Sending data. total frames:79\n"
              "**"
              "\nWating update to complete. It make take dozens of seconds.\n"
              "\nUpdate successful\n");
}

struct FaultCase {
    const char* name;
    SimFault fault;
    ResultCode expected;
};

SimFault Fault(SimStep step, SimFaultKind kind, std::uint32_t occurrence = 1) {
    SimFault fault;
    fault.step = step;
    fault.kind = kind;
    fault.occurrence = occurrence;
    return fault;
}

TEST(UpdateSession, EachFaultGivesItsResult) {
    const FaultCase cases[] = {
        {"no answer to ?", Fault(SimStep::Connection, SimFaultKind::Silence),
         RESULT_PROTOCOL_ERROR},
        {"wrong answer to ?", Fault(SimStep::Connection, SimFaultKind::WrongByte),
         RESULT_PROTOCOL_ERROR},
        {"late answer to ?", Fault(SimStep::Connection, SimFaultKind::Delay),
         RESULT_PROTOCOL_ERROR},
        {"stray bytes before !", Fault(SimStep::Connection, SimFaultKind::StrayBytes),
         RESULT_PROTOCOL_ERROR},
        {"no model reply", Fault(SimStep::ModelReply, SimFaultKind::Silence),
         RESULT_MODEL_MISMATCH},
        {"bad model checksum", Fault(SimStep::ModelReply, SimFaultKind::BadCrc),
         RESULT_MODEL_MISMATCH},
        {"no update mode", Fault(SimStep::UpdateMode, SimFaultKind::Silence),
         RESULT_PROTOCOL_ERROR},
        {"wrong update-mode byte", Fault(SimStep::UpdateMode, SimFaultKind::WrongByte),
         RESULT_PROTOCOL_ERROR},
        {"not ready", Fault(SimStep::ReadinessPoll, SimFaultKind::WrongByte),
         RESULT_PROTOCOL_ERROR},
        {"data length refused", Fault(SimStep::DataLens, SimFaultKind::Refuse),
         RESULT_PROTOCOL_ERROR},
        {"file type bad crc", Fault(SimStep::FileType, SimFaultKind::BadCrc),
         RESULT_PROTOCOL_ERROR},
        {"frame size silent", Fault(SimStep::FrameSize, SimFaultKind::Silence),
         RESULT_PROTOCOL_ERROR},
        {"frames refused", Fault(SimStep::Frames, SimFaultKind::Refuse), RESULT_PROTOCOL_ERROR},
        {"start refused", Fault(SimStep::Start, SimFaultKind::Refuse), RESULT_PROTOCOL_ERROR},
        {"frame 2 unacknowledged", Fault(SimStep::Frame, SimFaultKind::Silence, 2),
         RESULT_PROTOCOL_ERROR},
        {"frame 3 wrong ack", Fault(SimStep::Frame, SimFaultKind::WrongByte, 3),
         RESULT_PROTOCOL_ERROR},
        {"no closing star", Fault(SimStep::FinalStar, SimFaultKind::Silence),
         RESULT_PROTOCOL_ERROR},
        {"write failed", Fault(SimStep::Verdict, SimFaultKind::FailVerdict),
         RESULT_DEVICE_WRITE_FAILED},
        {"odd verdict", Fault(SimStep::Verdict, SimFaultKind::WrongByte), RESULT_PROTOCOL_ERROR},
        {"vanishes mid-block", Fault(SimStep::Frame, SimFaultKind::Vanish, 3),
         RESULT_PROTOCOL_ERROR},
        {"silent @NextDown is not judged", Fault(SimStep::NextDown, SimFaultKind::Silence),
         RESULT_SUCCESS},
        {"refused @Exit is not judged", Fault(SimStep::Exit, SimFaultKind::Refuse), RESULT_SUCCESS},
    };
    for (const FaultCase& c : cases) {
        SimScannerConfig config;
        config.fault = c.fault;
        Rig rig(config);
        const Firmware firmware = MakeFirmware({{BLOCK_TYPE_KERN, 3000}, {BLOCK_TYPE_APPL, 600}});
        CaptureStdout();
        const ResultCode result = RunSession(rig, firmware);
        GetCapturedStdout();
        EXPECT_EQ(result, c.expected) << c.name;
        EXPECT_FALSE(rig.link.ReaderHeld()) << c.name;
        EXPECT_FALSE(rig.link.IsOpen()) << c.name;
        const auto commands = rig.scanner.Commands();
        if (c.expected != RESULT_SUCCESS && !rig.scanner.Vanished()) {
            ASSERT_FALSE(commands.empty()) << c.name;
            EXPECT_EQ(commands.back(), "@Exit") << c.name;
        }
    }
}

SimFault Late(SimStep step, std::uint32_t delayMs, std::uint32_t occurrence = 1) {
    SimFault fault = Fault(step, SimFaultKind::Delay, occurrence);
    fault.delayMs = delayMs;
    return fault;
}

SimFault Trailing(SimStep step, std::uint32_t delayMs) {
    SimFault fault = Fault(step, SimFaultKind::TrailingBytes);
    fault.delayMs = delayMs;
    return fault;
}

// Every wait and drain of the session, with a device that answers (or sends noise) just inside
// and just outside it, on simulated time. Where the session does not judge an answer, what
// shows is whether a late reply was drained or taken for the next answer, how often the host
// polled, or whether it was still listening when the device answered.
TEST(UpdateSession, AnswersJustInsideAndJustOutsideEachWait) {
    constexpr std::uint32_t NOT_CHECKED = UINT32_MAX;
    struct Case {
        const char* name;
        SimFault fault;
        ResultCode expected;
        std::uint32_t blockLength = 600;  // two frames, W = 4
        std::uint32_t blocks = 1;
        const char* deviceModel = "EM7";
        bool noiseBeforeSession = false;
        std::uint32_t noiseAtMs = NOT_CHECKED;  // after the session starts
        std::uint32_t polls = NOT_CHECKED;
        std::uint32_t unheardAnswers = NOT_CHECKED;
    };
    const ResultCode OK = RESULT_SUCCESS;
    const ResultCode FAIL = RESULT_PROTOCOL_ERROR;
    const Case cases[] = {
        {"! at 1000", Late(SimStep::Connection, 1000), OK},
        {"! at 1001", Late(SimStep::Connection, 1001), FAIL},
        {"model reply at 1000", Late(SimStep::ModelReply, 1000), OK},
        {"model reply at 1001", Late(SimStep::ModelReply, 1001), RESULT_MODEL_MISMATCH},
        {"0x06 at 1000", Late(SimStep::UpdateMode, 1000), OK},
        {"0x06 at 1001", Late(SimStep::UpdateMode, 1001), FAIL},
        {"< at 100: one poll", Late(SimStep::ReadinessPoll, 100), OK, 600, 1, "EM7", false,
         NOT_CHECKED, 1},
        {"< at 101: a second poll", Late(SimStep::ReadinessPoll, 101), OK, 600, 1, "EM7", false,
         NOT_CHECKED, 2},
        {"data length reply at 1000", Late(SimStep::DataLens, 1000), OK},
        {"data length reply at 1001", Late(SimStep::DataLens, 1001), FAIL},
        {"file type reply at 1000", Late(SimStep::FileType, 1000), OK},
        {"file type reply at 1001", Late(SimStep::FileType, 1001), FAIL},
        {"frame size reply at 1000", Late(SimStep::FrameSize, 1000), OK},
        {"frame size reply at 1001", Late(SimStep::FrameSize, 1001), FAIL},
        {"frames reply at 1000", Late(SimStep::Frames, 1000), OK},
        {"frames reply at 1001", Late(SimStep::Frames, 1001), FAIL},
        {"start reply at 1000", Late(SimStep::Start, 1000), OK},
        {"start reply at 1001", Late(SimStep::Start, 1001), FAIL},
        {"first star at 2000", Late(SimStep::Frame, 2000), OK},
        {"first star at 2001", Late(SimStep::Frame, 2001), FAIL},
        {"second star at 2000", Late(SimStep::Frame, 2000, 2), OK},
        {"second star at 2001", Late(SimStep::Frame, 2001, 2), FAIL},
        {"closing star at 2000", Late(SimStep::FinalStar, 2000), OK},
        {"closing star at 2001", Late(SimStep::FinalStar, 2001), FAIL},
        {"verdict in the last of 4 reads", Late(SimStep::Verdict, 4000), OK},
        {"verdict after 4 reads", Late(SimStep::Verdict, 4001), FAIL},
        {"verdict in the last of 5 reads", Late(SimStep::Verdict, 5000), OK, 50 * 1024},
        {"verdict after 5 reads", Late(SimStep::Verdict, 5001), FAIL, 50 * 1024},
        // Not judged: a reply within the wait and the 20 ms drain behind it goes unseen, a later
        // one is taken for the answer to the next poll.
        {"@NextDown reply drained at 520", Late(SimStep::NextDown, 520), OK, 600, 2},
        {"@NextDown reply at 521 read as the poll's answer", Late(SimStep::NextDown, 521), FAIL,
         600, 2},
        {"@Exit reply at 500 is awaited", Late(SimStep::Exit, 500), OK, 600, 1, "EM7", false,
         NOT_CHECKED, NOT_CHECKED, 0},
        {"@Exit reply at 501 comes after the host stopped", Late(SimStep::Exit, 501), OK, 600, 1,
         "EM7", false, NOT_CHECKED, NOT_CHECKED, 1},
        {"@Exit reply after a failure at 100 is awaited", Late(SimStep::Exit, 100),
         RESULT_MODEL_MISMATCH, 600, 1, "XX", false, NOT_CHECKED, NOT_CHECKED, 0},
        {"@Exit reply after a failure at 101 comes too late", Late(SimStep::Exit, 101),
         RESULT_MODEL_MISMATCH, 600, 1, "XX", false, NOT_CHECKED, NOT_CHECKED, 1},
        // Drains. The "!" comes 10 ms after "?", so noise behind the drain gets in first.
        {"noise from opening the line is dropped", Late(SimStep::Connection, 10), OK, 600, 1, "EM7",
         true},
        {"noise 50 ms into the session is drained", Late(SimStep::Connection, 10), OK, 600, 1,
         "EM7", false, 50},
        {"noise 51 ms into the session is read for !", Late(SimStep::Connection, 10), FAIL, 600, 1,
         "EM7", false, 51},
        {"noise 20 ms after 0x06 is drained", Trailing(SimStep::UpdateMode, 20), OK},
        {"noise 21 ms after 0x06 is read for <", Trailing(SimStep::UpdateMode, 21), FAIL},
        {"noise 20 ms after < is drained", Trailing(SimStep::ReadinessPoll, 20), OK},
        {"noise 21 ms after < is read for a set-up reply", Trailing(SimStep::ReadinessPoll, 21),
         FAIL},
        {"noise behind the start reply is dropped", Trailing(SimStep::Start, 0), OK},
        {"noise 1 ms after the start reply is read for *", Trailing(SimStep::Start, 1), FAIL},
    };
    for (const Case& c : cases) {
        SimScannerConfig config;
        config.fault = c.fault;
        config.model = c.deviceModel;
        Rig rig(config);
        const Firmware firmware = MakeFirmware(std::vector<std::pair<BlockType, std::size_t>>(
            c.blocks, {BLOCK_TYPE_KERN, c.blockLength}));
        const Bytes noise = {0x00, 0xA5};
        if (c.noiseBeforeSession) {
            rig.port.Deliver(noise);
            ASSERT_TRUE(rig.port.AwaitReaderIdle());
            ASSERT_EQ(rig.link.Ring().Count(), noise.size()) << c.name;
        }
        if (c.noiseAtMs != NOT_CHECKED) {
            rig.clock.At(rig.clock.Now() + c.noiseAtMs,
                         [&rig, &noise] { rig.port.Deliver(noise); });
        }
        CaptureStdout();
        const ResultCode result = RunSession(rig, firmware);
        GetCapturedStdout();
        EXPECT_EQ(result, c.expected) << c.name;
        if (c.polls != NOT_CHECKED) {
            EXPECT_EQ(rig.scanner.Polls(), c.polls) << c.name;
        }
        if (c.unheardAnswers != NOT_CHECKED) {
            EXPECT_EQ(rig.clock.Scheduled(), c.unheardAnswers) << c.name;
        }
    }
}

TEST(UpdateSession, SilentVerdictCostsItsReadsAndADotEach) {
    SimScannerConfig config;
    config.fault = Fault(SimStep::Verdict, SimFaultKind::Silence);
    Rig rig(config);
    const Firmware firmware = MakeFirmware({{BLOCK_TYPE_KERN, 100}});
    CaptureStdout();
    EXPECT_EQ(RunSession(rig, firmware), RESULT_PROTOCOL_ERROR);
    const std::string output = GetCapturedStdout();
    EXPECT_NE(output.find("dozens of seconds.\n...."), std::string::npos);
    EXPECT_EQ(output.find("....."), std::string::npos);
}

TEST(UpdateSession, ReadinessPollsUpToAHundred) {
    SimScannerConfig config;
    config.unansweredPolls = 99;  // the hundredth poll is answered
    {
        Rig rig(config);
        const Firmware firmware = MakeFirmware({{BLOCK_TYPE_KERN, 10}});
        CaptureStdout();
        EXPECT_EQ(RunSession(rig, firmware), RESULT_SUCCESS);
        GetCapturedStdout();
        EXPECT_EQ(rig.scanner.Polls(), 100u);
    }
    config.unansweredPolls = 100;
    {
        Rig rig(config);
        const Firmware firmware = MakeFirmware({{BLOCK_TYPE_KERN, 10}});
        CaptureStdout();
        EXPECT_EQ(RunSession(rig, firmware), RESULT_PROTOCOL_ERROR);
        GetCapturedStdout();
        EXPECT_EQ(rig.scanner.Polls(), 100u);
    }
}

TEST(UpdateSession, ModelCases) {
    struct Case {
        const char* device;
        const char* file;
        std::uint32_t flags;
        ResultCode expected;
        bool queried;
    };
    const Case cases[] = {
        {"EM7", "EM7", UPDATE_FLAG_CHECK_MODEL, RESULT_SUCCESS, true},
        {"MB7", "EM7", UPDATE_FLAG_CHECK_MODEL, RESULT_SUCCESS, true},
        {"MB7", "MB7", UPDATE_FLAG_CHECK_MODEL, RESULT_SUCCESS, true},
        {"MBX", "EMX", UPDATE_FLAG_CHECK_MODEL, RESULT_MODEL_MISMATCH, true},
        {"mb7", "em7", UPDATE_FLAG_CHECK_MODEL, RESULT_MODEL_MISMATCH, true},
        {"EM7", "MB7", UPDATE_FLAG_CHECK_MODEL, RESULT_MODEL_MISMATCH, true},
        {"EM7", "em7", UPDATE_FLAG_CHECK_MODEL, RESULT_MODEL_MISMATCH, true},
        {"EM7", "EM70", UPDATE_FLAG_CHECK_MODEL, RESULT_MODEL_MISMATCH, true},
        {"", "EM7", UPDATE_FLAG_CHECK_MODEL, RESULT_MODEL_MISMATCH, true},
        {"OTHER", "", UPDATE_FLAG_CHECK_MODEL, RESULT_SUCCESS, false},
        {"OTHER", "EM7", 0, RESULT_SUCCESS, false},
    };
    for (const Case& c : cases) {
        SimScannerConfig config;
        config.model = c.device;
        Rig rig(config);
        const Firmware firmware = MakeFirmware({{BLOCK_TYPE_KERN, 10}});
        UpdateOptions options;
        options.flags = c.flags;
        CaptureStdout();
        EXPECT_EQ(RunSession(rig, firmware, c.file, options), c.expected)
            << c.device << "/" << c.file;
        const std::string output = GetCapturedStdout();
        EXPECT_EQ(rig.scanner.StepCount(SimStep::ModelReply), c.queried ? 1u : 0u)
            << c.device << "/" << c.file;
        EXPECT_EQ(output.find("suitable") != std::string::npos, c.queried);
    }
}

TEST(UpdateSession, RefusedArgumentsSendNothing) {
    const Firmware firmware = MakeFirmware({{BLOCK_TYPE_KERN, 10},
                                            {BLOCK_TYPE_FLAH, 10},
                                            {BLOCK_TYPE_FLAH, 10},
                                            {BLOCK_TYPE_FLAH, 10},
                                            {BLOCK_TYPE_FLAH, 10}});
    struct Case {
        const char* name;
        std::uint32_t count;
        std::uint32_t exfl;
        int breakBlock;  // index of a block to spoil, or -1
        int how;         // 0 null data, 1 zero length, 2 type 5, 3 exfl of type 2
    };
    const Case cases[] = {
        {"nothing", 0, 0, -1, 0},  {"five", 5, 0, -1, 0},
        {"3 + 2", 3, 2, -1, 0},    {"exfl above 4", 0, 5, -1, 0},
        {"null data", 2, 0, 1, 0}, {"zero length", 2, 0, 0, 1},
        {"type 5", 1, 0, 0, 2},    {"exfl not of type 3", 1, 1, 1, 3},
    };
    for (const Case& c : cases) {
        SimScannerConfig config;
        Rig rig(config);
        std::vector<UpdateBlock> blocks = firmware.blocks;
        if (c.breakBlock >= 0) {
            UpdateBlock& block = blocks[static_cast<std::size_t>(c.breakBlock)];
            if (c.how == 0) {
                block.data = nullptr;
            } else if (c.how == 1) {
                block.length = 0;
            } else if (c.how == 2) {
                block.type = 5;
            } else {
                block.type = BLOCK_TYPE_KERN;
            }
        }
        const UpdateOptions options = CheckModel();
        EXPECT_EQ(
            RunUpdateSession(blocks.data(), &rig.link, c.count, true, &options, c.exfl, "EM7"),
            RESULT_BAD_REQUEST)
            << c.name;
        EXPECT_TRUE(rig.port.Writes().empty()) << c.name;
        EXPECT_TRUE(rig.link.ReaderHeld()) << c.name;
        EXPECT_TRUE(rig.link.IsOpen()) << c.name;
    }
    SimScannerConfig config;
    Rig rig(config);
    EXPECT_EQ(RunUpdateSession(nullptr, &rig.link, 1, true, nullptr, 0, nullptr),
              RESULT_BAD_REQUEST);
    EXPECT_EQ(RunUpdateSession(firmware.blocks.data(), nullptr, 1, true, nullptr, 0, nullptr),
              RESULT_BAD_REQUEST);
}

TEST(UpdateSession, ExflBlocksAndForbiddenFilesOnlySayExit) {
    const Firmware firmware = MakeFirmware({{BLOCK_TYPE_KERN, 10}, {BLOCK_TYPE_FLAH, 10}});
    {
        SimScannerConfig config;
        Rig rig(config);
        EXPECT_EQ(RunUpdateSession(firmware.blocks.data(), &rig.link, 1, true, nullptr, 1, "EM7"),
                  RESULT_BAD_REQUEST);
        EXPECT_EQ(rig.scanner.Commands(), std::vector<std::string>{"@Exit"});
        EXPECT_EQ(rig.port.Writes().size(), 1u);
        EXPECT_FALSE(rig.link.ReaderHeld());
    }
    {
        SimScannerConfig config;
        Rig rig(config);
        EXPECT_EQ(RunUpdateSession(firmware.blocks.data(), &rig.link, 1, false, nullptr, 0, ""),
                  RESULT_BAD_REQUEST);
        EXPECT_EQ(rig.scanner.Commands(), std::vector<std::string>{"@Exit"});
        EXPECT_FALSE(rig.link.ReaderHeld());
        EXPECT_FALSE(rig.link.IsOpen());
    }
}

TEST(UpdateSession, ClosedLinkGivesThree) {
    SimScannerConfig config;
    Rig rig(config);
    rig.link.StopReader();
    const Firmware firmware = MakeFirmware({{BLOCK_TYPE_KERN, 10}});
    EXPECT_EQ(RunSession(rig, firmware), RESULT_NOT_CONNECTED);
    EXPECT_TRUE(rig.port.Writes().empty());
}

}  // namespace
