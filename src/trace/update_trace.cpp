#include "trace/update_trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "common/exit_code.h"
#include "common/wide_string.h"
#include "trace/trace_platform.h"

namespace {

constexpr std::uint32_t FRAME_SIZE = 517;
constexpr std::uint8_t FRAME_MARK = 0x02;
constexpr std::uint32_t HID_REPORT_BYTES = 64;
constexpr std::uint8_t HID_OUTPUT_ID = 0x04;
constexpr std::uint8_t HID_INPUT_ID = 0x02;
constexpr std::uint32_t HID_OUTPUT_DATA = 56;
constexpr std::uint32_t HID_INPUT_DATA = 62;
constexpr std::size_t SUMMARY_MAX = 160;  // the last bytes each way, as the closing lines show
// While frames stream, the file is written at most this often; every other line at once.
constexpr std::uint32_t FLUSH_EVERY_MS = 100;

const char* TopicName(TraceTopic topic) {
    switch (topic) {
        case TraceTopic::Step:
            return "step";
        case TraceTopic::File:
            return "file";
        case TraceTopic::Wait:
            return "wait";
        case TraceTopic::Failure:
            return "fail";
        case TraceTopic::Note:
            return "note";
    }
    return "note";
}

const char* ResultText(ResultCode result) {
    switch (result) {
        case RESULT_SUCCESS:
            return "the update succeeded";
        case RESULT_OPEN_FAILED:
            return "the device could not be opened or set up";
        case RESULT_NO_DEVICE:
            return "no supported device was found, or its path does not exist";
        case RESULT_NOT_CONNECTED:
            return "the session found no open device";
        case RESULT_ALREADY_OPEN:
            return "the link was already open";
        case RESULT_ACCESS_DENIED:
            return "the device is in use or access to it was denied";
        case RESULT_LINK_NOT_READY:
            return "the link was not set up";
        case RESULT_FEATURE_REFUSED:
            return "the HID device refused the feature switch";
        case RESULT_BAD_REQUEST:
            return "bad command line, or a file that may not be sent";
        case RESULT_BAD_FILE:
            return "the firmware file's size or checks are wrong";
        case RESULT_BAD_EXTENSION:
            return "the firmware file's extension is not supported";
        case RESULT_PROTOCOL_ERROR:
            return "the device did not answer as the protocol requires";
        case RESULT_NO_MEMORY:
            return "the firmware file could not be held or read whole";
        case RESULT_DEVICE_WRITE_FAILED:
            return "the device reported that writing a block failed";
        case RESULT_NO_BLOCKS:
            return "the firmware file holds no block to send";
        case RESULT_FILE_OPEN_FAILED:
            return "the firmware file cannot be opened";
        case RESULT_MODEL_MISMATCH:
            return "the file's model does not suit the device";
        case RESULT_MULTIPLE_DEVICES:
            return "more than one supported device was found";
        default:
            return "another failure";
    }
}

const char* PortErrorText(PortError error) {
    switch (error) {
        case PORT_ERROR_NONE:
            return "ok";
        case PORT_ERROR_FILE_NOT_FOUND:
        case PORT_ERROR_PATH_NOT_FOUND:
            return "not found";
        case PORT_ERROR_ACCESS_DENIED:
            return "access denied";
        case PORT_ERROR_SHARING_VIOLATION:
            return "in use";
        default:
            return "failed";
    }
}

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
    char text[256];
    va_list values;
    va_start(values, format);
    const int length = std::vsnprintf(text, sizeof text, format, values);
    va_end(values);
    return length < 0 ? std::string() : std::string(text);
}

std::string IdentityText(const CandidateReport& report) {
    if (!report.identityKnown) {
        return "----:----, identity unknown";
    }
    const UsbIdentity& identity = report.identity;
    std::string text = Printf("%04x:%04x, %s", identity.vendorId, identity.productId,
                              LinkKindText(report.productKind));
    if (identity.hasInterface) {
        text += Printf(", interface %u", identity.interfaceNumber);
    }
    return text;
}

// The start of a line's text, as the closing lines show it; summary keeps its storage.
void Summarise(std::string_view text, std::string& summary) {
    summary.assign(text.substr(0, SUMMARY_MAX));
    if (text.size() > SUMMARY_MAX) {
        summary += "...";
    }
}

}  // namespace

