#include "platform/linux/hidraw_port.h"

#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#include "link/device_link.h"
#include "platform/linux/linux_fd_io.h"

HidrawPort::HidrawPort() = default;

HidrawPort::~HidrawPort() {
    Close();
}

PortError HidrawPort::Open(const char16_t* path, bool shared) {
    if (fd_ >= 0) {
        return PORT_ERROR_GEN_FAILURE;
    }
    int fd = -1;
    const PortError opened = OpenDeviceNode(path, fd);
    return opened != PORT_ERROR_NONE ? opened : Attach(fd, shared);
}

PortError HidrawPort::Attach(int fd, bool shared) {
    if (fd_ >= 0) {
        close(fd);
        return PORT_ERROR_GEN_FAILURE;
    }
    const PortError locked = shared ? LockShared(fd) : LockExclusive(fd);
    if (locked != PORT_ERROR_NONE) {
        close(fd);
        return locked;
    }
    fd_ = fd;
    wake_.Drain();
    return PORT_ERROR_NONE;
}

void HidrawPort::Close() {
    if (fd_ < 0) {
        return;
    }
    close(fd_);
    fd_ = -1;
}

bool HidrawPort::SendFeatureReport(const std::uint8_t* report, std::uint32_t length) {
    std::uint8_t buffer[HID_REPORT_SIZE] = {};
    if (fd_ < 0 || length == 0 || length > sizeof buffer) {
        return false;
    }
    std::memcpy(buffer, report, length);
    return ioctl(fd_, HIDIOCSFEATURE(length), buffer) >= 0;
}

bool HidrawPort::ConfigureSerial() {
    return false;
}

void HidrawPort::WakeRead() {
    wake_.Signal();
}

bool HidrawPort::Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& count,
                      const std::atomic<bool>& cancelRead) {
    count = 0;
    if (fd_ < 0 || !ReadOrWake(fd_, wake_, buffer, capacity, count, cancelRead)) {
        return false;
    }
    if (count < HID_REPORT_SIZE && capacity >= HID_REPORT_SIZE) {
        std::memset(buffer + count, 0, HID_REPORT_SIZE - count);
        count = HID_REPORT_SIZE;
    }
    return true;
}

bool HidrawPort::Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
                       std::uint32_t& written) {
    written = 0;
    return fd_ >= 0 && WriteWithin(fd_, data, length, waitMs, written);
}
