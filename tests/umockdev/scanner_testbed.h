// Scanners described in a umockdev testbed the way the kernel (6.1) shows them in sysfs, for
// a program that runs under umockdev's preload: the Linux scanflash, or Wine with the Windows
// one. Every scanner is a high-speed USB device (speed 480, bulk endpoints of 512 bytes) below
// the root hub of bus 1 with its interfaces, their endpoints and class devices:
//   - a vendor-specific interface with a bulk IN and a bulk OUT endpoint and no driver, free
//     for usbfs (node /dev/bus/usb/001/DDD);
//   - a CDC ACM function as an interface association: the communication interface (2/2/1,
//     cdc_acm, an interrupt endpoint, bmCapabilities) with its ttyACM node, and the data
//     interface (10/0/0, bulk endpoints); the device's own class is 00;
//   - a HID interface (interrupt endpoints 0x81 IN and 0x02 OUT of 64 bytes) with its hid
//     device (whose uevent carries HID_ID, HID_NAME, HID_UNIQ and HID_PHYS ending in
//     /input<N>, and whose report_descriptor is the scanner's), the hidraw node below that,
//     and the usbmisc hiddev node beside it.
// As the kernel writes them, uevent files name DEVNAME relative to /dev and carry no
// SUBSYSTEM line, and the bus gives every device plugged in (again) the next device number.
// The testbed holds the sysfs tree only; the emulated nodes (emulated_nodes.h) make the device
// nodes they serve (the hiddev node is not made: nothing here opens it).
#pragma once

#include <umockdev.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum class UsbFunction : std::uint8_t {
    VendorBulk,  // class 0xFF, bulk IN 0x81 and bulk OUT 0x02, no driver bound
    Serial,      // CDC ACM communication interface (2/2/1, cdc_acm, interrupt IN 0x83) with a
                 // ttyACM node; it and the data interface after it form one association
    SerialData,  // CDC data interface (class 0x0A, cdc_acm, bulk IN 0x81, OUT 0x02), no node
    Hid,         // class 0x03, usbhid, interrupt IN 0x81 and OUT 0x02; a hid device with its
                 // hidraw node, and a hiddev node
};

constexpr std::uint8_t BULK_IN_ENDPOINT = 0x81;
constexpr std::uint8_t BULK_OUT_ENDPOINT = 0x02;
constexpr std::uint8_t HID_IN_ENDPOINT = 0x81;
constexpr std::uint8_t HID_OUT_ENDPOINT = 0x02;

struct UsbInterfaceDescription {
    std::uint8_t number = 0;
    UsbFunction function = UsbFunction::VendorBulk;
    std::string node;  // Serial: "ttyACMn"; Hid: "hidrawN"; empty for the others
};

// A device as it is built; the bus gives it its device number as it is plugged in.
struct UsbDeviceDescription {
    std::string port;  // kernel name below the root hub of bus 1, such as "1-4"
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string serial = "SF0001";
    std::vector<UsbInterfaceDescription> interfaces;
    // Each hid device's HID_PHYS ends in "/input<N>", its interface number, as the kernel
    // writes it. Without it the phys names no interface (see the Wine host).
    bool physNamesInterface = true;
};

// Single-interface vendor bulk scanner.
UsbDeviceDescription BulkScanner(const std::string& port, std::uint16_t vendorId,
                                 std::uint16_t productId);
// Composite CDC ACM scanner: interface 0 with the tty node, interface 1 its data interface.
UsbDeviceDescription SerialScanner(const std::string& port, std::uint16_t vendorId,
                                   std::uint16_t productId, const std::string& tty);
// HID scanner. Single-interface with one node; composite (two HID interfaces) with a node
// for each, the first on interface 0.
UsbDeviceDescription HidScanner(const std::string& port, std::uint16_t vendorId,
                                std::uint16_t productId, const std::vector<std::string>& hidraw);

// The scanner's HID report descriptor (vendor usage page 0xFF00): input report 2 and output
// report 4 of 63 data bytes each, feature report 0xFE of 1 data byte.
const std::vector<std::uint8_t>& ScannerReportDescriptor();

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

    // Plugs the device in with the bus's next device number. False (with the reason on
    // standard error) when umockdev refuses the description, a device is plugged in at its
    // port already, or the bus has no number left.
    bool Add(const UsbDeviceDescription& device);
    // Unplugs the device at port with its interfaces and class devices (their nodes go too);
    // Add plugs it in again, under a new number. False when nothing is plugged in there.
    bool Unplug(const std::string& port);
    // The device number the device at port got, or 0 when nothing is plugged in there.
    std::uint32_t DeviceNumber(const std::string& port) const;
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
    // umockdev adds its own SUBSYSTEM line to every uevent file; the kernel writes none.
    void DropSubsystemLines() const;

    UMockdevTestbed* testbed_;
    std::string root_;
    std::map<std::string, std::uint32_t> deviceNumbers_;  // by port, while plugged in
    std::uint32_t nextDeviceNumber_ = 2;                  // the root hub has 1
    std::uint32_t hidSequence_ = 1;
    std::uint32_t hiddevNumber_ = 0;
};
