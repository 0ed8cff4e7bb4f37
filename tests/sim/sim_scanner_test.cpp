#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "sim_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

const Bytes BLOCK_A = Pattern(1300, 1);  // three frames, the last one partial
const Bytes BLOCK_B = Pattern(1024, 2);  // exactly two frames

void Send(SimScanner& scanner, const Bytes& bytes) {
    scanner.OnHostBytes(bytes.data(), bytes.size());
}

// Feeds the script up to (not including) the first exchange of the given step.
void PlayUpTo(SimScanner& scanner, Collector& collector, const std::vector<Exchange>& script,
              SimStep step) {
    const auto end = std::find_if(script.begin(), script.end(),
                                  [step](const Exchange& e) { return e.step == step; });
    Play(scanner, collector, std::vector<Exchange>(script.begin(), end));
}

TEST(SimScannerExchange, OneBlockAnswersEveryStepAndReassemblesTheBlock) {
    SimScanner scanner(SimScannerConfig{});
    Collector collector;
    collector.Attach(scanner);
    const std::vector<Exchange> script = SessionScript("EM7", {{BLOCK_A, "appl"}});
    const std::vector<Bytes> answers = Play(scanner, collector, script);
    for (std::size_t i = 0; i < script.size(); ++i) {
        EXPECT_EQ(answers[i], script[i].answer) << "exchange " << i;
    }
    const std::vector<SimBlock> blocks = scanner.Blocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].name, "appl");
    EXPECT_FALSE(blocks[0].hasExtra);
    EXPECT_EQ(blocks[0].frames, 3u);
    EXPECT_TRUE(blocks[0].complete);
    EXPECT_EQ(blocks[0].verdict, '^');
    EXPECT_EQ(blocks[0].data, BLOCK_A);
    EXPECT_EQ(scanner.Commands(),
              (std::vector<std::string>{"!DataLens:1300", "!FileType:appl", "!FrameSize:512",
                                        "!Frames:3", ">Start", "@Exit"}));
    EXPECT_TRUE(scanner.ProtocolErrors().empty());
}

TEST(SimScannerExchange, TwoBlocksKeepTheirNamesExtrasAndBytes) {
    SimScanner scanner(SimScannerConfig{});
    Collector collector;
    collector.Attach(scanner);
    const std::vector<Exchange> script =
        SessionScript("EM7", {{BLOCK_B, "kern"}, {BLOCK_A, "flah:4294967295"}});
    const std::vector<Bytes> answers = Play(scanner, collector, script);
    for (std::size_t i = 0; i < script.size(); ++i) {
        EXPECT_EQ(answers[i], script[i].answer) << "exchange " << i;
    }
    const std::vector<SimBlock> blocks = scanner.Blocks();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].data, BLOCK_B);
    EXPECT_EQ(blocks[0].name, "kern");
    EXPECT_EQ(blocks[1].data, BLOCK_A);
    EXPECT_EQ(blocks[1].name, "flah");
    EXPECT_TRUE(blocks[1].hasExtra);
    EXPECT_EQ(blocks[1].extra, 4294967295u);
    const std::vector<std::string> commands = scanner.Commands();
    ASSERT_EQ(commands.size(), 12u);
    EXPECT_EQ(commands[5], "@NextDown");
    EXPECT_EQ(commands[7], "!FileType:flah:4294967295");
    EXPECT_EQ(commands[11], "@Exit");
    EXPECT_TRUE(scanner.ProtocolErrors().empty());
    // After "@Exit" the device is out of update mode and a new session may begin.
    Send(scanner, {'?'});
    ASSERT_TRUE(collector.WaitFor(1));
    EXPECT_EQ(collector.Take(), Bytes{'!'});
}

