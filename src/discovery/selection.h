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

// The rules each source applies to an identity, shared so that every platform judges alike.
// A USB device counts when its identity carries no interface number or interface 1, and its
// product is supported or its vendor is VENDOR_A.
bool CountsAsUsbDevice(const UsbIdentity& identity);
// An interface found through an interface class: an identity with an interface number is
// kept only where the class keeps interface 1 (HID) and the number is 1; kinds 1 and 2 are
// taken as they are, kind 5 only with an interface number, as HidFeature. kind receives the
// kind to store.
bool AcceptInterfaceIdentity(const UsbIdentity& identity, bool keepsInterfaceOne, LinkKind& kind);
// A serial port of a USB device: kinds 1, 6 and 7, whatever the interface number.
bool AcceptPortIdentity(const UsbIdentity& identity);

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
