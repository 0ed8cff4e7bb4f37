#include "platform/linux/linux_device_source.h"

#include <cstdio>
#include <utility>
#include <vector>

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

// The identity of a class device (hidraw, tty) from the USB interface above it, and the USB
// device that interface belongs to; Taken when there is one and it reads.
CandidateVerdict ClassDeviceIdentity(const std::string& classEntry, const std::string& sysRoot,
                                     UsbIdentity& identity, UsbDeviceInfo& device) {
    UsbInterfaceInfo interface;
    std::uint32_t interfaceCount = 0;
    if (!FindUsbParent(classEntry, sysRoot, interface, device)) {
        return CandidateVerdict::NoUsbInterface;
    }
    if (!ReadInterfaceCount(device, interfaceCount)) {
        return CandidateVerdict::Unreadable;
    }
    identity = IdentityOf(device, interface, interfaceCount);
    return CandidateVerdict::Taken;
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

// A USB device as a selector knows it: its sysfs name ("1-2.3") is both what tells it apart
// and its location; the serial number is its "serial" attribute, when it has one.
bool DescribeDevice(const UsbDeviceInfo& device, PhysicalDevice& physical) {
    const std::size_t slash = device.directory.rfind('/');
    const std::u16string name = Utf8ToUtf16(device.directory.substr(slash + 1));
    std::string serial;
    if (!ReadSerialNumber(device.directory, serial)) {
        serial.clear();
    }
    return FillPhysicalDevice(physical, name.c_str(), Utf8ToUtf16(serial).c_str(), name.c_str());
}

// No kernel driver holds the interface, or a program holds it through usbfs.
bool FreeForUsbfs(const UsbInterfaceInfo& interface) {
    const std::string driver = LinkTargetName(interface.directory + "/driver");
    return driver.empty() || driver == USBFS_DRIVER;
}

}  // namespace

LinuxDeviceSource::LinuxDeviceSource(std::string sysRoot, std::string devRoot)
    : sysRoot_(std::move(sysRoot)), devRoot_(std::move(devRoot)) {}

CandidateReport LinuxDeviceSource::Describe(CandidateSource source, const std::string& path,
                                            const std::string& portName,
                                            const UsbIdentity* identity,
                                            const UsbDeviceInfo* usbDevice,
                                            CandidateTexts& texts) const {
    texts.path = Utf8ToUtf16(path);
    texts.portName = Utf8ToUtf16(portName);
    CandidateReport candidate;
    candidate.source = source;
    candidate.path = texts.path.c_str();
    candidate.portName = portName.empty() ? nullptr : texts.portName.c_str();
    if (identity != nullptr) {
        candidate.identityKnown = true;
        candidate.identity = *identity;
        candidate.productKind = ClassifyProduct(identity->vendorId, identity->productId);
    }
    if (usbDevice != nullptr && DescribeDevice(*usbDevice, texts.device)) {
        candidate.device = &texts.device;
    }
    return candidate;
}

CandidateVerdict LinuxDeviceSource::ChooseEntry(CandidateSource source, const std::string& path,
                                                const std::string& portName,
                                                const UsbIdentity& identity,
                                                const UsbDeviceInfo& usbDevice,
                                                CandidateVerdict verdict) const {
    if (!Choosing()) {
        return verdict;
    }
    CandidateTexts texts;
    return Choose(Describe(source, path, portName, &identity, &usbDevice, texts), verdict);
}

void LinuxDeviceSource::ReportCandidate(CandidateSource source, const std::string& path,
                                        const std::string& portName, const UsbIdentity* identity,
                                        const UsbDeviceInfo* usbDevice, LinkKind linkKind,
                                        CandidateVerdict verdict) const {
    if (Observer() == nullptr) {
        return;
    }
    CandidateTexts texts;
    CandidateReport candidate = Describe(source, path, portName, identity, usbDevice, texts);
    candidate.linkKind = linkKind;
    candidate.verdict = verdict;
    Report(candidate);
}

bool LinuxDeviceSource::List(CandidateSource source, const char* group, const char* list,
                             std::vector<std::string>& names) {
    if (ListSysfsList(sysRoot_, group, list, names)) {
        return true;
    }
    const std::u16string path = Utf8ToUtf16(sysRoot_ + "/" + group + "/" + list);
    ReportListUnavailable(source, path.c_str());
    return false;
}

