#include "sim/sim_scanner.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string_view>

#include "common/crc32.h"
#include "common/sync.h"
#include "sim/virtual_clock.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t STX = 0x02;
constexpr std::uint8_t TEXT_MARK = 0x05;
constexpr std::uint8_t TILDE_MARK = 0x7E;
constexpr std::uint8_t UPDATE_MODE_ACK = 0x06;
constexpr std::uint8_t FEATURE_REPORT_ID = 0xFE;
constexpr std::size_t TEXT_HEADER = 4;
constexpr std::size_t CRC_SIZE = 4;
constexpr std::size_t TEXT_MAX = 252;
constexpr std::size_t TILDE_HEADER = 4;
// The device's request buffer is small: a longer tilde packet is taken as line noise.
constexpr std::size_t TILDE_PAYLOAD_MAX = 64;
constexpr std::size_t FRAME_DATA = 512;
constexpr std::size_t FRAME_SIZE = 1 + FRAME_DATA + CRC_SIZE;
constexpr std::uint32_t POLL_LENGTH = 3;
constexpr std::array<std::uint8_t, 3> MODEL_QUERY = {0x33, 0x47, 0x01};
constexpr std::string_view UPDATE_MODE_REQUEST = "~goFlash~";
static_assert(static_cast<std::size_t>(SimStep::Exit) + 1 == SIM_STEP_COUNT);

std::uint32_t Be32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}

std::size_t Be16(const std::uint8_t* p) {
    return (static_cast<std::size_t>(p[0]) << 8) | p[1];
}

std::vector<std::uint8_t> TextReply(char payload) {
    std::vector<std::uint8_t> reply = {STX, TEXT_MARK, 0x00, 0x01,
                                       static_cast<std::uint8_t>(payload)};
    const std::uint32_t crc = Crc32(0, reply.size(), reply.data());
    for (int shift = 24; shift >= 0; shift -= 8) {
        reply.push_back(static_cast<std::uint8_t>(crc >> shift));
    }
    return reply;
}

std::vector<std::uint8_t> ModelReply(const std::string& model) {
    // A name too long for the 16-bit length is cut, so the reply stays well formed.
    const std::size_t length = std::min<std::size_t>(model.size() + 1, 0xFFFF);
    std::vector<std::uint8_t> reply = {STX, 0x00, static_cast<std::uint8_t>(length >> 8),
                                       static_cast<std::uint8_t>(length & 0xFF), '4'};
    reply.insert(reply.end(), model.begin(),
                 model.begin() + static_cast<std::ptrdiff_t>(length - 1));
    std::uint8_t check = 0xFF;
    for (std::size_t i = 2; i < reply.size(); ++i) {
        check = static_cast<std::uint8_t>(check ^ reply[i]);
    }
    reply.push_back(check);
    return reply;
}

bool ParseDecimal(std::string_view text, std::uint32_t& value) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    std::uint64_t result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (result > UINT32_MAX) {
        return false;
    }
    value = static_cast<std::uint32_t>(result);
    return true;
}

std::uint64_t FramesFor(std::uint32_t length) {
    return (static_cast<std::uint64_t>(length) + FRAME_DATA - 1) / FRAME_DATA;
}

std::string Hex(std::uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

SimStep CommandStep(std::string_view text) {
    struct Prefix {
        std::string_view text;
        SimStep step;
    };
    static constexpr Prefix SET_UP[] = {{"!DataLens:", SimStep::DataLens},
                                        {"!FileType:", SimStep::FileType},
                                        {"!FrameSize:", SimStep::FrameSize},
                                        {"!Frames:", SimStep::Frames}};
    for (const Prefix& prefix : SET_UP) {
        if (text.substr(0, prefix.text.size()) == prefix.text) {
            return prefix.step;
        }
    }
    if (text == ">Start") {
        return SimStep::Start;
    }
    if (text == "@NextDown") {
        return SimStep::NextDown;
    }
    if (text == "@Exit") {
        return SimStep::Exit;
    }
    return SimStep::None;
}

}  // namespace

