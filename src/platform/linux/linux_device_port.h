// The product's DevicePort on Linux: one port for every node discovery hands over, picking
// the implementation by the path at Open (the only thing DevicePort::Open is given):
//   "...#ifN"         the vendor bulk interface through usbfs (UsbfsPort)
//   ".../hidrawN"     a HID interface (HidrawPort)
//   anything else     a serial line, ttyACM, ttyUSB or a pty (LinuxSerialPort)
#pragma once

#include <atomic>
#include <string>

#include "link/device_port.h"
#include "platform/linux/hidraw_port.h"
#include "platform/linux/linux_serial_port.h"
#include "platform/linux/usbfs_port.h"

enum class NodeType { Serial, Hidraw, Usbfs };

NodeType NodeTypeOfPath(const char16_t* path);

class LinuxDevicePort : public DevicePort {
  public:
    // sysRoot is where the bulk port finds the interface's endpoints ("/sys" in the product).
    explicit LinuxDevicePort(std::string sysRoot, UsbfsCalls& usbfs = SystemUsbfsCalls());

    PortError Open(const char16_t* path, bool shared) override;
    void Close() override;
    bool SendFeatureReport(const std::uint8_t* report, std::uint32_t length) override;
    bool ConfigureSerial() override;
    bool Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& count,
              const std::atomic<bool>& cancelRead) override;
    // May come from another thread at any time; the port it reaches keeps its eventfd for
    // its whole life, so a wake-up that races with a close lands harmlessly.
    void WakeRead() override;
    bool Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
               std::uint32_t& written) override;

  private:
    LinuxSerialPort serial_;
    HidrawPort hidraw_;
    UsbfsPort usbfs_;
    std::atomic<DevicePort*> active_{nullptr};
};
