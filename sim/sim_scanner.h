// The scanner's side of the update protocol as a transport-independent state machine. The
// host's bytes go in through OnHostBytes, in pieces of any size; the answers come out through
// the attached output callback, delivered by the scanner's own worker thread once their
// latency has passed, so the thread that writes for the host is never held up by a simulated
// delay. Adapters (SimPortAdapter, PtyScanner) put it behind a transport.
//
// What it answers:
//   "?"                          "!" (outside update mode, one "!" per "?")
//   the model query tilde packet a tilde reply 02 00 N(BE16) "4"+model XOR-checksum
//   the "~goFlash~" tilde packet 0x06; update mode begins and the first block is awaited
//   "???"                        "<" once ready (after unansweredPolls polls of each block)
//   a text command               02 05 N(BE16) payload CRC32(BE); payload "0" accepted, "1" not
//   a data frame after ">Start"  "*"; after a block's last frame one more "*", then after the
//                                write time the verdict "^"
//
// Decisions of this device (the host fixes only its requests and the answers above):
//   - "!FrameSize" other than 512, a "!DataLens" of 0, a "!Frames" that does not hold
//     "!DataLens" bytes in 512-byte frames, a "!FileType" name other than four characters,
//     set-up commands before "<", and ">Start" before all four values are known are refused
//     with "1". Unknown commands are refused too. "@NextDown" and "@Exit" are always
//     answered "0"; "@Exit" leaves update mode (a new session can follow), "@NextDown" awaits
//     the next block.
//   - Packets with bad framing or a bad CRC/checksum, data frames with a bad CRC, and stray
//     bytes are not answered; the device drops them and waits for the next request. Every such
//     thing, and every refusal caused by the host, is noted in ProtocolErrors(), so a clean
//     exchange leaves that list empty.
//   - While frames are awaited, a well-formed text command (right header, length and CRC) is
//     taken as a command, not as the start of a frame, so "@Exit" after a failed frame is seen.
//   - Three "?" in a row make one poll; polls after "<" and before ">Start" are answered "<"
//     again.
//   - On LinkKind::HidFeature the device ignores host bytes until the feature report 0xFE 0x01
//     switched its feature mode on (0xFE 0x00 switches it off again).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "discovery/identity.h"

class VirtualClock;

// The answers a fault can target. Each names the answer the device gives to one request.
enum class SimStep : std::uint8_t {
    None,           // no fault
    Connection,     // "!" to "?"
    ModelReply,     // the tilde reply to the model query
    UpdateMode,     // 0x06 to the update-mode packet
    ReadinessPoll,  // "<" to "???" (only polls the device answers count)
    DataLens,       // the reply to "!DataLens:%u"
    FileType,       // the reply to "!FileType:%.4s" or "!FileType:%.4s:%u"
    FrameSize,      // the reply to "!FrameSize:%u"
    Frames,         // the reply to "!Frames:%u"
    Start,          // the reply to ">Start"
    Frame,          // "*" after a data frame
    FinalStar,      // the extra "*" after a block's last frame
    Verdict,        // "^" once the block is written
    NextDown,       // the reply to "@NextDown"
    Exit,           // the reply to "@Exit"
};
constexpr std::size_t SIM_STEP_COUNT = 15;

// What a fault does to the answer it hits. In every case the device still acts on the request
// (the answer, not the work, is lost or spoiled), except Refuse on a text command, which is
// then not carried out.
enum class SimFaultKind : std::uint8_t {
    Silence,        // the answer is not sent
    WrongByte,      // the answer's first byte becomes wrongByte
    BadCrc,         // the answer's last byte (a reply's CRC or checksum; a single byte itself)
                    // is inverted
    Refuse,         // text commands: reply "1" and ignore the command; elsewhere as WrongByte
    FailVerdict,    // the answer becomes the single byte "!" (at Verdict: writing failed)
    Vanish,         // instead of answering the device disappears (the adapter fails reads or
                    // closes the line) and ignores everything after
    Delay,          // the answer comes delayMs later; answers behind it keep their order
    StrayBytes,     // strayBytes go out just before the answer
    TrailingBytes,  // strayBytes go out delayMs after the answer (0: in the same chunk)
};

