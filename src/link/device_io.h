// Opening and closing a device path the way its LinkKind needs, and single reads and writes
// on it, over whichever DevicePort the platform supplies.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/result_code.h"
#include "discovery/identity.h"
#include "link/device_port.h"
#include "link/link_clock.h"

constexpr std::uint8_t HID_FEATURE_REPORT_ID = 0xFE;
constexpr std::uint32_t HID_FEATURE_PAUSE_MS = 50;

ResultCode MapWin32Error(std::uint32_t error);

class DeviceIo {
  public:
    explicit DeviceIo(DevicePort& port) : DeviceIo(port, RealLinkClock()) {}
    // The feature switch's pauses are taken on clock.
    DeviceIo(DevicePort& port, LinkClock& clock) : port_(port), clock_(clock) {}

    // 0, or 1, 2, 4, 5 or 7. A HID path (kinds 2 and 3) in use is opened once more shared;
    // kind 3 is switched into feature mode with a 50 ms pause; kind 10 gets the serial set-up.
    // A failed serial set-up closes the device again at once, so the link stays closed.
    ResultCode OpenPath(const char16_t* path, LinkKind linkKind);
    // Switches feature mode off (then 50 ms) when it was switched on, then closes.
    void Close();
    // One read of up to PORT_READ_CHUNK bytes; false when the read failed or a stop was
    // requested before it could start. Clears cancelRead on its way out.
    bool ReadChunk(std::uint8_t* buffer, std::uint32_t& count);
    // True when every byte went out within waitMs.
    bool WriteChunk(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs);
    bool ConfigureSerial();

    bool IsOpen() const { return open_.load(std::memory_order_acquire); }
    bool FeatureModeOn() const { return featureModeOn_; }

    // A stop request: a read that finds this set does not start, or does not wait.
    void RequestCancelRead();
    void ClearCancelRead() { cancelRead_.store(false, std::memory_order_release); }

  private:
    bool SendFeatureSwitch(std::uint8_t on);

    DevicePort& port_;
    LinkClock& clock_;
    std::atomic<bool> open_{false};
    bool featureModeOn_ = false;
    std::atomic<bool> cancelRead_{false};
};
