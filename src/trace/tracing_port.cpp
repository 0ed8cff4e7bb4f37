#include "trace/tracing_port.h"

PortError TracingPort::Open(const char16_t* path, bool shared) {
    const PortError error = inner_.Open(path, shared);
    trace_.PortOpened(path, shared, error);
    return error;
}

void TracingPort::Close() {
    inner_.Close();
    trace_.PortClosed();
}

bool TracingPort::SendFeatureReport(const std::uint8_t* report, std::uint32_t length) {
    const bool accepted = inner_.SendFeatureReport(report, length);
    trace_.FeatureReportSent(report, length, accepted);
    return accepted;
}

bool TracingPort::ConfigureSerial() {
    const bool done = inner_.ConfigureSerial();
    trace_.SerialSetUp(done);
    return done;
}

bool TracingPort::Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& count,
                       const std::atomic<bool>& cancelRead) {
    const bool succeeded = inner_.Read(buffer, capacity, count, cancelRead);
    // DeviceIo drops the bytes of a failed read; so does the trace.
    trace_.BytesRead(buffer, succeeded ? count : 0, succeeded,
                     cancelRead.load(std::memory_order_acquire));
    return succeeded;
}

void TracingPort::WakeRead() {
    inner_.WakeRead();
}

bool TracingPort::Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
                        std::uint32_t& written) {
    trace_.WriteStarting(data, length);
    const bool succeeded = inner_.Write(data, length, waitMs, written);
    trace_.WriteEnded(length, written, succeeded);
    return succeeded;
}
