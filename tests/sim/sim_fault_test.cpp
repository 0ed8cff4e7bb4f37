#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <ostream>

#include "sim_test_support.h"

namespace {

const Bytes FIRST = Pattern(1024, 7);  // two frames in each block
const Bytes SECOND = Pattern(700, 8);

std::vector<Exchange> FaultScript() {
    return SessionScript("EM7", {{FIRST, "kern"}, {SECOND, "flah:9"}});
}

// Index of the n-th exchange (from 1) of the step in the script.
std::size_t Nth(SimStep step, std::uint32_t n) {
    const std::vector<Exchange> script = FaultScript();
    for (std::size_t i = 0; i < script.size(); ++i) {
        if (script[i].step == step && --n == 0) {
            return i;
        }
    }
    ADD_FAILURE() << "no such exchange";
    return 0;
}

Bytes WithFirst(Bytes bytes, std::uint8_t first) {
    bytes.front() = first;
    return bytes;
}

Bytes WithLastInverted(Bytes bytes) {
    bytes.back() = static_cast<std::uint8_t>(~bytes.back());
    return bytes;
}

struct FaultCase {
    const char* name;
    SimFault fault;
    std::vector<std::pair<std::size_t, Bytes>> changed;  // answers that differ from the script
    bool wholeRun;  // compare every later answer too (else stop at the last changed one)
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.name;
}

class SimScannerFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SimScannerFaults, SpoilExactlyTheTargetedAnswer) {
    const FaultCase& c = GetParam();
    SimScannerConfig config;
    config.fault = c.fault;
    SimScanner scanner(config);
    Collector collector;
    collector.Attach(scanner);
    const std::vector<Exchange> script = FaultScript();
    std::vector<Bytes> expected;
    for (const Exchange& exchange : script) {
        expected.push_back(exchange.answer);
    }
    std::size_t last = 0;
    for (const auto& [index, answer] : c.changed) {
        expected[index] = answer;
        last = std::max(last, index);
    }
    const std::vector<Bytes> answers = Play(scanner, collector, script);
    const std::size_t compared = c.wholeRun ? script.size() : last + 1;
    for (std::size_t i = 0; i < compared; ++i) {
        EXPECT_EQ(answers[i], expected[i]) << "exchange " << i;
    }
    EXPECT_FALSE(scanner.Vanished());
}

const Bytes OK = TextReply("0");
const Bytes NO = TextReply("1");

// "<" delayMs after the answer (0: in the same chunk).
SimFault TrailingLess(SimStep step, std::uint32_t delayMs) {
    return {step, SimFaultKind::TrailingBytes, 1, 0, 'X', delayMs, {0x3C}};
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimScannerFaults,
    ::testing::Values(FaultCase{"silent connection",
                                {SimStep::Connection, SimFaultKind::Silence},
                                {{0, {}}},
                                true},
                      FaultCase{"wrong connection byte",
                                {SimStep::Connection, SimFaultKind::WrongByte, 1, 0, '#'},
                                {{0, {'#'}}},
                                true},
                      FaultCase{"stray bytes before the connection answer",
                                {SimStep::Connection, SimFaultKind::StrayBytes},
                                {{0, {0x00, 0xA5, '!'}}},
                                true},
                      FaultCase{"bad model checksum",
                                {SimStep::ModelReply, SimFaultKind::BadCrc},
                                {{1, WithLastInverted(ModelReply("EM7"))}},
                                true},
                      FaultCase{"wrong model header",
                                {SimStep::ModelReply, SimFaultKind::WrongByte},
                                {{1, WithFirst(ModelReply("EM7"), 'X')}},
                                true},
                      FaultCase{"update mode answered with !",
                                {SimStep::UpdateMode, SimFaultKind::FailVerdict},
                                {{2, {'!'}}},
                                true},
                      FaultCase{"second block never ready (one poll)",
                                {SimStep::ReadinessPoll, SimFaultKind::Silence, 1, 2},
                                {{Nth(SimStep::ReadinessPoll, 2), {}}},
                                true},
                      FaultCase{"refused length is not applied, so start is refused",
                                {SimStep::DataLens, SimFaultKind::Refuse},
                                {{Nth(SimStep::DataLens, 1), NO}, {Nth(SimStep::Start, 1), NO}},
                                false},
                      FaultCase{"bad CRC on the second file type reply",
                                {SimStep::FileType, SimFaultKind::BadCrc, 2},
                                {{Nth(SimStep::FileType, 2), WithLastInverted(OK)}},
                                true},
                      FaultCase{"wrong frame size reply",
                                {SimStep::FrameSize, SimFaultKind::WrongByte},
                                {{Nth(SimStep::FrameSize, 1), WithFirst(OK, 'X')}},
                                true},
                      FaultCase{"stray bytes before the frames reply",
                                {SimStep::Frames, SimFaultKind::StrayBytes, 1, 0, 'X', 0, {0x3C}},
                                {{Nth(SimStep::Frames, 1), Concat({{0x3C}, OK})}},
                                true},
                      FaultCase{"trailing bytes in the chunk of the frames reply",
                                TrailingLess(SimStep::Frames, 0),
                                {{Nth(SimStep::Frames, 1), Concat({OK, {0x3C}})}},
                                true},
                      FaultCase{"trailing bytes a little after the start reply",
                                TrailingLess(SimStep::Start, 5),
                                {{Nth(SimStep::Start, 1), Concat({OK, {0x3C}})}},
                                true},
                      FaultCase{"third frame of the run goes unacknowledged",
                                {SimStep::Frame, SimFaultKind::Silence, 3},
                                {{Nth(SimStep::Frame, 3), {}}},
                                true},
                      FaultCase{"frame 2 of block 2 answered wrongly",
                                {SimStep::Frame, SimFaultKind::WrongByte, 2, 2},
                                {{Nth(SimStep::Frame, 4), {'X', '*', '^'}}},
                                true},
                      FaultCase{"every star withheld",
                                {SimStep::Frame, SimFaultKind::Silence, 0},
                                {{Nth(SimStep::Frame, 1), {}},
                                 {Nth(SimStep::Frame, 2), {'*', '^'}},
                                 {Nth(SimStep::Frame, 3), {}},
                                 {Nth(SimStep::Frame, 4), {'*', '^'}}},
                                true},
                      FaultCase{"closing star withheld",
                                {SimStep::FinalStar, SimFaultKind::Silence},
                                {{Nth(SimStep::Frame, 2), {'*', '^'}}},
                                true},
                      FaultCase{"write failed in block 2",
                                {SimStep::Verdict, SimFaultKind::FailVerdict, 2},
                                {{Nth(SimStep::Frame, 4), {'*', '*', '!'}}},
                                true},
                      FaultCase{"no verdict",
                                {SimStep::Verdict, SimFaultKind::Silence},
                                {{Nth(SimStep::Frame, 2), {'*', '*'}}},
                                true},
                      FaultCase{"wrong next-down reply",
                                {SimStep::NextDown, SimFaultKind::WrongByte},
                                {{Nth(SimStep::NextDown, 1), WithFirst(OK, 'X')}},
                                true},
                      FaultCase{"exit refused",
                                {SimStep::Exit, SimFaultKind::Refuse},
                                {{Nth(SimStep::Exit, 1), NO}},
                                true}),
    [](const ::testing::TestParamInfo<FaultCase>& param) {
        std::string name;
        for (const char* p = param.param.name; *p != '\0'; ++p) {
            name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        }
        return name;
    });

