// What a device sends is untrusted input. This target runs the packets, or a whole update
// session, against a scripted device whose every answer comes from the input: which bytes
// (the expected answer, single bytes, raw noise, text replies and model replies with any
// length, payload and checksum, raw HID chunks), in how many pieces, and when, plus noise sent
// at any time. Time is simulated, so a run that waits through every poll and completion read
// still takes well under a millisecond of waiting.
//
// Besides the sanitizers it checks that every session ends in one of its documented results
// with the reader stopped and the device closed, that a successful session sent every frame,
// that a model name never exceeds 61 bytes, and that no wait outlasts its bound: the time
// between two requests of the host (and from the last one to the end) stays within the waits
// documented for the first of them, plus what each answer that arrived in between may add.
//
// An answer shape below 128 (a zero byte, or the input run out) is the expected answer at
// once, so a short input already drives a whole successful session and the fuzzer varies it
// from there.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "link/device_link.h"
#include "protocol/packets.h"
#include "protocol/update_session.h"
#include "sim/scripted_device.h"
#include "sim/sim_port.h"
#include "sim/virtual_clock.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Require(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// Delays at the edges of the host's waits, so that both sides of each are hit often.
constexpr std::uint32_t EDGE_DELAYS_MS[] = {0,   1,   19,  20,  21,  49,   50,   51,   99,   100,
                                            101, 499, 500, 501, 999, 1000, 1001, 1999, 2000, 2001};
constexpr std::uint8_t ANSWER_BYTES[] = {'!', '<', '*', '^', 0x06, 0x02, 0x05, 0x7E, '0', '4'};
// Reply payload lengths at the edges of what the host takes: text replies up to 249 bytes,
// model replies up to 4091 (a name up to 62 with its "4").
constexpr std::size_t TEXT_EDGE_LENGTHS[] = {0, 1, 2, 248, 249, 250, 251, 252, 253};
constexpr std::size_t MODEL_EDGE_LENGTHS[] = {0, 1, 2, 61, 62, 63, 4090, 4091, 4092, 4093};
constexpr std::uint32_t MAX_PIECES = 4;
constexpr std::uint32_t MAX_STRAYS = 3;
// The most a piece of an answer that arrives can add to the waits around it: the longest
// following wait (100 ms), and one more drain pass (100 ms at most) for the 4096 bytes it may
// fill.
constexpr std::uint64_t PIECE_ALLOWANCE_MS = 200;
// The documented waits after each request before the host's next one, in ms. A text command:
// its reply header (at most 1000), payload (500) and drain (20), then the 20 ms drain before
// the next block's polls. The model query: header (1000), payload (1000), drain (100).
constexpr std::uint64_t AFTER_CONNECTION_MS = 1000;
constexpr std::uint64_t AFTER_MODEL_QUERY_MS = 1000 + 1000 + 100;
constexpr std::uint64_t AFTER_UPDATE_MODE_MS = 1000 + 20;
constexpr std::uint64_t AFTER_POLL_MS = 100 + 20;
constexpr std::uint64_t AFTER_TEXT_MS = 1000 + 500 + 20 + 20;
constexpr std::uint64_t AFTER_FRAME_MS = 2000;
// A HID feature link's switch-off pause when the device closes.
constexpr std::uint64_t CLOSE_PAUSE_MS = 50;

// The completion reads of a block of the given length.
std::uint64_t CompletionBound(std::uint64_t length) {
    return ((length / 1024 + 150) * 20) / 1000 + 1;
}

enum class Request : std::uint8_t { Connection, Poll, ModelQuery, UpdateMode, Text, Frame, Other };

Request Classify(const Bytes& request) {
    const std::size_t size = request.size();
    if (size == 1 && request[0] == '?') {
        return Request::Connection;
    }
    if (size == 3 && request[0] == '?' && request[1] == '?' && request[2] == '?') {
        return Request::Poll;
    }
    if (size == 8 && request[0] == 0x7E && request[4] == 0x33) {
        return Request::ModelQuery;
    }
    if (size == TILDE_UPDATE_MODE_SIZE && request[0] == 0x7E) {
        return Request::UpdateMode;
    }
    if (size == 517 && request[0] == 0x02) {
        return Request::Frame;
    }
    if (size >= 8 && request[0] == 0x02 && request[1] == 0x05) {
        return Request::Text;
    }
    return Request::Other;
}