class SimScanner::Impl {
  public:
    Impl(SimScannerConfig configuration, VirtualClock* clock);
    ~Impl();

    void Attach(Output output, VanishHandler vanish);
    void OnHostBytes(const std::uint8_t* bytes, std::size_t length);
    void OnFeatureReport(const std::uint8_t* report, std::size_t length);
    void NoteProtocolError(const std::string& what);
    std::vector<SimBlock> Blocks() const;
    std::vector<std::string> Commands() const;
    std::vector<std::string> ProtocolErrors() const;
    std::uint32_t StepCount(SimStep step) const;
    std::uint32_t Polls() const;
    bool Vanished() const;
    bool FeatureModeOn() const;
    bool WaitUntilQuiet(std::uint32_t timeoutMs);

    const SimScannerConfig config;

  private:
    enum class State : std::uint8_t { Idle, AwaitingBlock, SetUp, Receiving, BlockDone, Gone };
    struct SetUpValues {
        bool haveLength = false;
        bool haveType = false;
        bool haveFrameSize = false;
        bool haveFrames = false;
        std::uint32_t dataLength = 0;
        std::uint32_t frames = 0;
        std::string name;
        bool hasExtra = false;
        std::uint32_t extra = 0;
    };
    struct Pending {
        Clock::time_point due;
        std::vector<std::uint8_t> bytes;
        bool vanish = false;
    };

    // Each Take* looks at the request at the front of input_ and returns how many bytes it
    // used up, 0 when it needs more.
    std::size_t TakeRequest();
    std::size_t TakeTilde();
    std::size_t TakeText();
    std::size_t TakeFrameOrCommand();
    std::size_t CompleteTextCommand() const;
    bool CrcMatches(std::size_t total) const;
    void OnQuestionMark();
    void OnPoll();
    void OnTilde(const std::uint8_t* payload, std::size_t length);
    void OnTextCommand(const std::string& text);
    bool ApplyCommand(SimStep step, const std::string& text);
    bool ApplySetUp(SimStep step, const std::string& text);
    bool ApplyStart();
    void OnFrame();
    void BeginBlock();
    bool Occurs(SimStep step);
    std::vector<std::uint8_t> Respond(std::vector<std::uint8_t> answer, bool hit,
                                      std::uint32_t extraDelayMs = 0);
    void Enqueue(std::vector<std::uint8_t> bytes, std::uint32_t extraDelayMs, bool vanish);
    void Note(std::string what);
    static void WorkerEntry(void* self);
    void WorkerLoop();
    void Deliver(const Pending& next);
    void DeliverOnClock(const Pending& next);

    mutable std::mutex mutex_;  // guards everything up to deliverMutex_
    std::condition_variable wake_;
    std::condition_variable quiet_;
    State state_ = State::Idle;
    bool featureOn_ = false;
    std::vector<std::uint8_t> input_;
    std::size_t echoHeld_ = 0;  // host bytes not yet answered in echo mode
    std::uint32_t questionMarks_ = 0;
    std::uint32_t polls_ = 0;
    std::uint32_t pollsThisBlock_ = 0;
    std::uint32_t block_ = 0;
    std::array<std::uint32_t, SIM_STEP_COUNT> stepTotal_{};
    std::array<std::uint32_t, SIM_STEP_COUNT> stepInBlock_{};
    SetUpValues setUp_;
    std::vector<SimBlock> blocks_;
    std::vector<std::string> commands_;
    std::vector<std::string> errors_;
    std::deque<Pending> queue_;
    Clock::time_point lastDue_{};
    VirtualClock* const clock_;
    std::uint64_t lastDueMs_ = 0;  // on clock_
    bool delivering_ = false;
    bool vanished_ = false;
    bool stopping_ = false;