UpdateTrace::~UpdateTrace() {
    StopWriter();
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

void UpdateTrace::StartFromEnvironment(const std::string& programName, const char* version,
                                       int argc, const char16_t* const* argv) {
    std::u16string path;
    if (TraceFileFromEnvironment(path)) {
        Start(path, programName, version, argc, argv);
    }
}

void UpdateTrace::Start(const std::u16string& path, const std::string& programName,
                        const char* version, int argc, const char16_t* const* argv) {
    LockGuard hold(lock_);
    path_.clear();
    AppendEscaped(path_, SystemTextToUtf8(path));
    program_ = programName;
    std::string refusal;
    file_ = OpenTraceFile(path, refusal);
    if (file_ == nullptr) {
        std::fprintf(stderr,
                     "%s: cannot open the trace file %s: %s; the update goes on without it\n",
                     program_.c_str(), path_.c_str(), refusal.c_str());
        return;
    }
    if (!lock_.Ready() || !wake_.Ready() || !batchDone_.Ready() ||
        !writer_.Start(RunWriter, this)) {
        std::fclose(file_);
        file_ = nullptr;
        std::fprintf(stderr,
                     "%s: cannot start writing the trace file %s; the update goes on without it\n",
                     program_.c_str(), path_.c_str());
        return;
    }
    writing_ = true;
    active_.store(true, std::memory_order_release);
    start_ = Clock::now();
    Line("run", "==== " + program_ + " " + version + " ====");
    Line("run", "system " + OperatingSystemText());
    Line("run", "started " + UtcTimeText() + "; times are milliseconds since then, monotonic");
    std::string command = "command line:";
    for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
        command += " \"" + SystemTextToUtf8(argv[i]) + "\"";
    }
    Line("run", command);
    step_ = "the command line";
}

void UpdateTrace::Finish(ResultCode result, int exitCode) {
    {
        LockGuard hold(lock_);
        if (writing_) {
            Line("result",
                 Printf("result code %u, exit code %d: %s", result, exitCode, ResultText(result)));
            if (result != RESULT_SUCCESS) {
                if (!failed_) {
                    MarkFailure();
                }
                Line("result", "failed in: " + failedStep_);
                Line("result", "last sent: " + (failedSent_.empty() ? "nothing" : failedSent_));
                Line("result",
                     "last received: " + (failedReceived_.empty() ? "nothing" : failedReceived_));
            }
            Line("run", "==== end ====");
        }
    }
    StopWriter();
    LockGuard hold(lock_);
    writing_ = false;
    if (file_ != nullptr) {
        if (std::fclose(file_) != 0) {
            ReportWriteFailure(errno);
        }
        file_ = nullptr;
    }
    active_.store(false, std::memory_order_release);
}

void UpdateTrace::WaitUntilWritten(std::uint32_t timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::uint64_t target = 0;
    {
        LockGuard hold(lock_);
        target = appended_;
    }
    for (;;) {
        {
            LockGuard hold(lock_);
            if (!writing_ || written_ >= target) {
                return;
            }
            batchDone_.Reset();
        }
        wake_.Set();
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            return;
        }
        batchDone_.Wait(static_cast<std::uint32_t>(
            std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count()));
    }
}

void UpdateTrace::RunWriter(void* self) {
    static_cast<UpdateTrace*>(self)->WriteLoop();
}

void UpdateTrace::WriteLoop() {
    std::string batch;
    for (;;) {
        wake_.Wait(FLUSH_EVERY_MS);
        bool last = false;
        {
            LockGuard hold(lock_);
            wake_.Reset();
            batch.swap(pending_);
            last = stopping_;
        }
        const bool written = batch.empty() || WriteOut(batch);
        {
            LockGuard hold(lock_);
            written_ += batch.size();
            if (!written) {
                writing_ = false;
                pending_.clear();
                active_.store(false, std::memory_order_release);
            }
            batchDone_.Set();
        }
        batch.clear();
        if (last || !written) {
            return;
        }
    }
}

bool UpdateTrace::WriteOut(const std::string& batch) {
    if (std::fwrite(batch.data(), 1, batch.size(), file_) == batch.size() &&
        std::fflush(file_) == 0) {
        return true;
    }
    ReportWriteFailure(errno);
    std::fclose(file_);
    file_ = nullptr;
    return false;
}

void UpdateTrace::ReportWriteFailure(int error) const {
    std::fprintf(stderr, "%s: cannot write the trace file %s: %s; the update goes on without it\n",
                 program_.c_str(), path_.c_str(), std::strerror(error));
}

void UpdateTrace::StopWriter() {
    if (!writer_.Held()) {
        return;
    }
    {
        LockGuard hold(lock_);
        stopping_ = true;
        wake_.Set();
    }
    writer_.Join();
}

