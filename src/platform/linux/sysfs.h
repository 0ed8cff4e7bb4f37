// Reading the USB part of sysfs: attribute files, directory listings, and the USB interface
// and device above a class device such as a hidraw or tty node. The root is a parameter, so
// the same code reads /sys and a fixture tree of the same shape. Every failure (a missing,
// unreadable or malformed file) answers false, and the caller skips what it was judging.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// An attribute file's text without its trailing newline; false when it cannot be read or is
// longer than an attribute of interest here can be (63 bytes).
bool ReadAttribute(const std::string& directory, const char* name, std::string& text);
// Hex attributes as the kernel writes them ("%04x", "%02x"): 1 to maxDigits hex digits and
// nothing else.
bool ReadHexAttribute(const std::string& directory, const char* name, std::uint32_t maxDigits,
                      std::uint32_t& value);
// Decimal attributes ("%d", "%2d": leading blanks allowed), at most 65535.
bool ReadDecimalAttribute(const std::string& directory, const char* name, std::uint32_t& value);

// The names in a directory, sorted, without "." and ".."; empty when it cannot be read.
std::vector<std::string> ListDirectory(const std::string& directory);

// The names in one of sysfs's lists, <sys>/<group>/<list> ("bus", "usb/devices"; "class",
// "hidraw"), sorted; false when the list cannot be read. A list that is missing while
// <sys>/<group> reads is an empty one: the kernel has no such bus or class (no USB support, no
// hidraw driver loaded). Anything else (sysfs not mounted, no permission, a failing read) is
// no list at all, which the caller reports as such rather than as "nothing attached".
bool ListSysfsList(const std::string& sysRoot, const char* group, const char* list,
                   std::vector<std::string>& names);

// The symlink's or path's target with every link resolved; false when it does not resolve.
bool ResolvePath(const std::string& path, std::string& resolved);

// The last path component of a symlink's target (a bound driver's name); empty without one.
std::string LinkTargetName(const std::string& link);

struct UsbDeviceInfo {
    std::string directory;  // resolved
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
};

struct UsbInterfaceInfo {
    std::string directory;  // resolved
    std::uint8_t number = 0;
    std::uint8_t interfaceClass = 0;
};

// A USB device directory: idVendor and idProduct of four hex digits each. Interface
// directories have neither, so this also tells devices from interfaces.
bool ReadUsbDevice(const std::string& directory, UsbDeviceInfo& device);
// A USB interface directory: bInterfaceNumber and bInterfaceClass.
bool ReadUsbInterface(const std::string& directory, UsbInterfaceInfo& interface);
// bNumInterfaces of the device's active configuration; false when it cannot be read (an
// unconfigured device has none).
bool ReadInterfaceCount(const UsbDeviceInfo& device, std::uint32_t& count);

// The interfaces of a device's active configuration: its child directories named
// "<device>:<configuration>.<interface>" that read as interfaces.
std::vector<UsbInterfaceInfo> ListUsbInterfaces(const UsbDeviceInfo& device);

// Walks up from a class device entry (such as <sys>/class/tty/ttyACM0, a symlink into the
// device tree) to the nearest USB interface above it and that interface's device. False when
// no USB interface lies above it below sysRoot (a main-board serial port, a Bluetooth HID).
bool FindUsbParent(const std::string& classEntry, const std::string& sysRoot,
                   UsbInterfaceInfo& interface, UsbDeviceInfo& device);

// The USB device with the given bus and device numbers among <sys>/bus/usb/devices.
bool FindUsbDeviceByAddress(const std::string& sysRoot, std::uint32_t busNumber,
                            std::uint32_t deviceNumber, UsbDeviceInfo& device);

struct BulkEndpoints {
    std::uint8_t in = 0;   // endpoint address with the direction bit, 0x81 to 0x8F
    std::uint8_t out = 0;  // 0x01 to 0x0F
};
// The first bulk IN and the first bulk OUT endpoint among the interface's ep_XX directories;
// false unless it has both.
bool FindBulkEndpoints(const std::string& interfaceDirectory, BulkEndpoints& endpoints);
