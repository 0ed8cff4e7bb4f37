#include "link/device_io.h"

ResultCode MapWin32Error(std::uint32_t error) {
    switch (error) {
        case 0:
            return RESULT_SUCCESS;
        case PORT_ERROR_FILE_NOT_FOUND:
        case PORT_ERROR_PATH_NOT_FOUND:
            return RESULT_NO_DEVICE;
        case PORT_ERROR_ACCESS_DENIED:
        case PORT_ERROR_SHARING_VIOLATION:
            return RESULT_ACCESS_DENIED;
        default:
            return RESULT_OPEN_FAILED;
    }
}

bool DeviceIo::SendFeatureSwitch(std::uint8_t on) {
    const std::uint8_t report[2] = {HID_FEATURE_REPORT_ID, on};
    return port_.SendFeatureReport(report, sizeof report);
}

ResultCode DeviceIo::OpenPath(const char16_t* path, LinkKind linkKind) {
    if (IsOpen()) {
        return RESULT_ALREADY_OPEN;
    }
    featureModeOn_ = false;
    PortError error = port_.Open(path, false);
    if (error != PORT_ERROR_NONE) {
        const bool hid = linkKind == LinkKind::Hid || linkKind == LinkKind::HidFeature;
        if (error != PORT_ERROR_SHARING_VIOLATION || !hid) {
            return MapWin32Error(error);
        }
        error = port_.Open(path, true);
        if (error != PORT_ERROR_NONE) {
            return MapWin32Error(error);
        }
    }
    open_.store(true, std::memory_order_release);
    if (linkKind == LinkKind::HidFeature) {
        if (!SendFeatureSwitch(1)) {
            port_.Close();
            open_.store(false, std::memory_order_release);
            return RESULT_FEATURE_REFUSED;
        }
        featureModeOn_ = true;
        clock_.Pause(HID_FEATURE_PAUSE_MS);
        return RESULT_SUCCESS;
    }
    if (linkKind == LinkKind::SerialPort && !ConfigureSerial()) {
        Close();
        return RESULT_OPEN_FAILED;
    }
    return RESULT_SUCCESS;
}

void DeviceIo::Close() {
    if (!IsOpen()) {
        return;
    }
    if (featureModeOn_) {
        SendFeatureSwitch(0);
        featureModeOn_ = false;
        clock_.Pause(HID_FEATURE_PAUSE_MS);
    }
    port_.Close();
    open_.store(false, std::memory_order_release);
    ClearCancelRead();
}

bool DeviceIo::ConfigureSerial() {
    return IsOpen() && port_.ConfigureSerial();
}

void DeviceIo::RequestCancelRead() {
    cancelRead_.store(true, std::memory_order_release);
    port_.WakeRead();
}

bool DeviceIo::ReadChunk(std::uint8_t* buffer, std::uint32_t& count) {
    count = 0;
    bool result = false;
    if (!cancelRead_.load(std::memory_order_acquire)) {
        result = port_.Read(buffer, PORT_READ_CHUNK, count, cancelRead_);
    }
    if (!result) {
        count = 0;
    }
    ClearCancelRead();
    return result;
}

bool DeviceIo::WriteChunk(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs) {
    std::uint32_t written = 0;
    port_.Write(data, length, waitMs, written);
    return written == length;
}