std::uint32_t LinuxDeviceSource::CountUsbDevices() {
    const std::string devices = sysRoot_ + "/bus/usb/devices";
    std::uint32_t count = 0;
    std::vector<std::string> names;
    if (!List(CandidateSource::UsbDevice, "bus", "usb/devices", names)) {
        return 0;
    }
    for (const std::string& name : names) {
        UsbDeviceInfo device;
        // Interfaces are listed here too; they read as no device.
        if (!ReadUsbDevice(devices + "/" + name, device)) {
            continue;
        }
        UsbIdentity identity;
        identity.vendorId = device.vendorId;
        identity.productId = device.productId;
        const std::string path = devices + "/" + name;
        CandidateVerdict verdict = JudgeUsbDevice(identity);
        if (verdict == CandidateVerdict::Counted) {
            verdict = ChooseEntry(CandidateSource::UsbDevice, path, "", identity, device, verdict);
        }
        if (verdict == CandidateVerdict::Counted) {
            ++count;
        }
        ReportCandidate(CandidateSource::UsbDevice, path, "", &identity, &device,
                        LinkKind::Unsupported, verdict);
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
    std::vector<std::string> names;
    if (!List(CandidateSource::VendorInterface, "bus", "usb/devices", names)) {
        return written;
    }
    for (const std::string& name : names) {
        const std::string directory = devices + "/" + name;
        UsbDeviceInfo device;
        if (!ReadUsbDevice(directory, device)) {
            continue;
        }
        std::uint32_t interfaceCount = 0;
        std::uint32_t busNumber = 0;
        std::uint32_t deviceNumber = 0;
        if (!ReadInterfaceCount(device, interfaceCount) ||
            !ReadDecimalAttribute(directory, "busnum", busNumber) ||
            !ReadDecimalAttribute(directory, "devnum", deviceNumber)) {
            UsbIdentity identity;
            identity.vendorId = device.vendorId;
            identity.productId = device.productId;
            ReportCandidate(CandidateSource::VendorInterface, directory, "", &identity, &device,
                            LinkKind::Unsupported, CandidateVerdict::Unreadable);
            continue;
        }
        for (const UsbInterfaceInfo& interface : ListUsbInterfaces(device)) {
            const UsbIdentity identity = IdentityOf(device, interface, interfaceCount);
            char node[48];
            std::snprintf(node, sizeof node, "/bus/usb/%03u/%03u#if%u", busNumber, deviceNumber,
                          static_cast<unsigned>(interface.number));
            const std::string path = devRoot_ + node;
            LinkKind kind = LinkKind::Unsupported;
            BulkEndpoints endpoints;
            CandidateVerdict verdict = CandidateVerdict::Taken;
            if (interface.interfaceClass != VENDOR_SPECIFIC_CLASS) {
                verdict = CandidateVerdict::NotVendorSpecific;
            } else if (!FreeForUsbfs(interface)) {
                verdict = CandidateVerdict::HeldByDriver;
            } else if (!FindBulkEndpoints(interface.directory, endpoints)) {
                verdict = CandidateVerdict::NoBulkEndpoints;
            } else {
                verdict = JudgeInterfaceIdentity(identity, false, kind);
            }
            if (verdict == CandidateVerdict::Taken) {
                verdict = ChooseEntry(CandidateSource::VendorInterface, path, "", identity, device,
                                      verdict);
            }
            if (verdict == CandidateVerdict::Taken &&
                !FillRecord(table[written], path, identity, kind)) {
                verdict = CandidateVerdict::PathTooLong;
            }
            const bool taken = verdict == CandidateVerdict::Taken;
            ReportCandidate(CandidateSource::VendorInterface, path, "", &identity, &device,
                            taken ? kind : LinkKind::Unsupported, verdict);
            if (taken && ++written == DEVICE_RECORD_TABLE_SIZE) {
                return written;
            }
        }
    }
    return written;
}

std::uint32_t LinuxDeviceSource::ScanHidraw(DeviceRecord* table, std::uint32_t written) {
    const std::string nodes = sysRoot_ + "/class/hidraw";
    std::vector<std::string> names;
    if (!List(CandidateSource::HidInterface, "class", "hidraw", names)) {
        return written;
    }
    for (const std::string& name : names) {
        const std::string path = devRoot_ + "/" + name;
        UsbIdentity identity;
        UsbDeviceInfo device;
        LinkKind kind = LinkKind::Unsupported;
        CandidateVerdict verdict =
            ClassDeviceIdentity(nodes + "/" + name, sysRoot_, identity, device);
        const bool identified = verdict == CandidateVerdict::Taken;
        if (identified) {
            verdict = JudgeInterfaceIdentity(identity, true, kind);
        }
        if (verdict == CandidateVerdict::Taken) {
            verdict =
                ChooseEntry(CandidateSource::HidInterface, path, "", identity, device, verdict);
        }
        if (verdict == CandidateVerdict::Taken &&
            !FillRecord(table[written], path, identity, kind)) {
            verdict = CandidateVerdict::PathTooLong;
        }
        const bool taken = verdict == CandidateVerdict::Taken;
        ReportCandidate(CandidateSource::HidInterface, path, "", identified ? &identity : nullptr,
                        identified ? &device : nullptr, taken ? kind : LinkKind::Unsupported,
                        verdict);
        if (taken && ++written == DEVICE_RECORD_TABLE_SIZE) {
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
    std::vector<std::string> names;
    if (!List(CandidateSource::Port, "class", "tty", names)) {
        return 0;
    }
    for (const std::string& name : names) {
        // Consoles, pseudo terminals and main-board ports are no candidates at all.
        if (!IsUsbSerialName(name)) {
            continue;
        }
        const std::string path = devRoot_ + "/" + name;
        UsbIdentity identity;
        UsbDeviceInfo device;
        CandidateVerdict verdict =
            ClassDeviceIdentity(nodes + "/" + name, sysRoot_, identity, device);
        const bool identified = verdict == CandidateVerdict::Taken;
        if (identified) {
            verdict = JudgePortIdentity(identity);
        }
        if (verdict == CandidateVerdict::Taken) {
            verdict = ChooseEntry(CandidateSource::Port, path, name, identity, device, verdict);
        }
        if (verdict == CandidateVerdict::Taken &&
            !FillRecord(first[written], path, identity, LinkKind::SerialPort)) {
            verdict = CandidateVerdict::PathTooLong;
        }
        const bool taken = verdict == CandidateVerdict::Taken;
        ReportCandidate(CandidateSource::Port, path, name, identified ? &identity : nullptr,
                        identified ? &device : nullptr,
                        taken ? LinkKind::SerialPort : LinkKind::Unsupported, verdict);
        if (taken && ++written == limit) {
            break;
        }
    }
    return written;
}