    std::mutex deliverMutex_;  // held while a callback runs, so Detach can wait for it
    Output output_;
    VanishHandler vanish_;

    Thread worker_;
};

SimScanner::Impl::Impl(SimScannerConfig configuration, VirtualClock* clock)
    : config(std::move(configuration)), clock_(clock) {
    // On a virtual clock the answers wait in the clock; no worker is needed.
    if (clock_ == nullptr && !worker_.Start(&Impl::WorkerEntry, this)) {
        errors_.push_back("the scanner's worker thread could not start");
    }
}

SimScanner::Impl::~Impl() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.Join();
}

void SimScanner::Impl::Attach(Output output, VanishHandler vanish) {
    std::lock_guard<std::mutex> hold(deliverMutex_);
    output_ = std::move(output);
    vanish_ = std::move(vanish);
}

void SimScanner::Impl::OnHostBytes(const std::uint8_t* bytes, std::size_t length) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (state_ == State::Gone || length == 0) {
        return;
    }
    if (config.linkKind == LinkKind::HidFeature && !featureOn_) {
        Note("host bytes before the feature mode was switched on");
        return;
    }
    if (config.echoEvery != 0) {
        for (echoHeld_ += length; echoHeld_ >= config.echoEvery; echoHeld_ -= config.echoEvery) {
            Enqueue({'*'}, 0, false);
        }
        return;
    }
    input_.insert(input_.end(), bytes, bytes + length);
    while (!input_.empty()) {
        const std::size_t used = state_ == State::Receiving ? TakeFrameOrCommand() : TakeRequest();
        if (state_ == State::Gone) {
            input_.clear();
            break;
        }
        if (used == 0) {
            break;
        }
        input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(used));
    }
}

void SimScanner::Impl::OnFeatureReport(const std::uint8_t* report, std::size_t length) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (length != 2 || report[0] != FEATURE_REPORT_ID || report[1] > 1) {
        Note("unexpected feature report");
        return;
    }
    featureOn_ = report[1] == 1;
}

void SimScanner::Impl::NoteProtocolError(const std::string& what) {
    std::lock_guard<std::mutex> hold(mutex_);
    Note(what);
}

std::size_t SimScanner::Impl::TakeRequest() {
    const std::uint8_t lead = input_[0];
    if (lead != '?') {
        questionMarks_ = 0;
    }
    switch (lead) {
        case '?':
            OnQuestionMark();
            return 1;
        case TILDE_MARK:
            return TakeTilde();
        case STX:
            return TakeText();
        default:
            Note("stray byte " + Hex(lead));
            return 1;
    }
}

std::size_t SimScanner::Impl::TakeTilde() {
    if (input_.size() < TILDE_HEADER) {
        return 0;
    }
    if (input_[1] != 0x00) {
        Note("tilde packet whose second byte is " + Hex(input_[1]));
        return 1;
    }
    const std::size_t length = Be16(&input_[2]);
    if (length == 0 || length > TILDE_PAYLOAD_MAX) {
        Note("tilde packet of length " + std::to_string(length));
        return 1;
    }
    const std::size_t total = TILDE_HEADER + length + 1;
    if (input_.size() < total) {
        return 0;
    }
    std::uint8_t check = 0xFF;
    for (std::size_t i = 2; i < total - 1; ++i) {
        check = static_cast<std::uint8_t>(check ^ input_[i]);
    }
    if (check != input_[total - 1]) {
        Note("tilde packet with a bad checksum");
        return total;
    }
    OnTilde(&input_[TILDE_HEADER], length);
    return total;
}

bool SimScanner::Impl::CrcMatches(std::size_t total) const {
    return Crc32(0, total - CRC_SIZE, input_.data()) == Be32(&input_[total - CRC_SIZE]);
}

