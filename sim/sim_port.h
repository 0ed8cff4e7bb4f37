// An in-process DevicePort whose far end a test (or the simulated scanner) drives. The far
// end delivers read chunks (raw bytes or 64-byte HID input reports), decides how opens,
// feature reports, serial set-up and writes fare, and sees everything the host wrote, with
// the time it was written.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "link/device_port.h"
#include "link/link_clock.h"
#include "sim/virtual_clock.h"

struct SimPortEvent {
    enum class Kind { Open, Write, Feature, SerialSetup, Close };
    Kind kind;
    std::vector<std::uint8_t> bytes;  // what was written, or the feature report
    bool shared = false;              // for Open
    std::chrono::steady_clock::time_point at;
};

// How the next opens fare. Errors are Win32 numbers (PORT_ERROR_...).
struct SimOpenBehaviour {
    PortError exclusiveError = PORT_ERROR_NONE;
    PortError sharedError = PORT_ERROR_NONE;
    bool exclusiveErrorOnce = false;  // the exclusive error applies to the first open only
};

class SimPort : public DevicePort {
  public:
    using WriteHook = std::function<void(const std::uint8_t* bytes, std::uint32_t length)>;
    using FeatureHook = std::function<void(const std::uint8_t* report, std::uint32_t length)>;
    // stopped: a stop request (WakeRead) came between the open and this close.
    using CloseHook = std::function<void(bool stopped)>;

    SimPort() = default;

    // --- the far end ---
    void SetOpenBehaviour(const SimOpenBehaviour& behaviour);
    // Only this path opens; any other gives "file not found". Empty: every path opens.
    void SetExpectedPath(const std::u16string& path);
    void RefuseFeatureReports(bool refuse);
    void FailSerialSetup(bool fail);
    // A stalled write takes nothing and fails once its wait is over (an INFINITE_WAIT write
    // fails at once rather than hang the test).
    void StallWrites(bool stall);
    // Stall only from the given write on (0 is the first write after this call).
    void StallWritesFrom(std::uint32_t writeIndex);
    // Puts the port on simulated time: a stalled write waits out its time on the clock, and
    // the clock's waits settle on this port's reader (see AwaitReaderIdle).
    void UseVirtualClock(VirtualClock& clock);
    // Called with every successful write, on the writing thread, before Write returns.
    void SetWriteHook(WriteHook hook);
    // Called with every accepted feature report, on the sending thread, before it returns.
    void SetFeatureHook(FeatureHook hook);
    // Called with every close, on the closing thread, once the port is closed.
    void SetCloseHook(CloseHook hook);

    void Deliver(const std::uint8_t* bytes, std::uint32_t length);
    void Deliver(const std::vector<std::uint8_t>& bytes) {
        Deliver(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    }
    // Wraps up to 62 payload bytes into one 64-byte input report with id 2.
    void DeliverHidReport(const std::uint8_t* payload, std::uint32_t length);
    // The device goes away: the pending or next read fails.
    void FailReads();

    std::vector<SimPortEvent> Events();
    std::vector<std::vector<std::uint8_t>> Writes();  // the payloads of the Write events
    bool IsOpen();
    std::uint32_t ReadsStarted();  // how many reads reached the port
    // Waits until a read is blocked in the port (for tests that stop a waiting reader).
    bool WaitForBlockedRead(std::uint32_t timeoutMs);
    // Waits until every delivered chunk has been read and the reader waits in Read again, or
    // the port is closed; false when it is closed. A VirtualClock settles with this. After
    // guardMs of wall time without a reader it gives up and returns true.
    bool AwaitReaderIdle(std::uint32_t guardMs = 10000);

    // --- DevicePort ---
    PortError Open(const char16_t* path, bool shared) override;
    void Close() override;
    bool SendFeatureReport(const std::uint8_t* report, std::uint32_t length) override;
    bool ConfigureSerial() override;
    bool Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& count,
              const std::atomic<bool>& cancelRead) override;
    void WakeRead() override;
    bool Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
               std::uint32_t& written) override;

  private:
    void Record(SimPortEvent::Kind kind, const std::uint8_t* bytes, std::uint32_t length,
                bool shared);

    std::mutex mutex_;
    std::condition_variable changed_;
    LinkClock* clock_ = &RealLinkClock();
    SimOpenBehaviour openBehaviour_;
    std::u16string expectedPath_;
    bool refuseFeature_ = false;
    bool failSerialSetup_ = false;
    std::uint32_t stallFromWrite_ = UINT32_MAX;
    std::uint32_t writesSinceStall_ = 0;
    WriteHook writeHook_;
    FeatureHook featureHook_;
    CloseHook closeHook_;
    bool stopRequested_ = false;
    bool open_ = false;
    bool wake_ = false;
    bool readsFail_ = false;
    bool readBlocked_ = false;
    std::uint32_t readsStarted_ = 0;
    std::deque<std::vector<std::uint8_t>> pending_;
    std::vector<SimPortEvent> events_;
};
