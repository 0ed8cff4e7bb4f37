#include "link/device_link.h"

#include <algorithm>
#include <cstring>

DeviceLink::DeviceLink(DevicePort& port, std::uint32_t ringCapacity)
    : DeviceLink(port, RealLinkClock(), ringCapacity) {}

DeviceLink::DeviceLink(DevicePort& port, LinkClock& clock, std::uint32_t ringCapacity)
    : clock_(clock), io_(port, clock) {
    if (ringCapacity != 0) {
        ring_.Allocate(ringCapacity);
    }
    // Marked initialised whatever failed before: a ring without storage refuses every put.
    initialised_ = true;
}

DeviceLink::~DeviceLink() {
    StopReader();
    io_.Close();
}

bool DeviceLink::Open(const DeviceRecord& record, ResultCode* result) {
    ResultCode local = RESULT_SUCCESS;
    ResultCode& code = result != nullptr ? *result : local;
    code = RESULT_SUCCESS;
    // Without its locks and events the link would run unprotected.
    if (!initialised_ || !mainLock_.Ready() || !stopLock_.Ready() || !ring_.Ready()) {
        code = RESULT_LINK_NOT_READY;
        return false;
    }
    if (io_.IsOpen()) {
        code = RESULT_ALREADY_OPEN;
        return false;
    }
    linkKind_.store(LinkKind::Unsupported, std::memory_order_release);
    io_.ClearCancelRead();
    stopRequested_.store(false, std::memory_order_release);
    code = io_.OpenPath(record.path, record.linkKind);
    if (code != RESULT_SUCCESS) {
        return false;
    }
    // Set before the reader starts: it reads the kind once, as it begins.
    linkKind_.store(record.linkKind, std::memory_order_release);
    if (!StartReader()) {
        code = RESULT_OPEN_FAILED;
        linkKind_.store(LinkKind::Unsupported, std::memory_order_release);
        io_.Close();
        return false;
    }
    defaultWaitMs = LINK_DEFAULT_WAIT_MS;
    connected_ = true;
    std::memcpy(&record_, &record, sizeof record_);
    return true;
}

bool DeviceLink::StartReader() {
    LockGuard serialise(stopLock_);
    if (readerThread_.Held()) {
        return false;
    }
    return readerThread_.Start(&DeviceLink::ReaderEntry, this);
}

bool DeviceLink::ReaderHeld() const {
    LockGuard serialise(stopLock_);
    return readerThread_.Held();
}

void DeviceLink::ReaderEntry(void* self) {
    static_cast<DeviceLink*>(self)->ReaderLoop();
}

void DeviceLink::ReaderLoop() {
    const LinkKind kind = linkKind_.load(std::memory_order_acquire);
    const bool hidReports = kind == LinkKind::Hid || kind == LinkKind::HidFeature;
    ring_.Clear();
    std::uint8_t chunk[PORT_READ_CHUNK];
    for (;;) {
        std::uint32_t count = 0;
        if (!io_.ReadChunk(chunk, count)) {
            break;
        }
        if (StopPending()) {
            break;
        }
        if (count == 0) {
            continue;
        }
        if (!hidReports) {
            ring_.Put(count, chunk);
            continue;
        }
        if (!PutHidReports(chunk, count)) {
            break;
        }
    }
    {
        LockGuard hold(mainLock_);
        io_.Close();
        ring_.PulseDataEvent();
    }
    // Cleared only after the close: a framed write under way looks at it between its reports
    // and ends, so that this close, which waits for the main lock, comes in time.
    stopRequested_.store(false, std::memory_order_release);
}

bool DeviceLink::PutHidReports(const std::uint8_t* chunk, std::uint32_t count) {
    // Windows' HID class driver hands back every queued report that fits the buffer, so a
    // read holds one or more whole reports, each checked on its own.
    if (count % HID_REPORT_SIZE != 0) {
        return false;
    }
    for (const std::uint8_t* report = chunk; report < chunk + count; report += HID_REPORT_SIZE) {
        if (report[0] != HID_INPUT_REPORT_ID || report[1] > HID_INPUT_PAYLOAD_MAX) {
            return false;
        }
        // A report that does not fit into the ring is dropped; the protocol's waits notice.
        ring_.Put(report[1], report + 2);
    }
    return true;
}

void DeviceLink::StopReader() {
    LockGuard serialise(stopLock_);
    if (!readerThread_.Held()) {
        return;
    }
    stopRequested_.store(true, std::memory_order_release);
    io_.RequestCancelRead();
    readerThread_.Join();
    // The reader may have ended by itself before this stop; leave no stale request behind.
    stopRequested_.store(false, std::memory_order_release);
    io_.ClearCancelRead();
}