std::size_t SimScanner::Impl::TakeText() {
    if (input_.size() < 2) {
        return 0;
    }
    if (input_[1] != TEXT_MARK) {
        Note("0x02 followed by " + Hex(input_[1]) + " outside a data frame");
        return 1;
    }
    if (input_.size() < TEXT_HEADER) {
        return 0;
    }
    const std::size_t length = Be16(&input_[2]);
    if (length == 0 || length > TEXT_MAX) {
        Note("text command of length " + std::to_string(length));
        return 1;
    }
    const std::size_t total = TEXT_HEADER + length + CRC_SIZE;
    if (input_.size() < total) {
        return 0;
    }
    if (!CrcMatches(total)) {
        Note("text command with a bad CRC");
        return total;
    }
    OnTextCommand(std::string(input_.begin() + TEXT_HEADER,
                              input_.begin() + static_cast<std::ptrdiff_t>(TEXT_HEADER + length)));
    return total;
}

std::size_t SimScanner::Impl::CompleteTextCommand() const {
    if (input_.size() < TEXT_HEADER || input_[0] != STX || input_[1] != TEXT_MARK) {
        return 0;
    }
    const std::size_t length = Be16(&input_[2]);
    const std::size_t total = TEXT_HEADER + length + CRC_SIZE;
    if (length == 0 || length > TEXT_MAX || input_.size() < total || !CrcMatches(total)) {
        return 0;
    }
    return total;
}

std::size_t SimScanner::Impl::TakeFrameOrCommand() {
    if (input_[0] != STX) {
        Note("stray byte " + Hex(input_[0]) + " where a data frame should begin");
        return 1;
    }
    if (const std::size_t command = CompleteTextCommand(); command != 0) {
        OnTextCommand(
            std::string(input_.begin() + TEXT_HEADER,
                        input_.begin() + static_cast<std::ptrdiff_t>(command - CRC_SIZE)));
        return command;
    }
    if (input_.size() < FRAME_SIZE) {
        return 0;
    }
    OnFrame();
    return FRAME_SIZE;
}

void SimScanner::Impl::OnQuestionMark() {
    switch (state_) {
        case State::Idle:
            Respond({'!'}, Occurs(SimStep::Connection));
            return;
        case State::AwaitingBlock:
        case State::SetUp:
            if (++questionMarks_ == POLL_LENGTH) {
                questionMarks_ = 0;
                OnPoll();
            }
            return;
        default:
            Note("'?' while a block is being written");
            return;
    }
}

void SimScanner::Impl::OnPoll() {
    ++polls_;
    if (state_ == State::AwaitingBlock) {
        if (++pollsThisBlock_ <= config.unansweredPolls) {
            return;
        }
        state_ = State::SetUp;
        setUp_ = SetUpValues{};
    }
    Respond({'<'}, Occurs(SimStep::ReadinessPoll));
}

void SimScanner::Impl::OnTilde(const std::uint8_t* payload, std::size_t length) {
    if (length == MODEL_QUERY.size() &&
        std::equal(MODEL_QUERY.begin(), MODEL_QUERY.end(), payload)) {
        Respond(ModelReply(config.model), Occurs(SimStep::ModelReply));
        return;
    }
    const std::string_view text(reinterpret_cast<const char*>(payload), length);
    if (text == UPDATE_MODE_REQUEST) {
        const bool hit = Occurs(SimStep::UpdateMode);
        state_ = State::AwaitingBlock;
        BeginBlock();
        Respond({UPDATE_MODE_ACK}, hit);
        return;
    }
    Note("unknown tilde packet");
}

void SimScanner::Impl::OnTextCommand(const std::string& text) {
    commands_.push_back(text);
    const SimStep step = CommandStep(text);
    if (step == SimStep::None) {
        Note("unknown command \"" + text + "\"");
        Respond(TextReply('1'), false);
        return;
    }
    const bool hit = Occurs(step);
    const bool refuse = hit && config.fault.kind == SimFaultKind::Refuse;
    const bool accepted = !refuse && ApplyCommand(step, text);
    Respond(TextReply(accepted ? '0' : '1'), hit && !refuse);
}