void UpdateTrace::Write(TraceTopic topic, const char* format, va_list values) {
    LockGuard hold(lock_);
    if (!writing_) {
        return;
    }
    char text[512];
    const int length = std::vsnprintf(text, sizeof text, format, values);
    const std::string line = length < 0 ? std::string() : std::string(text);
    switch (topic) {
        case TraceTopic::Step:
            step_ = line;
            frameIndex_ = 0;
            break;
        case TraceTopic::File:
            step_ = "the firmware file";
            break;
        case TraceTopic::Failure:
            if (!failed_) {
                MarkFailure();
            }
            break;
        case TraceTopic::Wait:
        case TraceTopic::Note:
            break;
    }
    Line(TopicName(topic), line);
}

void UpdateTrace::OnCandidate(const CandidateReport& report) {
    LockGuard hold(lock_);
    if (!writing_) {
        return;
    }
    step_ = "discovery";
    std::string text = std::string(CandidateSourceName(report.source)) + " " + IdentityText(report);
    if (report.portName != nullptr) {
        text += ", port " + SystemTextToUtf8(report.portName);
    }
    text += ": ";
    text += CandidateVerdictText(report.verdict);
    if (report.verdict == CandidateVerdict::Taken) {
        text += std::string(", to open as ") + LinkKindText(report.linkKind);
    }
    if (report.path != nullptr) {
        text += "; " + SystemTextToUtf8(report.path);
    }
    Line("seen", text);
}

void UpdateTrace::OnOutcome(const SelectionOutcome& outcome) {
    LockGuard hold(lock_);
    if (!writing_) {
        return;
    }
    step_ = "discovery";
    std::string counts = Printf("%u supported USB device(s)", outcome.usbDevices);
    if (outcome.interfacesScanned) {
        counts += Printf(", %u path(s) from the interface classes", outcome.interfaceRecords);
    }
    if (outcome.portsScanned) {
        counts += Printf(", %u from the COM ports", outcome.portRecords);
    }
    Line("select", counts);
    if (outcome.result != RESULT_SUCCESS) {
        Line("select", Printf("exit code %d: %s", MapExitCode(outcome.result),
                              SelectionOutcomeText(outcome)));
        return;
    }
    const DeviceRecord& record = outcome.record;
    linkKind_ = record.linkKind;
    std::string taken = "taken: " + SystemTextToUtf8(record.path) + " as " +
                        LinkKindText(record.linkKind) +
                        Printf(" (%04x:%04x", record.vendorId, record.productId);
    taken += record.interfacePlusOne == 0 ? ", no interface number)"
                                          : Printf(", interface %u)", record.interfacePlusOne - 1u);
    Line("select", taken);
}

void UpdateTrace::PortOpened(const char16_t* path, bool shared, PortError error) {
    LockGuard hold(lock_);
    if (!writing_) {
        return;
    }
    step_ = "opening the device";
    Line("port", "open " + SystemTextToUtf8(path) + (shared ? " (shared): " : " (exclusive): ") +
                     PortErrorText(error) +
                     (error == PORT_ERROR_NONE ? std::string() : Printf(", error %u", error)));
}

void UpdateTrace::PortClosed() {
    LockGuard hold(lock_);
    if (writing_) {
        Line("port", "close");
    }
}

void UpdateTrace::FeatureReportSent(const std::uint8_t* report, std::uint32_t length,
                                    bool accepted) {
    LockGuard hold(lock_);
    if (writing_) {
        Line("port",
             "feature report " + Hex(report, length) + (accepted ? ": accepted" : ": refused"));
    }
}

void UpdateTrace::SerialSetUp(bool done) {
    LockGuard hold(lock_);
    if (writing_) {
        Line("port", done ? "serial set-up: 9600 8N1, done" : "serial set-up: failed");
    }
}

bool UpdateTrace::IsHidOutputReport(const std::uint8_t* data, std::uint32_t length) const {
    const bool hid = linkKind_ == LinkKind::Hid || linkKind_ == LinkKind::HidFeature;
    return hid && length == HID_REPORT_BYTES && data[0] == HID_OUTPUT_ID &&
           data[1] <= HID_OUTPUT_DATA;
}

void UpdateTrace::WriteStarting(const std::uint8_t* data, std::uint32_t length) {
    LockGuard hold(lock_);
    if (!writing_) {
        return;
    }
    if (!IsHidOutputReport(data, length)) {
        Describe(data, length, description_);
        Sent(description_);
        return;
    }
    // The reports of one write make one message again, shown as the last one goes out.
    hidMessage_.append(reinterpret_cast<const char*>(data + 2), data[1]);
    ++hidReports_;
    if (data[HID_REPORT_BYTES - 1] == 0) {
        const auto* message = reinterpret_cast<const std::uint8_t*>(hidMessage_.data());
        Describe(message, static_cast<std::uint32_t>(hidMessage_.size()), description_);
        description_ += Printf(" in %u report(s)", hidReports_);
        Sent(description_);
        hidMessage_.clear();
    }
}