void AppendBigEndian32(Bytes& bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

Bytes TextReply(const Bytes& payload, std::uint16_t declaredLength, bool goodCrc) {
    Bytes reply = {0x02, 0x05, static_cast<std::uint8_t>(declaredLength >> 8),
                   static_cast<std::uint8_t>(declaredLength)};
    reply.insert(reply.end(), payload.begin(), payload.end());
    AppendBigEndian32(reply, Crc32(0, reply.size(), reply.data()) ^ (goodCrc ? 0u : 1u));
    return reply;
}

Bytes ModelReply(const Bytes& payload, std::uint16_t declaredLength, bool goodSum) {
    Bytes reply = {0x02, 0x00, static_cast<std::uint8_t>(declaredLength >> 8),
                   static_cast<std::uint8_t>(declaredLength)};
    reply.insert(reply.end(), payload.begin(), payload.end());
    std::uint8_t sum = 0xFF;
    for (std::size_t i = 2; i < reply.size(); ++i) {
        sum = static_cast<std::uint8_t>(sum ^ reply[i]);
    }
    reply.push_back(goodSum ? sum : static_cast<std::uint8_t>(~sum));
    return reply;
}

// The device's side: answers from the input, what the host's requests tell about the block
// under way, and the check that no wait between two requests outlasted its bound.
class FuzzedDevice {
  public:
    FuzzedDevice(FuzzedDataProvider& input, VirtualClock& clock, ScriptedDevice& device)
        : input_(input), clock_(clock), device_(device) {}

    // The first request is due within boundMs (the session's connection flush, say).
    void Start(std::uint64_t boundMs) {
        lastRequestAt_ = clock_.Now();
        boundMs_ = boundMs;
        deliveredBefore_ = device_.PiecesDelivered();
    }

    // Time since the last request stays within the bound of its waits.
    void CheckGap() {
        const std::uint32_t delivered = device_.PiecesDelivered();
        const std::uint64_t allowance =
            boundMs_ + CLOSE_PAUSE_MS + (delivered - deliveredBefore_) * PIECE_ALLOWANCE_MS;
        Require(clock_.Now() - lastRequestAt_ <= allowance);
        deliveredBefore_ = delivered;
        lastRequestAt_ = clock_.Now();
    }

    Answer Respond(const Bytes& request) {
        CheckGap();
        const Request kind = Classify(request);
        NoteRequest(kind, request);
        const std::uint8_t shape = input_.ConsumeIntegral<std::uint8_t>();
        if (shape < 128) {
            return {{0, Expected(kind), false}};
        }
        Answer answer;
        const std::uint32_t pieces = shape % (MAX_PIECES + 1);
        for (std::uint32_t i = 0; i < pieces; ++i) {
            AnswerPiece piece;
            piece.delayMs = Delay();
            piece.bytes = Content(kind, piece.raw);
            answer.push_back(std::move(piece));
        }
        return answer;
    }

    std::uint32_t Delay() {
        if (input_.ConsumeBool()) {
            return input_.PickValueInArray(EDGE_DELAYS_MS);
        }
        return input_.ConsumeIntegralInRange<std::uint32_t>(0, 5000);
    }

    Bytes Noise() {
        return input_.ConsumeBytes<std::uint8_t>(input_.ConsumeIntegralInRange<std::size_t>(1, 80));
    }

    std::uint32_t FramesSent() const { return framesSent_; }

  private:
    // What the request tells: the length and frames of the block under way, and the bound of
    // the waits before the host's next request.
    void NoteRequest(Request kind, const Bytes& request) {
        switch (kind) {
            case Request::Connection:
                boundMs_ = AFTER_CONNECTION_MS;
                return;
            case Request::ModelQuery:
                boundMs_ = AFTER_MODEL_QUERY_MS;
                return;
            case Request::UpdateMode:
                boundMs_ = AFTER_UPDATE_MODE_MS;
                return;
            case Request::Poll:
                boundMs_ = AFTER_POLL_MS;
                return;
            case Request::Text:
                boundMs_ = AFTER_TEXT_MS;
                TextNumber(request, "!Frames:", framesLeft_);
                TextNumber(request, "!DataLens:", blockLength_);
                return;
            case Request::Frame:
                ++framesSent_;
                boundMs_ = AFTER_FRAME_MS;
                // The last frame: then the closing star and the completion reads.
                if (framesLeft_ > 0 && --framesLeft_ == 0) {
                    boundMs_ += AFTER_FRAME_MS + CompletionBound(blockLength_) * 1000;
                }
                return;
            case Request::Other:
                boundMs_ = 0;
                return;
        }
    }

    // The number of a text command that is prefix followed by decimal digits.
    static void TextNumber(const Bytes& request, const char* prefix, std::uint32_t& value) {
        const std::size_t length = std::strlen(prefix);
        const std::size_t textEnd = request.size() - 4;
        if (textEnd <= 4 + length || std::memcmp(request.data() + 4, prefix, length) != 0) {
            return;
        }
        value = 0;
        for (std::size_t i = 4 + length; i < textEnd; ++i) {
            value = value * 10 + static_cast<std::uint32_t>(request[i] - '0');
        }
    }

    // What a sound device answers: after a block's last frame, its star, the closing star and
    // the verdict.
    Bytes Expected(Request kind) const {
        switch (kind) {
            case Request::Connection:
                return {'!'};
            case Request::Poll:
                return {'<'};
            case Request::ModelQuery:
                return ModelReply({'4', 'E', 'M', '7'}, 4, true);
            case Request::UpdateMode:
                return {0x06};
            case Request::Text:
                return TextReply({'0'}, 1, true);
            case Request::Frame:
                return framesLeft_ == 0 ? Bytes{'*', '*', '^'} : Bytes{'*'};
            case Request::Other:
                break;
        }
        return {};
    }

    template <std::size_t N>
    std::size_t Length(const std::size_t (&edges)[N], std::size_t most) {
        if (input_.ConsumeBool()) {
            return input_.PickValueInArray(edges);
        }
        return input_.ConsumeIntegralInRange<std::size_t>(0, most);
    }

    // A reply's length field: mostly the true one, or any other.
    std::uint16_t Declared(std::size_t length) {
        if (input_.ConsumeBool()) {
            return input_.ConsumeIntegral<std::uint16_t>();
        }
        return static_cast<std::uint16_t>(length);
    }

    Bytes Content(Request kind, bool& raw) {
        switch (input_.ConsumeIntegralInRange(0, 6)) {
            case 0:
                return Expected(kind);
            case 1:
                return {input_.PickValueInArray(ANSWER_BYTES)};
            case 2:
                return Noise();
            case 3: {
                const std::size_t length = Length(TEXT_EDGE_LENGTHS, 260);
                Bytes payload = input_.ConsumeBytes<std::uint8_t>(length);
                payload.resize(length, '0');
                return TextReply(payload, Declared(length), input_.ConsumeBool());
            }
            case 4: {
                // Up to past the 4096-byte reply buffer.
                const std::size_t length = Length(MODEL_EDGE_LENGTHS, 4100);
                Bytes payload(length, input_.ConsumeIntegral<std::uint8_t>());
                if (length > 0 && input_.ConsumeBool()) {
                    payload[0] = '4';
                }
                return ModelReply(payload, Declared(length), input_.ConsumeBool());
            }
            case 5:
                return {input_.ConsumeIntegral<std::uint8_t>()};
            default:
                // On HID links: one read chunk as it stands, not wrapped into an input report.
                raw = true;
                return Noise();
        }
    }

    FuzzedDataProvider& input_;
    VirtualClock& clock_;
    ScriptedDevice& device_;
    std::uint64_t lastRequestAt_ = 0;
    std::uint64_t boundMs_ = 0;
    std::uint32_t deliveredBefore_ = 0;
    std::uint32_t blockLength_ = 0;
    std::uint32_t framesLeft_ = 0;
    std::uint32_t framesSent_ = 0;
};

constexpr LinkKind LINK_KINDS[] = {LinkKind::VendorBulk, LinkKind::SerialPort, LinkKind::Hid,
                                   LinkKind::HidFeature};

DeviceRecord RecordFor(LinkKind kind) {
    DeviceRecord record{};
    const char16_t path[] = u"\\\\?\\usb#vid_6666&pid_0006#1";
    std::memcpy(record.path, path, sizeof path);
    record.linkKind = kind;
    return record;
}

void RunPackets(FuzzedDataProvider& input, DeviceLink& link) {
    const std::uint32_t operations = input.ConsumeIntegralInRange<std::uint32_t>(1, 6);
    for (std::uint32_t i = 0; i < operations; ++i) {
        if (input.ConsumeBool()) {
            // Exactly the 61 bytes the caller must provide, so that a longer name is caught.
            const auto name = std::make_unique<std::uint8_t[]>(MODEL_NAME_MAX);
            Require(QueryDeviceModel(link, name.get()) <= MODEL_NAME_MAX);
        } else {
            SendTextCommand(link, input.PickValueInArray({100u, 500u, 1000u}), ">Start");
        }
    }
}

void RunSession(FuzzedDataProvider& input, DeviceLink& link, const FuzzedDevice& device) {
    const std::uint32_t count = input.ConsumeIntegralInRange<std::uint32_t>(1, 2);
    std::vector<Bytes> data;
    std::vector<UpdateBlock> blocks;
    std::uint32_t frames = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t length = input.ConsumeIntegralInRange<std::uint32_t>(1, 1100);
        data.emplace_back(length, static_cast<std::uint8_t>(i + 1));
        blocks.push_back({data.back().data(), length, input.ConsumeIntegralInRange(1u, 4u),
                          input.ConsumeIntegral<std::uint32_t>()});
        frames += (length + 511) / 512;
    }
    UpdateOptions options;
    options.flags = input.ConsumeBool() ? UPDATE_FLAG_CHECK_MODEL : 0;
    const ResultCode result =
        RunUpdateSession(blocks.data(), &link, count, true, &options, 0, "EM7");
    Require(result == RESULT_SUCCESS || result == RESULT_PROTOCOL_ERROR ||
            result == RESULT_DEVICE_WRITE_FAILED || result == RESULT_MODEL_MISMATCH);
    Require(!link.ReaderHeld() && !link.IsOpen());
    Require(result != RESULT_SUCCESS || device.FramesSent() == frames);
}

}  // namespace