bool SimScanner::Impl::ApplyCommand(SimStep step, const std::string& text) {
    switch (step) {
        case SimStep::NextDown:
            if (state_ == State::Idle) {
                Note("\"@NextDown\" outside update mode");
                return true;
            }
            if (state_ != State::BlockDone) {
                Note("\"@NextDown\" before the block was written");
            }
            state_ = State::AwaitingBlock;
            BeginBlock();
            return true;
        case SimStep::Exit:
            state_ = State::Idle;
            return true;
        case SimStep::Start:
            return ApplyStart();
        default:
            if (state_ != State::SetUp) {
                Note("\"" + text + "\" outside a block's set-up");
                return false;
            }
            if (!ApplySetUp(step, text)) {
                Note("\"" + text + "\" refused");
                return false;
            }
            return true;
    }
}

bool SimScanner::Impl::ApplySetUp(SimStep step, const std::string& text) {
    const std::string_view value = std::string_view(text).substr(text.find(':') + 1);
    std::uint32_t number = 0;
    switch (step) {
        case SimStep::DataLens:
            if (!ParseDecimal(value, number) || number == 0) {
                return false;
            }
            setUp_.dataLength = number;
            setUp_.haveLength = true;
            return true;
        case SimStep::FileType:
            if (value.size() == 4) {
                setUp_.hasExtra = false;
                setUp_.extra = 0;
            } else if (value.size() > 5 && value[4] == ':' &&
                       ParseDecimal(value.substr(5), number)) {
                setUp_.hasExtra = true;
                setUp_.extra = number;
            } else {
                return false;
            }
            setUp_.name = std::string(value.substr(0, 4));
            setUp_.haveType = true;
            return true;
        case SimStep::FrameSize:
            if (!ParseDecimal(value, number) || number != FRAME_DATA) {
                return false;
            }
            setUp_.haveFrameSize = true;
            return true;
        default:
            if (!ParseDecimal(value, number) || number == 0 ||
                (setUp_.haveLength && number != FramesFor(setUp_.dataLength))) {
                return false;
            }
            setUp_.frames = number;
            setUp_.haveFrames = true;
            return true;
    }
}

bool SimScanner::Impl::ApplyStart() {
    if (state_ != State::SetUp) {
        Note("\">Start\" outside a block's set-up");
        return false;
    }
    if (!setUp_.haveLength || !setUp_.haveType || !setUp_.haveFrameSize || !setUp_.haveFrames ||
        setUp_.frames != FramesFor(setUp_.dataLength)) {
        Note("\">Start\" before the block's values were all set");
        return false;
    }
    SimBlock block;
    block.name = setUp_.name;
    block.hasExtra = setUp_.hasExtra;
    block.extra = setUp_.extra;
    block.dataLength = setUp_.dataLength;
    block.frames = setUp_.frames;
    blocks_.push_back(std::move(block));
    state_ = State::Receiving;
    return true;
}

void SimScanner::Impl::OnFrame() {
    const std::uint8_t* frame = input_.data();
    const std::string where = "data frame " + std::to_string(blocks_.back().framesReceived + 1) +
                              " of block " + std::to_string(blocks_.size());
    if (Crc32(0, 1 + FRAME_DATA, frame) != Be32(frame + 1 + FRAME_DATA)) {
        Note(where + " has a bad CRC");
        return;
    }
    SimBlock& block = blocks_.back();
    ++block.framesReceived;
    const std::size_t take = std::min(FRAME_DATA, block.dataLength - block.data.size());
    block.data.insert(block.data.end(), frame + 1, frame + 1 + take);
    if (std::any_of(frame + 1 + take, frame + 1 + FRAME_DATA, [](std::uint8_t b) { return b; })) {
        Note(where + " is filled with non-zero bytes");
    }
    const bool last = block.framesReceived == block.frames;
    if (last) {
        block.complete = true;
        state_ = State::BlockDone;
    }
    Respond({'*'}, Occurs(SimStep::Frame));
    if (!last || state_ == State::Gone) {
        return;
    }
    Respond({'*'}, Occurs(SimStep::FinalStar));
    if (state_ == State::Gone) {
        return;
    }
    const std::vector<std::uint8_t> verdict =
        Respond({'^'}, Occurs(SimStep::Verdict), config.writeTimeMs);
    blocks_.back().verdict = verdict.empty() ? 0 : verdict.back();
}

