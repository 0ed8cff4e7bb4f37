#include "platform/linux/linux_device_source.h"

#include <cstdio>
#include <utility>

#include "common/wide_string.h"
#include "platform/linux/sysfs.h"

namespace {

constexpr std::uint8_t VENDOR_SPECIFIC_CLASS = 0xFF;
constexpr char USBFS_DRIVER[] = "usbfs";

UsbIdentity IdentityOf(const UsbDeviceInfo& device, const UsbInterfaceInfo& interface,
                       std::uint32_t interfaceCount) {
    UsbIdentity identity;
    identity.vendorId = device.vendorId;
    identity.productId = device.productId;
    identity.hasInterface = interfaceCount > 1;
    identity.interfaceNumber = interface.number;
    return identity;
}

// The identity of a class device (hidraw, tty) from the USB interface above it.
bool ClassDeviceIdentity(const std::string& classEntry, const std::string& sysRoot,
                         UsbIdentity& identity) {
    UsbInterfaceInfo interface;
    UsbDeviceInfo device;
    std::uint32_t interfaceCount = 0;
    if (!FindUsbParent(classEntry, sysRoot, interface, device) ||
        !ReadInterfaceCount(device, interfaceCount)) {
        return false;
    }
    identity = IdentityOf(device, interface, interfaceCount);
    return true;
}

bool FillRecord(DeviceRecord& record, const std::string& path, const UsbIdentity& identity,
                LinkKind kind) {
    return FillDeviceRecord(record, Utf8ToUtf16(path).c_str(), identity, kind);
}

// ttyACM or ttyUSB followed by one or more decimal digits.
bool IsUsbSerialName(const std::string& name) {
    std::size_t digits = 0;
    if (name.compare(0, 6, "ttyACM") == 0 || name.compare(0, 6, "ttyUSB") == 0) {
        digits = 6;
    } else {
        return false;
    }
    if (digits == name.size()) {
        return false;
    }
    for (std::size_t at = digits; at < name.size(); ++at) {
        if (name[at] < '0' || name[at] > '9') {
            return false;
        }
    }
    return true;
}

// No kernel driver holds the interface, or a program holds it through usbfs.
bool FreeForUsbfs(const UsbInterfaceInfo& interface) {
    const std::string driver = LinkTargetName(interface.directory + "/driver");
    return driver.empty() || driver == USBFS_DRIVER;
}

}  // namespace

LinuxDeviceSource::LinuxDeviceSource(std::string sysRoot, std::string devRoot)
    : sysRoot_(std::move(sysRoot)), devRoot_(std::move(devRoot)) {}

std::uint32_t LinuxDeviceSource::CountUsbDevices() {
    const std::string devices = sysRoot_ + "/bus/usb/devices";
    std::uint32_t count = 0;
    for (const std::string& name : ListDirectory(devices)) {
        UsbDeviceInfo device;
        if (!ReadUsbDevice(devices + "/" + name, device)) {
            continue;
        }
        UsbIdentity identity;
        identity.vendorId = device.vendorId;
        identity.productId = device.productId;
        if (CountsAsUsbDevice(identity)) {
            ++count;
        }
    }
    return count;
}

std::uint32_t LinuxDeviceSource::ScanInterfaceClasses(DeviceRecord* table) {
    std::uint32_t written = ScanBulkInterfaces(table, 0);
    if (written < DEVICE_RECORD_TABLE_SIZE) {
        written = ScanHidraw(table, written);
    }
    return written;
}

std::uint32_t LinuxDeviceSource::ScanBulkInterfaces(DeviceRecord* table, std::uint32_t written) {
    const std::string devices = sysRoot_ + "/bus/usb/devices";
    for (const std::string& name : ListDirectory(devices)) {
        const std::string directory = devices + "/" + name;
        UsbDeviceInfo device;
        std::uint32_t interfaceCount = 0;
        std::uint32_t busNumber = 0;
        std::uint32_t deviceNumber = 0;
        if (!ReadUsbDevice(directory, device) || !ReadInterfaceCount(device, interfaceCount) ||
            !ReadDecimalAttribute(directory, "busnum", busNumber) ||
            !ReadDecimalAttribute(directory, "devnum", deviceNumber)) {
            continue;
        }
        for (const UsbInterfaceInfo& interface : ListUsbInterfaces(device)) {
            BulkEndpoints endpoints;
            if (interface.interfaceClass != VENDOR_SPECIFIC_CLASS || !FreeForUsbfs(interface) ||
                !FindBulkEndpoints(interface.directory, endpoints)) {
                continue;
            }
            const UsbIdentity identity = IdentityOf(device, interface, interfaceCount);
            LinkKind kind = LinkKind::Unsupported;
            if (!AcceptInterfaceIdentity(identity, false, kind)) {
                continue;
            }
            char node[48];
            std::snprintf(node, sizeof node, "/bus/usb/%03u/%03u#if%u", busNumber, deviceNumber,
                          static_cast<unsigned>(interface.number));
            if (FillRecord(table[written], devRoot_ + node, identity, kind) &&
                ++written == DEVICE_RECORD_TABLE_SIZE) {
                return written;
            }
        }
    }
    return written;
}

std::uint32_t LinuxDeviceSource::ScanHidraw(DeviceRecord* table, std::uint32_t written) {
    const std::string nodes = sysRoot_ + "/class/hidraw";
    for (const std::string& name : ListDirectory(nodes)) {
        UsbIdentity identity;
        LinkKind kind = LinkKind::Unsupported;
        if (!ClassDeviceIdentity(nodes + "/" + name, sysRoot_, identity) ||
            !AcceptInterfaceIdentity(identity, true, kind)) {
            continue;
        }
        if (FillRecord(table[written], devRoot_ + "/" + name, identity, kind) &&
            ++written == DEVICE_RECORD_TABLE_SIZE) {
            break;
        }
    }
    return written;
}

std::uint32_t LinuxDeviceSource::ScanComPorts(DeviceRecord* first, std::uint32_t limit) {
    std::uint32_t written = 0;
    if (limit == 0) {
        return 0;
    }
    const std::string nodes = sysRoot_ + "/class/tty";
    for (const std::string& name : ListDirectory(nodes)) {
        UsbIdentity identity;
        if (!IsUsbSerialName(name) ||
            !ClassDeviceIdentity(nodes + "/" + name, sysRoot_, identity) ||
            !AcceptPortIdentity(identity)) {
            continue;
        }
        if (FillRecord(first[written], devRoot_ + "/" + name, identity, LinkKind::SerialPort) &&
            ++written == limit) {
            break;
        }
    }
    return written;
}