// The whole conversation in pieces of one size: every answer, in order, and the same block.
class SimScannerSplitInput : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SimScannerSplitInput, AnswersDoNotDependOnHowTheBytesAreCut) {
    SimScannerConfig config;
    config.model = "MB7";
    SimScanner scanner(config);
    Collector collector;
    collector.Attach(scanner);
    const std::vector<Exchange> script =
        SessionScript("MB7", {{BLOCK_A, "boot"}, {BLOCK_B, "flah:3"}});
    Bytes requests;
    Bytes expected;
    for (const Exchange& exchange : script) {
        requests.insert(requests.end(), exchange.request.begin(), exchange.request.end());
        expected.insert(expected.end(), exchange.answer.begin(), exchange.answer.end());
    }
    const std::size_t piece = GetParam();
    for (std::size_t at = 0; at < requests.size(); at += piece) {
        scanner.OnHostBytes(requests.data() + at, std::min(piece, requests.size() - at));
    }
    ASSERT_TRUE(collector.WaitFor(expected.size()));
    ASSERT_TRUE(scanner.WaitUntilQuiet(5000));
    EXPECT_EQ(collector.Take(), expected);
    const std::vector<SimBlock> blocks = scanner.Blocks();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].data, BLOCK_A);
    EXPECT_EQ(blocks[1].data, BLOCK_B);
    EXPECT_TRUE(scanner.ProtocolErrors().empty());
}

INSTANTIATE_TEST_SUITE_P(Pieces, SimScannerSplitInput,
                         ::testing::Values(1, 2, 3, 5, 56, 511, 513, 516, 517, 518, 100000));

TEST(SimScannerReadiness, PollsBeforeReadyGoUnansweredInEveryBlock) {
    SimScannerConfig config;
    config.unansweredPolls = 2;
    SimScanner scanner(config);
    Collector collector;
    collector.Attach(scanner);
    const std::vector<Exchange> script =
        SessionScript("EM7", {{BLOCK_B, "kern"}, {BLOCK_B, "appl"}});
    Play(scanner, collector, {script.begin(), script.begin() + 3});
    for (int block = 0; block < 2; ++block) {
        const std::vector<Bytes> polls =
            Play(scanner, collector, std::vector<Exchange>(3, script[3]));
        EXPECT_EQ(polls, (std::vector<Bytes>{{}, {}, {'<'}})) << "block " << block;
        const std::vector<Exchange> rest = BlockScript(BLOCK_B, "kern", false);
        Play(scanner, collector, {rest.begin() + 1, rest.end()});
    }
    EXPECT_EQ(scanner.Polls(), 6u);
    EXPECT_EQ(scanner.StepCount(SimStep::ReadinessPoll), 2u);
}

// Requests the device refuses with "1", and notes as the host's mistake.
TEST(SimScannerRefusals, BadSetUpValuesAreRefusedAndNoted) {
    struct Case {
        const char* name;
        std::vector<std::string> commands;  // after "<"; the last one is refused
    };
    const Case cases[] = {
        {"frame size other than 512", {"!FrameSize:256"}},
        {"zero length", {"!DataLens:0"}},
        {"length with a sign", {"!DataLens:+5"}},
        {"length too large", {"!DataLens:4294967296"}},
        {"name of three letters", {"!FileType:app"}},
        {"extra without digits", {"!FileType:flah:"}},
        {"frames not matching the length", {"!DataLens:1300", "!Frames:2"}},
        {"start before the values", {"!DataLens:1300", "!FileType:appl", ">Start"}},
        {"unknown command", {"!Speed:9"}},
    };
    for (const Case& c : cases) {
        SimScanner scanner(SimScannerConfig{});
        Collector collector;
        collector.Attach(scanner);
        Play(scanner, collector, {{SimStep::UpdateMode, UPDATE_MODE, {}}});
        Play(scanner, collector, {{SimStep::ReadinessPoll, {'?', '?', '?'}, {}}});
        std::vector<Bytes> answers;
        for (const std::string& command : c.commands) {
            answers = Play(scanner, collector, {{SimStep::None, TextCommand(command), {}}});
        }
        EXPECT_EQ(answers.back(), TextReply("1")) << c.name;
        EXPECT_FALSE(scanner.ProtocolErrors().empty()) << c.name;
    }
}