bool DeviceLink::Send(const std::uint8_t* bytes, std::uint32_t count) {
    if (!io_.IsOpen()) {
        return false;
    }
    bool written = false;
    {
        LockGuard hold(mainLock_);
        if (!io_.IsOpen()) {
            return false;
        }
        written = WriteFramed(bytes, count);
    }
    if (!written) {
        StopReader();
        return false;
    }
    return true;
}

bool DeviceLink::WriteHidReports(const std::uint8_t* bytes, std::uint32_t count) {
    std::uint32_t remaining = count;
    while (remaining > 0) {
        if (StopPending()) {
            return false;
        }
        const std::uint32_t take = std::min(remaining, HID_OUTPUT_DATA_MAX);
        std::uint8_t report[HID_REPORT_SIZE] = {};
        report[0] = HID_OUTPUT_REPORT_ID;
        report[1] = static_cast<std::uint8_t>(take);
        std::memcpy(report + 2, bytes, take);
        bytes += take;
        remaining -= take;
        report[HID_REPORT_SIZE - 1] = remaining > 0 ? 1 : 0;
        if (!io_.WriteChunk(report, HID_REPORT_SIZE, HID_WRITE_WAIT_MS)) {
            return false;
        }
    }
    return true;
}

bool DeviceLink::WriteFramed(const std::uint8_t* bytes, std::uint32_t count) {
    if (!io_.IsOpen()) {
        return false;
    }
    const LinkKind kind = linkKind_.load(std::memory_order_acquire);
    if (kind == LinkKind::Hid || kind == LinkKind::HidFeature) {
        return WriteHidReports(bytes, count);
    }
    const bool serial = kind == LinkKind::SerialPort;
    const std::uint32_t chunkSize = serial ? SERIAL_WRITE_CHUNK : BULK_WRITE_CHUNK;
    const std::uint32_t waitMs = serial ? INFINITE_WAIT : BULK_WRITE_WAIT_MS;
    std::uint32_t remaining = count;
    while (remaining > 0) {
        if (StopPending()) {
            return false;
        }
        const std::uint32_t take = std::min(remaining, chunkSize);
        if (!io_.WriteChunk(bytes, take, waitMs)) {
            return false;
        }
        bytes += take;
        remaining -= take;
    }
    return true;
}

std::uint32_t DeviceLink::ReadTimed(std::uint32_t firstWaitMs, std::uint8_t* destination,
                                    std::uint32_t n, std::uint32_t followingWaitMs) {
    const std::uint32_t got = ReadFromRing(firstWaitMs, destination, n, followingWaitMs);
    TraceSink* trace = Trace();
    if (got < n && firstWaitMs != 0 && trace != nullptr) {
        TraceReport(trace, TraceTopic::Wait,
                    "ran out: %u of %u byte(s) after a first wait of %u ms, then %u ms%s", got, n,
                    firstWaitMs,
                    followingWaitMs == LINK_DEFAULT_WAIT ? defaultWaitMs : followingWaitMs,
                    io_.IsOpen() ? "" : "; the device is closed");
    }
    return got;
}

std::uint32_t DeviceLink::ReadFromRing(std::uint32_t firstWaitMs, std::uint8_t* destination,
                                       std::uint32_t n, std::uint32_t followingWaitMs) {
    std::uint32_t got = ring_.Get(n, destination);
    if (firstWaitMs == 0 || got == n) {
        return got;
    }
    std::uint32_t waitMs = firstWaitMs;
    bool firstPass = true;
    while (got < n && io_.IsOpen()) {
        clock_.WaitForEvent(ring_.DataEvent(), waitMs);
        const std::uint32_t k = ring_.Get(n - got, destination + got);
        got += k;
        if (k == 0) {
            break;
        }
        if (firstPass) {
            waitMs = followingWaitMs == LINK_DEFAULT_WAIT ? defaultWaitMs : followingWaitMs;
            firstPass = false;
        }
    }
    got += ring_.Get(n - got, destination + got);
    return got;
}

bool DeviceLink::ReadByte(std::uint32_t firstWaitMs, std::uint8_t* destination) {
    *destination = 0;
    return ReadTimed(firstWaitMs, destination, 1, 50) == 1;
}

std::uint32_t DeviceLink::Flush(std::uint32_t drainMs) {
    std::uint32_t dropped = ring_.Clear();
    std::uint8_t scratch[PORT_READ_CHUNK];
    while (drainMs != 0) {
        const std::uint32_t k = ReadFromRing(drainMs, scratch, sizeof scratch, LINK_DEFAULT_WAIT);
        dropped += k;
        if (k != sizeof scratch) {
            break;
        }
    }
    TraceReport(Trace(), TraceTopic::Wait, "flush after a drain of %u ms: %u byte(s) dropped",
                drainMs, dropped);
    return dropped;
}
