#include "sim/sim_port.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <thread>

void SimPort::SetOpenBehaviour(const SimOpenBehaviour& behaviour) {
    std::lock_guard<std::mutex> hold(mutex_);
    openBehaviour_ = behaviour;
}

void SimPort::SetExpectedPath(const std::u16string& path) {
    std::lock_guard<std::mutex> hold(mutex_);
    expectedPath_ = path;
}

void SimPort::RefuseFeatureReports(bool refuse) {
    std::lock_guard<std::mutex> hold(mutex_);
    refuseFeature_ = refuse;
}

void SimPort::FailSerialSetup(bool fail) {
    std::lock_guard<std::mutex> hold(mutex_);
    failSerialSetup_ = fail;
}

void SimPort::StallWrites(bool stall) {
    StallWritesFrom(stall ? 0 : UINT32_MAX);
}

void SimPort::StallWritesFrom(std::uint32_t writeIndex) {
    std::lock_guard<std::mutex> hold(mutex_);
    stallFromWrite_ = writeIndex;
    writesSinceStall_ = 0;
}

void SimPort::UseVirtualClock(VirtualClock& clock) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        clock_ = &clock;
    }
    clock.SetSettle([this] { return AwaitReaderIdle(); });
}

void SimPort::SetWriteHook(WriteHook hook) {
    std::lock_guard<std::mutex> hold(mutex_);
    writeHook_ = std::move(hook);
}

void SimPort::SetFeatureHook(FeatureHook hook) {
    std::lock_guard<std::mutex> hold(mutex_);
    featureHook_ = std::move(hook);
}

void SimPort::SetCloseHook(CloseHook hook) {
    std::lock_guard<std::mutex> hold(mutex_);
    closeHook_ = std::move(hook);
}

void SimPort::Deliver(const std::uint8_t* bytes, std::uint32_t length) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        pending_.emplace_back(bytes, bytes + length);
    }
    changed_.notify_all();
}

void SimPort::DeliverHidReport(const std::uint8_t* payload, std::uint32_t length) {
    std::vector<std::uint8_t> report(64, 0);
    report[0] = 0x02;
    const std::uint32_t take = std::min<std::uint32_t>(length, 62);
    report[1] = static_cast<std::uint8_t>(take);
    if (take > 0) {
        std::memcpy(report.data() + 2, payload, take);
    }
    Deliver(report);
}

void SimPort::FailReads() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        readsFail_ = true;
    }
    changed_.notify_all();
}

std::vector<SimPortEvent> SimPort::Events() {
    std::lock_guard<std::mutex> hold(mutex_);
    return events_;
}

std::vector<std::vector<std::uint8_t>> SimPort::Writes() {
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<std::vector<std::uint8_t>> writes;
    for (const SimPortEvent& event : events_) {
        if (event.kind == SimPortEvent::Kind::Write) {
            writes.push_back(event.bytes);
        }
    }
    return writes;
}

bool SimPort::IsOpen() {
    std::lock_guard<std::mutex> hold(mutex_);
    return open_;
}

std::uint32_t SimPort::ReadsStarted() {
    std::lock_guard<std::mutex> hold(mutex_);
    return readsStarted_;
}

bool SimPort::WaitForBlockedRead(std::uint32_t timeoutMs) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                             [this] { return readBlocked_; });
}

bool SimPort::AwaitReaderIdle(std::uint32_t guardMs) {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait_for(hold, std::chrono::milliseconds(guardMs),
                      [this] { return !open_ || (readBlocked_ && pending_.empty()); });
    return open_;
}

void SimPort::Record(SimPortEvent::Kind kind, const std::uint8_t* bytes, std::uint32_t length,
                     bool shared) {
    SimPortEvent event{kind, {}, shared, std::chrono::steady_clock::now()};
    if (bytes != nullptr) {
        event.bytes.assign(bytes, bytes + length);
    }
    events_.push_back(std::move(event));
}

PortError SimPort::Open(const char16_t* path, bool shared) {
    std::lock_guard<std::mutex> hold(mutex_);
    Record(SimPortEvent::Kind::Open, nullptr, 0, shared);
    if (!expectedPath_.empty() && expectedPath_ != path) {
        return PORT_ERROR_FILE_NOT_FOUND;
    }
    PortError error = shared ? openBehaviour_.sharedError : openBehaviour_.exclusiveError;
    if (!shared && openBehaviour_.exclusiveErrorOnce) {
        openBehaviour_.exclusiveError = PORT_ERROR_NONE;
    }
    if (error != PORT_ERROR_NONE) {
        return error;
    }
    open_ = true;
    wake_ = false;
    stopRequested_ = false;
    readsFail_ = false;
    pending_.clear();
    return PORT_ERROR_NONE;
}

void SimPort::Close() {
    CloseHook hook;
    bool stopped = false;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        Record(SimPortEvent::Kind::Close, nullptr, 0, false);
        open_ = false;
        hook = closeHook_;
        stopped = stopRequested_;
    }
    changed_.notify_all();
    if (hook) {
        hook(stopped);
    }
}

bool SimPort::SendFeatureReport(const std::uint8_t* report, std::uint32_t length) {
    FeatureHook hook;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        Record(SimPortEvent::Kind::Feature, report, length, false);
        if (!open_ || refuseFeature_) {
            return false;
        }
        hook = featureHook_;
    }
    if (hook) {
        hook(report, length);
    }
    return true;
}

bool SimPort::ConfigureSerial() {
    std::lock_guard<std::mutex> hold(mutex_);
    Record(SimPortEvent::Kind::SerialSetup, nullptr, 0, false);
    return open_ && !failSerialSetup_;
}

bool SimPort::Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& count,
                   const std::atomic<bool>& cancelRead) {
    count = 0;
    std::unique_lock<std::mutex> hold(mutex_);
    ++readsStarted_;
    wake_ = false;  // like an overlapped read, which resets its event as it starts
    const auto ready = [this] { return !pending_.empty() || wake_ || readsFail_ || !open_; };
    if (!ready() && !cancelRead.load()) {
        readBlocked_ = true;
        changed_.notify_all();
        changed_.wait(hold, ready);
        readBlocked_ = false;
    }
    if (pending_.empty() || readsFail_ || !open_) {
        return false;
    }
    std::vector<std::uint8_t>& chunk = pending_.front();
    const std::uint32_t take = std::min(capacity, static_cast<std::uint32_t>(chunk.size()));
    if (take > 0) {  // an empty chunk (a read of 0 bytes) may have no storage at all
        std::memcpy(buffer, chunk.data(), take);
    }
    chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(take));
    if (chunk.empty()) {
        pending_.pop_front();
    }
    count = take;
    return true;
}

void SimPort::WakeRead() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        wake_ = true;
        stopRequested_ = true;
    }
    changed_.notify_all();
}

bool SimPort::Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
                    std::uint32_t& written) {
    written = 0;
    WriteHook hook;
    {
        std::unique_lock<std::mutex> hold(mutex_);
        if (!open_) {
            return false;
        }
        const bool stalled = writesSinceStall_++ >= stallFromWrite_;
        if (stalled) {
            LinkClock* clock = clock_;
            hold.unlock();
            if (waitMs != INFINITE_WAIT) {
                clock->Pause(waitMs);
            }
            return false;
        }
        Record(SimPortEvent::Kind::Write, data, length, false);
        written = length;
        hook = writeHook_;
    }
    if (hook) {
        hook(data, length);
    }
    return true;
}
