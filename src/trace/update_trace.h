// The update trace: with SCANFLASH_TRACE naming a file, a run appends what it saw and did to
// it, for a support desk to read. docs/trace-format.md describes the lines.
//
// It hears the core through three seams: the selection's observer (every candidate and the
// outcome), the TraceSink the link, the session and the loader report to, and TracingPort,
// which hands it every open, close, feature report, serial set-up, write and read. Standard
// output and the exit code never change: a trace that cannot be opened or written is
// reported once on standard error and the run goes on without it.
//
// Threads: the main thread, the link's reader thread (reads) and the console handler's
// thread all report; one lock, taken last of all locks, orders the lines. Reporting only
// appends to memory: the trace's own writer thread alone touches the file, so a slow or
// failing file never holds up a device thread, a stop or the update. Text from outside
// (arguments, names, paths, model strings) is written escaped, so one line is one event.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/result_code.h"
#include "common/sync.h"
#include "common/trace_sink.h"
#include "discovery/selection.h"
#include "link/device_port.h"

class UpdateTrace final : public TraceSink, public SelectionObserver {
  public:
    UpdateTrace() = default;
    ~UpdateTrace() override;
    UpdateTrace(const UpdateTrace&) = delete;
    UpdateTrace& operator=(const UpdateTrace&) = delete;

    // Opens the file SCANFLASH_TRACE names, if it names one, and writes the header: program,
    // version, system, time and command line. programName (UTF-8) also signs the message on
    // standard error when the file cannot be opened.
    void StartFromEnvironment(const std::string& programName, const char* version, int argc,
                              const char16_t* const* argv);
    void Start(const std::u16string& path, const std::string& programName, const char* version,
               int argc, const char16_t* const* argv);
    bool Active() const { return active_.load(std::memory_order_acquire); }
    // The result, the exit code and, after a failure, the step it failed in and the last
    // bytes each way; then the writer puts every line into the file and closes it.
    void Finish(ResultCode result, int exitCode);
    // Waits up to timeoutMs until every line reported so far is in the file (or the file
    // failed): for a process that is about to end.
    void WaitUntilWritten(std::uint32_t timeoutMs);

    // TraceSink
    void Write(TraceTopic topic, const char* format, va_list values) override
        __attribute__((format(printf, 3, 0)));

    // SelectionObserver
    void OnCandidate(const CandidateReport& report) override;
    void OnOutcome(const SelectionOutcome& outcome) override;

    // From TracingPort.
    void PortOpened(const char16_t* path, bool shared, PortError error);
    void PortClosed();
    void FeatureReportSent(const std::uint8_t* report, std::uint32_t length, bool accepted);
    void SerialSetUp(bool done);
    // Called before the write, so that the bytes are in the trace before any answer to
    // them, and after it with how it went.
    void WriteStarting(const std::uint8_t* data, std::uint32_t length);
    void WriteEnded(std::uint32_t length, std::uint32_t written, bool succeeded);
    void BytesRead(const std::uint8_t* data, std::uint32_t count, bool succeeded,
                   bool stopRequested);

  private:
    using Clock = std::chrono::steady_clock;

    static void RunWriter(void* self);
    void WriteLoop();
    // On the writer thread, outside the lock: false when the file failed; it is then closed.
    bool WriteOut(const std::string& batch);
    void ReportWriteFailure(int error) const;
    void StopWriter();

    // Everything below runs with lock_ held.
    bool IsHidOutputReport(const std::uint8_t* data, std::uint32_t length) const;
    // Appends one line, its text escaped; lines that carry no bytes wake the writer at once,
    // the others reach the file within FLUSH_EVERY.
    void Line(const char* topic, std::string_view text, bool byteEvent = false);
    // Bytes sent: a data frame as "frame k: 517 bytes, crc 0x...", anything else as hex;
    // out keeps its storage from frame to frame.
    void Describe(const std::uint8_t* bytes, std::uint32_t count, std::string& out);
    // "3 byte(s): 3F 3F 3F  |???|": hex, and the printable letters beside.
    static void AppendHex(const std::uint8_t* bytes, std::uint32_t count, std::string& out);
    static std::string Hex(const std::uint8_t* bytes, std::uint32_t count);
    void Sent(std::string_view description);
    void Received(const std::uint8_t* bytes, std::uint32_t count);
    void MarkFailure();

    Lock lock_;
    std::FILE* file_ = nullptr;  // after Start, only the writer thread uses it
    std::atomic<bool> active_{false};
    std::string path_;     // UTF-8, for the message on standard error
    std::string program_;  // signs that message
    Clock::time_point start_{};
    std::string pending_;         // lines not yet handed to the writer
    std::uint64_t appended_ = 0;  // bytes of lines appended in all
    std::uint64_t written_ = 0;   // of them, bytes the writer is done with
    bool writing_ = false;        // lines are taken: started, and the file has not failed
    bool stopping_ = false;
    ManualResetEvent wake_;       // lines to write at once, or the writer is to end
    ManualResetEvent batchDone_;  // the writer finished a batch
    Thread writer_;
    LinkKind linkKind_ = LinkKind::Unsupported;  // of the device the selection took
    std::uint32_t frameIndex_ = 0;               // frames since the last step
    std::string hidMessage_;                     // HID output reports of one write so far
    std::uint32_t hidReports_ = 0;
    std::string step_;
    std::string lastSent_;
    std::string lastReceived_;
    bool failed_ = false;  // a failure froze the three below
    std::string failedStep_;
    std::string failedSent_;
    std::string failedReceived_;
    std::string description_;  // reused for the bytes of every line
};
