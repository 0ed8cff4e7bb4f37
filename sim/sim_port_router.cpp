#include "sim/sim_port_router.h"

#include "common/wide_string.h"

void SimPortRouter::Attach(const std::u16string& path, DevicePort& port) {
    ports_.emplace_back(path, &port);
}

PortError SimPortRouter::Open(const char16_t* path, bool shared) {
    for (const auto& [attached, port] : ports_) {
        if (EqualsNoCase(attached.c_str(), path)) {
            const PortError error = port->Open(path, shared);
            if (error == PORT_ERROR_NONE) {
                current_.store(port);
            }
            return error;
        }
    }
    return PORT_ERROR_FILE_NOT_FOUND;
}

void SimPortRouter::Close() {
    if (DevicePort* port = current_.load()) {
        port->Close();
    }
}

bool SimPortRouter::SendFeatureReport(const std::uint8_t* report, std::uint32_t length) {
    DevicePort* port = current_.load();
    return port != nullptr && port->SendFeatureReport(report, length);
}

bool SimPortRouter::ConfigureSerial() {
    DevicePort* port = current_.load();
    return port != nullptr && port->ConfigureSerial();
}

bool SimPortRouter::Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& count,
                         const std::atomic<bool>& cancelRead) {
    DevicePort* port = current_.load();
    count = 0;
    return port != nullptr && port->Read(buffer, capacity, count, cancelRead);
}

void SimPortRouter::WakeRead() {
    if (DevicePort* port = current_.load()) {
        port->WakeRead();
    }
}

bool SimPortRouter::Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
                          std::uint32_t& written) {
    DevicePort* port = current_.load();
    written = 0;
    return port != nullptr && port->Write(data, length, waitMs, written);
}