struct SimFault {
    SimStep step = SimStep::None;
    SimFaultKind kind = SimFaultKind::Silence;
    // Which time the step comes round, from 1; 0 hits every time.
    std::uint32_t occurrence = 1;
    // 0: occurrence counts over the scanner's whole life. Otherwise only in this block (from
    // 1; a block starts with update mode or "@NextDown"), counting from its start.
    std::uint32_t block = 0;
    std::uint8_t wrongByte = 'X';
    std::uint32_t delayMs = 2500;  // longer than any single wait of the host but the verdict's
    std::vector<std::uint8_t> strayBytes = {0x00, 0xA5};
};

struct SimScannerConfig {
    std::string model = "EM7";  // sent after the "4" of the model reply, as it stands
    LinkKind linkKind = LinkKind::VendorBulk;
    std::uint32_t latencyMs = 0;        // between a request and its answer
    std::uint32_t unansweredPolls = 0;  // polls of each block that go unanswered before "<"
    std::uint32_t writeTimeMs = 0;      // between a block's closing "*" and its verdict
    SimFault fault;
    // For benchmarks: when not 0 the device speaks no protocol at all and answers every
    // echoEvery host bytes with one "*", through the same queue and worker as its real answers,
    // so that a bare exchange costs the far end what a real one does, less the parsing.
    std::uint32_t echoEvery = 0;
};

// One block as announced by its set-up commands, from ">Start" on.
struct SimBlock {
    std::string name;  // the four characters of "!FileType"
    bool hasExtra = false;
    std::uint32_t extra = 0;
    std::uint32_t dataLength = 0;  // "!DataLens"
    std::uint32_t frames = 0;      // "!Frames"
    std::uint32_t framesReceived = 0;
    std::vector<std::uint8_t> data;  // the frames' bytes, trimmed to dataLength
    bool complete = false;           // every frame arrived
    std::uint8_t verdict = 0;        // the last byte of the verdict sent; 0 when none was sent
};

class SimScanner {
  public:
    using Output = std::function<void(const std::uint8_t* bytes, std::size_t length)>;
    using VanishHandler = std::function<void()>;

    explicit SimScanner(SimScannerConfig config);
    // Answers fall due on clock instead of the wall clock, and go out on the thread that waits
    // on it; the clock must not run once the scanner has gone.
    SimScanner(SimScannerConfig config, VirtualClock& clock);
    ~SimScanner();  // answers not yet delivered are dropped
    SimScanner(const SimScanner&) = delete;
    SimScanner& operator=(const SimScanner&) = delete;

    // --- for adapters ---
    // Both are called on the worker thread. Detach returns once no call is under way; whoever
    // attached must detach before the callbacks' target goes away.
    void Attach(Output output, VanishHandler vanish);
    void Detach();
    void OnHostBytes(const std::uint8_t* bytes, std::size_t length);
    void OnFeatureReport(const std::uint8_t* report, std::size_t length);
    void NoteProtocolError(const std::string& what);

    // --- for tests ---
    const SimScannerConfig& Config() const;
    std::vector<SimBlock> Blocks() const;  // in the order they started
    // Every well-formed text command received, in order, refused ones included.
    std::vector<std::string> Commands() const;
    std::vector<std::string> ProtocolErrors() const;
    // How often the step came round (for ReadinessPoll: how often "<" was due).
    std::uint32_t StepCount(SimStep step) const;
    std::uint32_t Polls() const;  // every "???" received
    bool Vanished() const;        // the device has gone (set before the adapter acts)
    bool FeatureModeOn() const;
    // Waits until every answer scheduled so far has been delivered. False on time-out. (On a
    // virtual clock the answers wait in the clock and this returns at once.)
    bool WaitUntilQuiet(std::uint32_t timeoutMs);

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};
