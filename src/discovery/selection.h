// Finding the one attached scanner: a count of the supported USB devices present, then the
// paths it can be opened through (the vendor interface class and HID first, then the COM
// ports), insisting on exactly one at each stage. Nothing is allocated; every list and key
// is closed by the step that opened it.
#pragma once

#include <cstdint>

#include "common/result_code.h"
#include "discovery/device_database.h"
#include "discovery/identity.h"

class DeviceLink;

constexpr std::uint32_t DEVICE_RECORD_TABLE_SIZE = 2;

// Where candidates come from. DatabaseDeviceSource reads the Windows forms of the device
// database; other platforms may find candidates their own way under the same policy.
class DeviceSource {
  public:
    virtual ~DeviceSource() = default;
    virtual std::uint32_t CountUsbDevices() = 0;
    // Writes up to two records from the start of table; returns how many.
    virtual std::uint32_t ScanInterfaceClasses(DeviceRecord* table) = 0;
    // Writes at most limit records from first on; returns how many.
    virtual std::uint32_t ScanComPorts(DeviceRecord* first, std::uint32_t limit) = 0;
};

class DatabaseDeviceSource : public DeviceSource {
  public:
    explicit DatabaseDeviceSource(DeviceDatabase& database) : database_(database) {}
    std::uint32_t CountUsbDevices() override;
    std::uint32_t ScanInterfaceClasses(DeviceRecord* table) override;
    std::uint32_t ScanComPorts(DeviceRecord* first, std::uint32_t limit) override;

  private:
    DeviceDatabase& database_;
};

// 0 with the one device open in the link; 2 none found; 18 more than one; otherwise the
// code DeviceLink::Open reported.
ResultCode SelectAndOpenDevice(DeviceSource& source, DeviceLink& link);
