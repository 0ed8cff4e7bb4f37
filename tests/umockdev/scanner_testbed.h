// Scanners described in a umockdev testbed the way the kernel shows them in sysfs, for a
// program that runs under umockdev's preload: the Linux scanflash, or Wine with the Windows
// one. Every scanner is a USB device below the root hub of bus 1 with its interfaces, their
// endpoints and class devices:
//   - a vendor-specific interface with a bulk IN and a bulk OUT endpoint and no driver, free
//     for usbfs (node /dev/bus/usb/001/DDD);
//   - a CDC ACM interface pair whose communication interface carries a ttyACM node;
//   - a HID interface with its hid device (whose uevent carries HID_ID, HID_NAME, HID_UNIQ
//     and HID_PHYS ending in /input<N>, and whose report_descriptor is the scanner's) and the
//     hidraw node below that.
// The testbed holds the sysfs tree only; the emulated nodes (emulated_nodes.h) make the device
// nodes they serve.
#pragma once

#include <umockdev.h>

#include <cstdint>
#include <string>
#include <vector>

enum class UsbFunction : std::uint8_t {
    VendorBulk,  // class 0xFF, bulk IN 0x81 and bulk OUT 0x02, no driver bound
    Serial,      // CDC ACM communication interface (class 0x02, cdc_acm) with a ttyACM node
    SerialData,  // CDC data interface (class 0x0A, cdc_acm), no node
    Hid,         // class 0x03, usbhid; a hid device and its hidraw node
};

constexpr std::uint8_t BULK_IN_ENDPOINT = 0x81;
constexpr std::uint8_t BULK_OUT_ENDPOINT = 0x02;

struct UsbInterfaceDescription {
    std::uint8_t number = 0;
    UsbFunction function = UsbFunction::VendorBulk;
    std::string node;  // Serial: "ttyACMn"; Hid: "hidrawN"; empty for the others
};

struct UsbDeviceDescription {
    std::string port;  // kernel name below the root hub of bus 1, such as "1-4"
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint32_t deviceNumber = 0;  // devnum on bus 1, 2 to 127
    std::string serial = "SF0001";
    std::vector<UsbInterfaceDescription> interfaces;
    // Each hid device's HID_PHYS ends in "/input<N>", its interface number, as the kernel
    // writes it. Without it the phys names no interface (see the Wine host).
    bool physNamesInterface = true;
};

// Single-interface vendor bulk scanner.
UsbDeviceDescription BulkScanner(const std::string& port, std::uint16_t vendorId,
                                 std::uint16_t productId, std::uint32_t deviceNumber);
// Composite CDC ACM scanner: interface 0 with the tty node, interface 1 its data interface.
UsbDeviceDescription SerialScanner(const std::string& port, std::uint16_t vendorId,
                                   std::uint16_t productId, std::uint32_t deviceNumber,
                                   const std::string& tty);
// HID scanner. Single-interface with one node; composite (two HID interfaces) with a node
// for each, the first on interface 0.
UsbDeviceDescription HidScanner(const std::string& port, std::uint16_t vendorId,
                                std::uint16_t productId, std::uint32_t deviceNumber,
                                const std::vector<std::string>& hidraw);

// The scanner's HID report descriptor (vendor usage page 0xFF00): input report 2 and output
// report 4 of 63 data bytes each, feature report 0xFE of 1 data byte.
const std::vector<std::uint8_t>& ScannerReportDescriptor();

// The device's description in umockdev's text format (umockdev_testbed_add_from_string);
// hidSequence numbers its hid devices from there on ("0003:VVVV:PPPP.NNNN").
std::string DescribeUsbDevice(const UsbDeviceDescription& device, std::uint32_t& hidSequence);

// The usbfs node of a device on bus 1: "/dev/bus/usb/001/DDD".
std::string UsbfsNodePath(std::uint32_t deviceNumber);

class ScannerTestbed {
  public:
    // A new testbed in a temporary directory, holding the root hub of bus 1.
    ScannerTestbed();
    // Removes the directory; nothing may run under it any more.
    ~ScannerTestbed();
    ScannerTestbed(const ScannerTestbed&) = delete;
    ScannerTestbed& operator=(const ScannerTestbed&) = delete;

    // False (with the reason on standard error) when umockdev refuses the description.
    bool Add(const UsbDeviceDescription& device);
    // A device node nobody may open: mode 0, so that an open without the power to override
    // file permissions fails with EACCES.
    bool AddInaccessibleNode(const std::string& devnode);
    // Sends the uevent ("remove") of the device that a class link ("/sys/class/hidraw/
    // hidraw0") leads to, to the programs under the preload that watch udev.
    bool Uevent(const std::string& classLink, const char* action);

    UMockdevTestbed* Get() const { return testbed_; }
    // The testbed's root: UMOCKDEV_DIR for a program that runs under it.
    const std::string& Root() const { return root_; }
    // Where devnode ("/dev/hidraw0") lies in the testbed.
    std::string NodePath(const std::string& devnode) const { return root_ + devnode; }

  private:
    UMockdevTestbed* testbed_;
    std::string root_;
    std::uint32_t hidSequence_ = 1;
};
