// Several simulated devices behind the one DevicePort a DeviceLink takes: each port is
// attached at its device path, an open goes to the port at that path (letters compared
// without case, as Windows compares paths) and every later call to the port that last opened,
// so that a run can choose among several simulated scanners. A path no port is attached at
// gives "file not found".
#pragma once

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "link/device_port.h"

class SimPortRouter : public DevicePort {
  public:
    // Before the router is used; port outlives it.
    void Attach(const std::u16string& path, DevicePort& port);

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
    std::vector<std::pair<std::u16string, DevicePort*>> ports_;
    // The port of the last open that succeeded; the reader thread and a stopping thread read
    // it while the main thread may open again.
    std::atomic<DevicePort*> current_{nullptr};
};