TEST(SimScannerRefusals, SetUpBeforeReadinessIsRefused) {
    SimScanner scanner(SimScannerConfig{});
    Collector collector;
    collector.Attach(scanner);
    const std::vector<Bytes> answers = Play(scanner, collector,
                                            {{SimStep::UpdateMode, UPDATE_MODE, {}},
                                             {SimStep::DataLens, TextCommand("!DataLens:10"), {}},
                                             {SimStep::NextDown, TextCommand("@NextDown"), {}}});
    EXPECT_EQ(answers[1], TextReply("1"));
    EXPECT_EQ(answers[2], TextReply("0"));  // always accepted, but noted
    EXPECT_EQ(scanner.ProtocolErrors().size(), 2u);
}

TEST(SimScannerMalformedInput, DroppedWithoutAnswerAndTheNextRequestIsServed) {
    Bytes badCrcCommand = TextCommand("@Exit");
    badCrcCommand.back() ^= 0x01;
    Bytes badChecksumTilde = MODEL_QUERY;
    badChecksumTilde.back() ^= 0x01;
    const Bytes cases[] = {
        badCrcCommand,
        badChecksumTilde,
        {0x55, 0xAA},              // noise
        {0x02, 0x06},              // not a text command
        {0x02, 0x05, 0x00, 0x00},  // empty text command
        {0x02, 0x05, 0x00, 0xFD},  // text longer than 252
        Tilde(0x7E, "~goflash~"),  // unknown tilde payload
        {0x7E, 0x00, 0x01, 0x00},  // tilde packet too long for the device
    };
    for (const Bytes& bad : cases) {
        SimScanner scanner(SimScannerConfig{});
        Collector collector;
        collector.Attach(scanner);
        const std::vector<Bytes> answers =
            Play(scanner, collector, {{SimStep::None, bad, {}}, {SimStep::None, {'?'}, {}}});
        EXPECT_EQ(answers[0], Bytes{}) << ::testing::PrintToString(bad);
        EXPECT_EQ(answers[1], Bytes{'!'}) << ::testing::PrintToString(bad);
        EXPECT_FALSE(scanner.ProtocolErrors().empty());
    }
}

TEST(SimScannerFrames, BadFrameGetsNoStarAndIsNotCounted) {
    SimScanner scanner(SimScannerConfig{});
    Collector collector;
    collector.Attach(scanner);
    const std::vector<Exchange> script = SessionScript("EM7", {{BLOCK_B, "kern"}});
    PlayUpTo(scanner, collector, script, SimStep::Frame);
    Bytes broken = Frame(BLOCK_B, 0);
    broken[100] ^= 0x10;
    const std::vector<Bytes> answers =
        Play(scanner, collector,
             {{SimStep::Frame, broken, {}}, {SimStep::Frame, Frame(BLOCK_B, 0), {}}});
    EXPECT_EQ(answers[0], Bytes{});
    EXPECT_EQ(answers[1], Bytes{'*'});
    EXPECT_EQ(scanner.Blocks()[0].framesReceived, 1u);
    EXPECT_EQ(scanner.ProtocolErrors().size(), 1u);
}

TEST(SimScannerFrames, NonZeroFillIsNotedButAccepted) {
    SimScanner scanner(SimScannerConfig{});
    Collector collector;
    collector.Attach(scanner);
    const Bytes oneByte = {0x42};
    const std::vector<Exchange> script = SessionScript("EM7", {{oneByte, "boot"}});
    PlayUpTo(scanner, collector, script, SimStep::Frame);
    const std::vector<Bytes> answers =
        Play(scanner, collector, {{SimStep::Frame, Frame(oneByte, 0, 0xFF), {}}});
    EXPECT_EQ(answers[0], (Bytes{'*', '*', '^'}));
    EXPECT_EQ(scanner.Blocks()[0].data, oneByte);
    EXPECT_EQ(scanner.ProtocolErrors().size(), 1u);
}

