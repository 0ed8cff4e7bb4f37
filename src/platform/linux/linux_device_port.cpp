#include "platform/linux/linux_device_port.h"

#include <utility>

#include "discovery/identity.h"

NodeType NodeTypeOfPath(const char16_t* path) {
    const char16_t* name = path;
    for (const char16_t* at = path; *at != 0; ++at) {
        if (*at == u'/') {
            name = at + 1;
        }
    }
    for (const char16_t* at = name; *at != 0; ++at) {
        const char16_t* rest = at;
        if (SkipPrefix(u"#if", rest)) {
            return NodeType::Usbfs;
        }
    }
    const char16_t* rest = name;
    return SkipPrefix(u"hidraw", rest) ? NodeType::Hidraw : NodeType::Serial;
}

LinuxDevicePort::LinuxDevicePort(std::string sysRoot, UsbfsCalls& usbfs)
    : usbfs_(std::move(sysRoot), usbfs) {}

PortError LinuxDevicePort::Open(const char16_t* path, bool shared) {
    if (active_.load(std::memory_order_acquire) != nullptr) {
        return PORT_ERROR_GEN_FAILURE;
    }
    DevicePort* port = &serial_;
    switch (NodeTypeOfPath(path)) {
        case NodeType::Usbfs:
            port = &usbfs_;
            break;
        case NodeType::Hidraw:
            port = &hidraw_;
            break;
        case NodeType::Serial:
            break;
    }
    const PortError error = port->Open(path, shared);
    if (error == PORT_ERROR_NONE) {
        active_.store(port, std::memory_order_release);
    }
    return error;
}

void LinuxDevicePort::Close() {
    DevicePort* port = active_.exchange(nullptr, std::memory_order_acq_rel);
    if (port != nullptr) {
        port->Close();
    }
}

bool LinuxDevicePort::SendFeatureReport(const std::uint8_t* report, std::uint32_t length) {
    DevicePort* port = active_.load(std::memory_order_acquire);
    return port != nullptr && port->SendFeatureReport(report, length);
}

bool LinuxDevicePort::ConfigureSerial() {
    DevicePort* port = active_.load(std::memory_order_acquire);
    return port != nullptr && port->ConfigureSerial();
}

bool LinuxDevicePort::Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& count,
                           const std::atomic<bool>& cancelRead) {
    count = 0;
    DevicePort* port = active_.load(std::memory_order_acquire);
    return port != nullptr && port->Read(buffer, capacity, count, cancelRead);
}

void LinuxDevicePort::WakeRead() {
    DevicePort* port = active_.load(std::memory_order_acquire);
    if (port != nullptr) {
        port->WakeRead();
    }
}

bool LinuxDevicePort::Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
                            std::uint32_t& written) {
    written = 0;
    DevicePort* port = active_.load(std::memory_order_acquire);
    return port != nullptr && port->Write(data, length, waitMs, written);
}
