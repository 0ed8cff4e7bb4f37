// A DevicePort that hands every open, close, feature report, serial set-up, write and read of
// the port it wraps to the update trace, and changes none of them.
#pragma once

#include "link/device_port.h"
#include "trace/update_trace.h"

class TracingPort final : public DevicePort {
  public:
    TracingPort(DevicePort& inner, UpdateTrace& trace) : inner_(inner), trace_(trace) {}

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
    DevicePort& inner_;
    UpdateTrace& trace_;
};