void SimScanner::Impl::BeginBlock() {
    ++block_;
    stepInBlock_.fill(0);
    pollsThisBlock_ = 0;
    questionMarks_ = 0;
    setUp_ = SetUpValues{};
}

bool SimScanner::Impl::Occurs(SimStep step) {
    const std::size_t index = static_cast<std::size_t>(step);
    ++stepTotal_[index];
    ++stepInBlock_[index];
    const SimFault& fault = config.fault;
    if (step == SimStep::None || fault.step != step) {
        return false;
    }
    if (fault.block != 0 && fault.block != block_) {
        return false;
    }
    const std::uint32_t count = fault.block != 0 ? stepInBlock_[index] : stepTotal_[index];
    return fault.occurrence == 0 || fault.occurrence == count;
}

std::vector<std::uint8_t> SimScanner::Impl::Respond(std::vector<std::uint8_t> answer, bool hit,
                                                    std::uint32_t extraDelayMs) {
    if (hit) {
        const SimFault& fault = config.fault;
        switch (fault.kind) {
            case SimFaultKind::Silence:
                return {};
            case SimFaultKind::Vanish:
                state_ = State::Gone;
                Enqueue({}, 0, true);
                return {};
            case SimFaultKind::WrongByte:
            case SimFaultKind::Refuse:
                answer.front() = fault.wrongByte;
                break;
            case SimFaultKind::BadCrc:
                answer.back() = static_cast<std::uint8_t>(~answer.back());
                break;
            case SimFaultKind::FailVerdict:
                answer = {'!'};
                break;
            case SimFaultKind::Delay:
                extraDelayMs += fault.delayMs;
                break;
            case SimFaultKind::StrayBytes:
                answer.insert(answer.begin(), fault.strayBytes.begin(), fault.strayBytes.end());
                break;
            case SimFaultKind::TrailingBytes:
                if (fault.delayMs == 0) {
                    answer.insert(answer.end(), fault.strayBytes.begin(), fault.strayBytes.end());
                    break;
                }
                Enqueue(answer, extraDelayMs, false);
                Enqueue(fault.strayBytes, fault.delayMs, false);
                return answer;
        }
    }
    Enqueue(answer, extraDelayMs, false);
    return answer;
}

void SimScanner::Impl::Enqueue(std::vector<std::uint8_t> bytes, std::uint32_t extraDelayMs,
                               bool vanish) {
    if (clock_ != nullptr) {
        lastDueMs_ = std::max(clock_->Now() + config.latencyMs, lastDueMs_) + extraDelayMs;
        clock_->At(lastDueMs_,
                   [this, next = Pending{{}, std::move(bytes), vanish}] { DeliverOnClock(next); });
        return;
    }
    const Clock::time_point earliest = Clock::now() + std::chrono::milliseconds(config.latencyMs);
    // Answers leave in the order they were made, so a late one holds back those behind it.
    lastDue_ = std::max(earliest, lastDue_) + std::chrono::milliseconds(extraDelayMs);
    queue_.push_back(Pending{lastDue_, std::move(bytes), vanish});
    wake_.notify_all();
}

void SimScanner::Impl::Note(std::string what) {
    errors_.push_back(std::move(what));
}

void SimScanner::Impl::WorkerEntry(void* self) {
    static_cast<Impl*>(self)->WorkerLoop();
}