TEST(SimScannerFaultEffects, VerdictAndBlockRecordFollowTheFault) {
    SimScannerConfig config;
    config.fault = {SimStep::Verdict, SimFaultKind::FailVerdict};
    SimScanner scanner(config);
    Collector collector;
    collector.Attach(scanner);
    Play(scanner, collector, FaultScript());
    const std::vector<SimBlock> blocks = scanner.Blocks();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].verdict, '!');
    EXPECT_EQ(blocks[1].verdict, '^');
    EXPECT_EQ(blocks[0].data, FIRST);  // the bytes arrived; only the write failed
}

TEST(SimScannerFaultEffects, VanishingMidBlockEndsEveryAnswer) {
    SimScannerConfig config;
    config.fault = {SimStep::Frame, SimFaultKind::Vanish, 1, 1};
    std::atomic<int> vanishings{0};
    SimScanner scanner(config);
    Collector collector;
    collector.Attach(scanner, [&vanishings] { ++vanishings; });
    const std::vector<Exchange> script = FaultScript();
    const std::vector<Bytes> answers = Play(scanner, collector, script);
    const std::size_t hit = Nth(SimStep::Frame, 1);
    for (std::size_t i = 0; i < script.size(); ++i) {
        EXPECT_EQ(answers[i], i < hit ? script[i].answer : Bytes{}) << "exchange " << i;
    }
    EXPECT_TRUE(scanner.Vanished());
    EXPECT_EQ(vanishings.load(), 1);
    const std::vector<SimBlock> blocks = scanner.Blocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_FALSE(blocks[0].complete);
}

TEST(SimScannerFaultEffects, DelayedAnswerComesLateAndKeepsItsPlace) {
    SimScannerConfig config;
    config.fault = {SimStep::Start, SimFaultKind::Delay, 1, 0, 'X', 300};
    SimScanner scanner(config);
    Collector collector;
    collector.Attach(scanner);
    const std::vector<Exchange> script = FaultScript();
    const std::size_t start = Nth(SimStep::Start, 1);
    Play(scanner, collector, {script.begin(), script.begin() + static_cast<long>(start)});
    const auto sent = std::chrono::steady_clock::now();
    // The first frame's star is due at once but must wait behind the delayed reply.
    const Bytes both = Concat({script[start].request, script[start + 1].request});
    scanner.OnHostBytes(both.data(), both.size());
    ASSERT_TRUE(collector.WaitFor(OK.size() + 1));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(300));
    EXPECT_EQ(collector.Take(), Concat({OK, {'*'}}));
}

TEST(SimScannerFaultEffects, SilencedPollStillMakesTheDeviceReady) {
    SimScannerConfig config;
    config.fault = {SimStep::ReadinessPoll, SimFaultKind::Silence};
    SimScanner scanner(config);
    Collector collector;
    collector.Attach(scanner);
    const std::vector<Exchange> script = FaultScript();
    const Exchange poll = script[Nth(SimStep::ReadinessPoll, 1)];
    const std::vector<Bytes> answers =
        Play(scanner, collector, {script[2], poll, poll, script[Nth(SimStep::DataLens, 1)]});
    EXPECT_EQ(answers[1], Bytes{});
    EXPECT_EQ(answers[2], Bytes{'<'});
    EXPECT_EQ(answers[3], OK);
    EXPECT_EQ(scanner.StepCount(SimStep::ReadinessPoll), 2u);
}

}  // namespace