TEST(SimScannerFrames, ExitWhileFramesAreAwaitedIsTakenAsACommand) {
    SimScanner scanner(SimScannerConfig{});
    Collector collector;
    collector.Attach(scanner);
    const std::vector<Exchange> script = SessionScript("EM7", {{BLOCK_A, "appl"}});
    PlayUpTo(scanner, collector, script, SimStep::Frame);
    const std::vector<Bytes> answers = Play(scanner, collector,
                                            {{SimStep::Frame, Frame(BLOCK_A, 0), {}},
                                             {SimStep::Exit, TextCommand("@Exit"), {}},
                                             {SimStep::Connection, {'?'}, {}}});
    EXPECT_EQ(answers[1], TextReply("0"));
    EXPECT_EQ(answers[2], Bytes{'!'});  // out of update mode again
    const SimBlock block = scanner.Blocks()[0];
    EXPECT_FALSE(block.complete);
    EXPECT_EQ(block.framesReceived, 1u);
    EXPECT_EQ(block.data, Bytes(BLOCK_A.begin(), BLOCK_A.begin() + 512));
    EXPECT_TRUE(scanner.ProtocolErrors().empty());
}

TEST(SimScannerTiming, LatencyAndWriteTimeHoldAnswersBack) {
    SimScannerConfig config;
    config.latencyMs = 150;
    config.writeTimeMs = 300;
    SimScanner scanner(config);
    Collector collector;
    collector.Attach(scanner);
    const Bytes oneByte = {0x42};
    const std::vector<Exchange> script = SessionScript("EM7", {{oneByte, "boot"}});
    PlayUpTo(scanner, collector, script, SimStep::Frame);
    const auto sent = Clock::now();
    Send(scanner, Frame(oneByte, 0));
    ASSERT_TRUE(collector.WaitFor(1));
    const auto star = Clock::now();
    ASSERT_TRUE(collector.WaitFor(3));
    const auto verdict = Clock::now();
    EXPECT_GE(star - sent, std::chrono::milliseconds(150));
    EXPECT_GE(verdict - sent, std::chrono::milliseconds(150 + 300));
    EXPECT_EQ(collector.Take(), (Bytes{'*', '*', '^'}));
}

// Echo mode answers whole groups of bytes however the writes cut them, and nothing else.
TEST(SimScannerEcho, OneStarPerWholeGroupOfHostBytes) {
    struct Case {
        std::vector<std::size_t> writes;
        std::size_t stars;
    };
    const Case cases[] = {
        {{517}, 1}, {{300, 216}, 0}, {{300, 217}, 1}, {{1, 1550, 500}, 3}, {{517 * 4 + 1}, 4}};
    for (const Case& c : cases) {
        SimScannerConfig config;
        config.echoEvery = 517;
        SimScanner scanner(config);
        Collector collector;
        collector.Attach(scanner);
        std::size_t total = 0;
        for (const std::size_t size : c.writes) {
            Send(scanner, Bytes(size, '?'));
            total += size;
        }
        ASSERT_TRUE(scanner.WaitUntilQuiet(5000));
        EXPECT_EQ(collector.Take(), Bytes(c.stars, '*')) << total;
        EXPECT_TRUE(scanner.ProtocolErrors().empty());
        EXPECT_EQ(scanner.Polls(), 0u);
    }
}

TEST(SimScannerFeatureMode, HidFeatureDeviceListensOnlyWhileSwitchedOn) {
    SimScannerConfig config;
    config.linkKind = LinkKind::HidFeature;
    SimScanner scanner(config);
    Collector collector;
    collector.Attach(scanner);
    const std::uint8_t on[2] = {0xFE, 0x01};
    const std::uint8_t off[2] = {0xFE, 0x00};
    const Exchange ping = {SimStep::Connection, {'?'}, {}};
    EXPECT_EQ(Play(scanner, collector, {ping})[0], Bytes{});
    scanner.OnFeatureReport(on, 2);
    EXPECT_TRUE(scanner.FeatureModeOn());
    EXPECT_EQ(Play(scanner, collector, {ping})[0], Bytes{'!'});
    scanner.OnFeatureReport(off, 2);
    EXPECT_EQ(Play(scanner, collector, {ping})[0], Bytes{});
    EXPECT_EQ(scanner.ProtocolErrors().size(), 2u);
}

}  // namespace