void SimScanner::Impl::WorkerLoop() {
    std::unique_lock<std::mutex> hold(mutex_);
    while (!stopping_) {
        if (queue_.empty()) {
            wake_.wait(hold);
            continue;
        }
        const Clock::time_point due = queue_.front().due;
        if (Clock::now() < due) {
            wake_.wait_until(hold, due);
            continue;
        }
        const Pending next = std::move(queue_.front());
        queue_.pop_front();
        delivering_ = true;
        // Marked before the adapter acts on it: whoever sees the device gone must also see
        // the scanner say so.
        vanished_ = vanished_ || next.vanish;
        hold.unlock();
        Deliver(next);
        hold.lock();
        delivering_ = false;
        quiet_.notify_all();
    }
}

void SimScanner::Impl::DeliverOnClock(const Pending& next) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        vanished_ = vanished_ || next.vanish;
    }
    Deliver(next);
}

void SimScanner::Impl::Deliver(const Pending& next) {
    std::lock_guard<std::mutex> hold(deliverMutex_);
    if (next.vanish) {
        if (vanish_) {
            vanish_();
        }
        return;
    }
    if (output_) {
        output_(next.bytes.data(), next.bytes.size());
    }
}

std::vector<SimBlock> SimScanner::Impl::Blocks() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return blocks_;
}

std::vector<std::string> SimScanner::Impl::Commands() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return commands_;
}

std::vector<std::string> SimScanner::Impl::ProtocolErrors() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return errors_;
}

std::uint32_t SimScanner::Impl::StepCount(SimStep step) const {
    std::lock_guard<std::mutex> hold(mutex_);
    return stepTotal_[static_cast<std::size_t>(step)];
}

std::uint32_t SimScanner::Impl::Polls() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return polls_;
}

bool SimScanner::Impl::Vanished() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return vanished_;
}

bool SimScanner::Impl::FeatureModeOn() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return featureOn_;
}

bool SimScanner::Impl::WaitUntilQuiet(std::uint32_t timeoutMs) {
    std::unique_lock<std::mutex> hold(mutex_);
    return quiet_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                           [this] { return queue_.empty() && !delivering_; });
}

SimScanner::SimScanner(SimScannerConfig config)
    : impl_(std::make_unique<Impl>(std::move(config), nullptr)) {}
SimScanner::SimScanner(SimScannerConfig config, VirtualClock& clock)
    : impl_(std::make_unique<Impl>(std::move(config), &clock)) {}
SimScanner::~SimScanner() = default;

void SimScanner::Attach(Output output, VanishHandler vanish) {
    impl_->Attach(std::move(output), std::move(vanish));
}
void SimScanner::Detach() {
    impl_->Attach(nullptr, nullptr);
}
void SimScanner::OnHostBytes(const std::uint8_t* bytes, std::size_t length) {
    impl_->OnHostBytes(bytes, length);
}
void SimScanner::OnFeatureReport(const std::uint8_t* report, std::size_t length) {
    impl_->OnFeatureReport(report, length);
}
void SimScanner::NoteProtocolError(const std::string& what) {
    impl_->NoteProtocolError(what);
}
const SimScannerConfig& SimScanner::Config() const {
    return impl_->config;
}
std::vector<SimBlock> SimScanner::Blocks() const {
    return impl_->Blocks();
}
std::vector<std::string> SimScanner::Commands() const {
    return impl_->Commands();
}
std::vector<std::string> SimScanner::ProtocolErrors() const {
    return impl_->ProtocolErrors();
}
std::uint32_t SimScanner::StepCount(SimStep step) const {
    return impl_->StepCount(step);
}
std::uint32_t SimScanner::Polls() const {
    return impl_->Polls();
}
bool SimScanner::Vanished() const {
    return impl_->Vanished();
}
bool SimScanner::FeatureModeOn() const {
    return impl_->FeatureModeOn();
}
bool SimScanner::WaitUntilQuiet(std::uint32_t timeoutMs) {
    return impl_->WaitUntilQuiet(timeoutMs);
}
