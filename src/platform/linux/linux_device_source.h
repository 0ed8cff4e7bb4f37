// Device discovery on Linux. Until the sysfs discovery is built the product finds no
// supported device on Linux and says so with result 2 (exit code 12); the simulated
// platform (the demo and the tests) finds its scanners through the simulated database.
#pragma once

#include "discovery/selection.h"

class LinuxDeviceSource : public DeviceSource {
public:
    std::uint32_t CountUsbDevices() override { return 0; }
    std::uint32_t ScanInterfaceClasses(DeviceRecord*) override { return 0; }
    std::uint32_t ScanComPorts(DeviceRecord*, std::uint32_t) override { return 0; }
};