// The session's progress lines would only fill the fuzzer's log and cost a write each.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return std::freopen("/dev/null", "w", stdout) == nullptr ? 1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const bool wholeSession = input.ConsumeBool();
    const LinkKind kind = input.PickValueInArray(LINK_KINDS);
    const std::uint32_t ringCapacity =
        input.ConsumeBool() ? input.ConsumeIntegralInRange<std::uint32_t>(16, 8192) : RING_CAPACITY;

    VirtualClock clock;
    SimPort port;
    port.UseVirtualClock(clock);
    ScriptedDevice device(port, &clock, kind == LinkKind::Hid || kind == LinkKind::HidFeature);
    FuzzedDevice fuzzed(input, clock, device);
    device.SetResponder([&fuzzed](const Bytes& request) { return fuzzed.Respond(request); });
    DeviceLink link(port, clock, ringCapacity);
    Require(link.Open(RecordFor(kind), nullptr));

    const std::uint32_t strays = input.ConsumeIntegralInRange<std::uint32_t>(0, MAX_STRAYS);
    for (std::uint32_t i = 0; i < strays; ++i) {
        const std::uint64_t at = clock.Now() + fuzzed.Delay();
        const bool raw = input.ConsumeBool();
        device.SendAt(at, fuzzed.Noise(), raw);
    }

    // A session drains for 50 ms before its first request; a packet goes out at once.
    fuzzed.Start(wholeSession ? CONNECTION_FLUSH_MS : 0);
    if (wholeSession) {
        RunSession(input, link, fuzzed);
    } else {
        RunPackets(input, link);
    }
    fuzzed.CheckGap();
    return 0;
}