void UpdateTrace::WriteEnded(std::uint32_t length, std::uint32_t written, bool succeeded) {
    LockGuard hold(lock_);
    if (!writing_) {
        return;
    }
    const std::uint32_t reports = hidReports_;
    if (hidMessage_.empty()) {
        hidReports_ = 0;
    }
    if (succeeded && written == length) {
        return;
    }
    std::string failure = Printf("FAILED: %u of %u byte(s) went out", written, length);
    if (reports != 0) {
        failure += Printf(" in report %u", reports);
    }
    if (hidMessage_.empty()) {
        Summarise(lastSent_ + "; " + failure, lastSent_);
    } else {
        // The message never got to its last report, so it was never shown: show what it had.
        const auto* message = reinterpret_cast<const std::uint8_t*>(hidMessage_.data());
        Describe(message, static_cast<std::uint32_t>(hidMessage_.size()), description_);
        failure += "; the write so far: " + description_;
        Summarise(failure, lastSent_);
    }
    hidMessage_.clear();
    hidReports_ = 0;
    Line("send", failure);
}

void UpdateTrace::BytesRead(const std::uint8_t* data, std::uint32_t count, bool succeeded,
                            bool stopRequested) {
    LockGuard hold(lock_);
    if (!writing_) {
        return;
    }
    if (count > 0) {
        if (linkKind_ != LinkKind::Hid && linkKind_ != LinkKind::HidFeature) {
            Received(data, count);
        } else if (count == HID_REPORT_BYTES && data[0] == HID_INPUT_ID &&
                   data[1] <= HID_INPUT_DATA) {
            Received(data + 2, data[1]);
        } else {
            Line("recv", "malformed input report: " + Hex(data, count), true);
        }
    }
    if (!succeeded) {
        Line("recv", stopRequested ? "read ended: a stop was requested"
                                   : "read ended: failed (the device is gone or closed)");
    }
}

void UpdateTrace::Line(const char* topic, std::string_view text, bool byteEvent) {
    if (!writing_) {
        return;
    }
    // Whole microseconds: integers format faster than a double, and frames stream here.
    const auto us = static_cast<unsigned long long>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count());
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%7llu.%03u %-6s ", us / 1000,
                  static_cast<unsigned>(us % 1000), topic);
    const std::size_t before = pending_.size();
    pending_ += stamp;
    AppendEscaped(pending_, text);
    pending_ += '\n';
    appended_ += pending_.size() - before;
    if (!byteEvent) {
        wake_.Set();
    }
}

void UpdateTrace::Describe(const std::uint8_t* bytes, std::uint32_t count, std::string& out) {
    out.clear();
    if (count == FRAME_SIZE && bytes[0] == FRAME_MARK) {
        const std::uint32_t crc = (static_cast<std::uint32_t>(bytes[513]) << 24) |
                                  (static_cast<std::uint32_t>(bytes[514]) << 16) |
                                  (static_cast<std::uint32_t>(bytes[515]) << 8) | bytes[516];
        char text[64];
        std::snprintf(text, sizeof text, "frame %u: %u bytes, crc 0x%08X", frameIndex_++, count,
                      crc);
        out += text;
        return;
    }
    AppendHex(bytes, count, out);
}

void UpdateTrace::AppendHex(const std::uint8_t* bytes, std::uint32_t count, std::string& out) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    char head[24];
    std::snprintf(head, sizeof head, "%u byte(s):", count);
    out += head;
    for (std::uint32_t i = 0; i < count; ++i) {
        const char digits[3] = {' ', DIGITS[bytes[i] >> 4], DIGITS[bytes[i] & 0x0F]};
        out.append(digits, sizeof digits);
    }
    if (count == 0) {
        return;
    }
    out += "  |";
    for (std::uint32_t i = 0; i < count; ++i) {
        out += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    }
    out += '|';
}

std::string UpdateTrace::Hex(const std::uint8_t* bytes, std::uint32_t count) {
    std::string text;
    AppendHex(bytes, count, text);
    return text;
}

void UpdateTrace::Sent(std::string_view description) {
    Summarise(description, lastSent_);
    Line("send", description, true);
}

void UpdateTrace::Received(const std::uint8_t* bytes, std::uint32_t count) {
    description_.clear();
    AppendHex(bytes, count, description_);
    Summarise(description_, lastReceived_);
    Line("recv", description_, true);
}

void UpdateTrace::MarkFailure() {
    failed_ = true;
    failedStep_ = step_;
    failedSent_ = lastSent_;
    failedReceived_ = lastReceived_;
}
