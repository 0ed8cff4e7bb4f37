#include "discovery/selection.h"

#include <cstring>

#include "link/device_link.h"

namespace {

constexpr std::uint32_t PATH_MIN_UNITS = 64;
constexpr std::uint32_t LOWERED_PATH_BYTES = 1020;
constexpr std::uint32_t PORT_NAME_BUFFER_BYTES = 64;
constexpr std::uint32_t PORT_NAME_READ_BYTES = 62;
constexpr std::uint32_t HARDWARE_PATH_BUFFER_BYTES = INSTANCE_ID_UNITS * 2;
constexpr std::uint32_t HARDWARE_PATH_READ_BYTES = HARDWARE_PATH_BUFFER_BYTES - 2;
constexpr std::uint32_t PORT_NUMBER_MAX = 65535;
constexpr std::uint32_t INTERFACE_FLAGS = DIGCF_PRESENT_FLAG | DIGCF_DEVICEINTERFACE_FLAG;
// How far up the device tree the USB device of an interface or port is looked for: a HID
// collection sits two levels below it (HID node, USB interface node, USB device).
constexpr std::uint32_t DEVICE_TREE_LEVELS = 8;

constexpr char16_t USB_PATH_PREFIX[] = u"\\\\?\\usb#";
constexpr char16_t HID_PATH_PREFIX[] = u"\\\\?\\hid#";
constexpr char16_t VENDOR_BUS_PREFIX[] = u"qrn_vbus\\qrn_vcom\\";
constexpr char16_t USB_INSTANCE_PREFIX[] = u"usb\\";

struct InterfaceClass {
    const Guid* guid;
    const char16_t* prefix;
    bool keepsInterfaceOne;  // identities with an interface number: only interface 1 is kept
    CandidateSource source;
};

const InterfaceClass INTERFACE_CLASSES[] = {
    {&VENDOR_INTERFACE_CLASS, USB_PATH_PREFIX, false, CandidateSource::VendorInterface},
    {&HID_INTERFACE_CLASS, HID_PATH_PREFIX, true, CandidateSource::HidInterface},
};

CandidateReport Candidate(CandidateSource source, const char16_t* path) {
    CandidateReport candidate;
    candidate.source = source;
    candidate.path = path;
    return candidate;
}

// An entry of a source that the database could not give.
CandidateReport DatabaseFailure(CandidateSource source, CandidateVerdict verdict) {
    CandidateReport candidate = Candidate(source, nullptr);
    candidate.verdict = verdict;
    return candidate;
}

void KnowIdentity(CandidateReport& candidate, const UsbIdentity& identity) {
    candidate.identityKnown = true;
    candidate.identity = identity;
    candidate.productKind = ClassifyProduct(identity.vendorId, identity.productId);
}

// The path test: at least 64 units, the prefix and a valid identity, judged on a lower-cased
// copy. A path that does not fit the copy fails too (the database never reports one). Taken
// when the path passes, with the identity in candidate.
CandidateVerdict PathTest(const char16_t* path, const char16_t* prefix,
                          CandidateReport& candidate) {
    char16_t lowered[LOWERED_PATH_BYTES / 2] = {};
    const std::size_t length = WideLength(path);
    if (length >= LOWERED_PATH_BYTES / 2) {
        return CandidateVerdict::PathTooLong;
    }
    CopyWide(lowered, path);
    LowerAscii(lowered);
    if (length < PATH_MIN_UNITS) {
        return CandidateVerdict::PathTooShort;
    }
    const char16_t* cursor = lowered;
    if (!SkipPrefix(prefix, cursor)) {
        return CandidateVerdict::WrongPrefix;
    }
    UsbIdentity identity;
    if (!ParseUsbIdentity(cursor, identity)) {
        return CandidateVerdict::NoIdentity;
    }
    KnowIdentity(candidate, identity);
    return CandidateVerdict::Taken;
}

// Kind 0: the vendor, or the vendor's product table, is the reason.
CandidateVerdict UnsupportedVerdict(const UsbIdentity& identity) {
    return IsSupportedVendor(identity.vendorId) ? CandidateVerdict::UnsupportedProduct
                                                : CandidateVerdict::UnknownVendor;
}

// A COM port name: "COM" in any case and a decimal number from 1 to 65535, leading zeros
// allowed.
bool IsComPortName(const char16_t* name) {
    const char16_t* digits = StartsWithNoCase(name, u"COM");
    if (digits == nullptr || *digits == 0) {
        return false;
    }
    std::uint32_t number = 0;
    for (; *digits != 0; ++digits) {
        if (*digits < u'0' || *digits > u'9') {
            return false;
        }
        number = number * 10 + static_cast<std::uint32_t>(*digits - u'0');
        if (number > PORT_NUMBER_MAX) {
            return false;
        }
    }
    return number != 0;
}

// "usb\vid_XXXX&pid_XXXX\..." without an interface number: the node of a whole USB device,
// not of one of its interfaces.
bool IsUsbDeviceId(const char16_t* instanceId) {
    char16_t lowered[INSTANCE_ID_UNITS] = {};
    if (WideLength(instanceId) >= INSTANCE_ID_UNITS) {
        return false;
    }
    CopyWide(lowered, instanceId);
    LowerAscii(lowered);
    const char16_t* cursor = lowered;
    UsbIdentity identity;
    return SkipPrefix(USB_INSTANCE_PREFIX, cursor) && ParseUsbIdentity(cursor, identity) &&
           !identity.hasInterface;
}

// A USB device's instance identifier ends in its serial number when it has one; otherwise
// Windows makes up an instance of its own, which always holds an "&". Writes the serial
// number, or nothing, into serial.
void SerialNumberOf(const char16_t* usbDeviceId, char16_t* serial) {
    serial[0] = 0;
    const char16_t* instance = usbDeviceId;
    for (int separators = 0; separators < 2; ++instance) {
        if (*instance == 0) {
            return;
        }
        if (*instance == u'\\') {
            ++separators;
        }
    }
    for (const char16_t* at = instance; *at != 0; ++at) {
        if (*at == u'&' || *at == u'\\') {
            return;
        }
    }
    CopyWide(serial, instance);
}

bool ReadString(DeviceDatabase& database, RegistryKeyHandle key, const char16_t* name,
                std::uint8_t* buffer, std::uint32_t readBytes, bool needsStringType) {
    std::uint32_t type = 0;
    std::uint32_t size = readBytes;
    if (database.QueryValue(key, name, type, buffer, size) != REGISTRY_SUCCESS) {
        return false;
    }
    return !needsStringType || type == REG_SZ_TYPE;
}

}  // namespace

void DeviceSource::ReportListUnavailable(CandidateSource source, const char16_t* path) {
    ++unavailableLists_;
    CandidateReport candidate = Candidate(source, path);
    candidate.verdict = CandidateVerdict::ListUnavailable;
    Report(candidate);
}

CandidateVerdict JudgeUsbDevice(const UsbIdentity& identity) {
    if (identity.hasInterface && identity.interfaceNumber != 1) {
        return CandidateVerdict::InterfaceNotKept;
    }
    if (ClassifyProduct(identity.vendorId, identity.productId) != LinkKind::Unsupported ||
        identity.vendorId == VENDOR_A) {
        return CandidateVerdict::Counted;
    }
    return UnsupportedVerdict(identity);
}

CandidateVerdict JudgeInterfaceIdentity(const UsbIdentity& identity, bool keepsInterfaceOne,
                                        LinkKind& kind) {
    if (identity.hasInterface && !(keepsInterfaceOne && identity.interfaceNumber == 1)) {
        return CandidateVerdict::InterfaceNotKept;
    }
    kind = ClassifyProduct(identity.vendorId, identity.productId);
    switch (kind) {
        case LinkKind::HidComposite:
            if (!identity.hasInterface) {
                return CandidateVerdict::NeedsInterfaceOne;
            }
            kind = LinkKind::HidFeature;
            return CandidateVerdict::Taken;
        case LinkKind::VendorBulk:
        case LinkKind::Hid:
            return CandidateVerdict::Taken;
        case LinkKind::Unsupported:
            return UnsupportedVerdict(identity);
        default:
            return CandidateVerdict::KindNotTaken;
    }
}

CandidateVerdict JudgePortIdentity(const UsbIdentity& identity) {
    switch (ClassifyProduct(identity.vendorId, identity.productId)) {
        case LinkKind::VendorBulk:
        case LinkKind::SerialA:
        case LinkKind::SerialB:
            return CandidateVerdict::Taken;
        case LinkKind::Unsupported:
            return UnsupportedVerdict(identity);
        default:
            return CandidateVerdict::KindNotTaken;
    }
}

std::uint32_t DatabaseDeviceSource::CountUsbDevices() {
    const DeviceListHandle list =
        database_.GetClassDevices(USB_DEVICE_INTERFACE_CLASS, INTERFACE_FLAGS);
    if (list == NO_DEVICE_LIST) {
        ReportListUnavailable(CandidateSource::UsbDevice, nullptr);
        return 0;
    }
    std::uint32_t count = 0;
    for (std::uint32_t index = 0;; ++index) {
        char16_t path[INTERFACE_PATH_UNITS] = {};
        if (!database_.EnumDeviceInterface(list, USB_DEVICE_INTERFACE_CLASS, index)) {
            break;
        }
        if (!database_.GetDeviceInterfacePath(list, path)) {
            Report(DatabaseFailure(CandidateSource::UsbDevice, CandidateVerdict::NotDescribed));
            break;
        }
        CandidateReport candidate = Candidate(CandidateSource::UsbDevice, path);
        PhysicalDevice device;
        candidate.verdict = PathTest(path, USB_PATH_PREFIX, candidate);
        if (candidate.verdict == CandidateVerdict::Taken) {
            KnowDevice(list, candidate, device);
            candidate.verdict = JudgeUsbDevice(candidate.identity);
        }
        if (candidate.verdict == CandidateVerdict::Counted) {
            candidate.verdict = Choose(candidate, candidate.verdict);
        }
        if (candidate.verdict == CandidateVerdict::Counted) {
            ++count;
        }
        Report(candidate);
    }
    database_.DestroyDeviceList(list);
    return count;
}

std::uint32_t DatabaseDeviceSource::ScanInterfaceClasses(DeviceRecord* table) {
    std::uint32_t written = 0;
    for (const InterfaceClass& interfaceClass : INTERFACE_CLASSES) {
        if (written >= DEVICE_RECORD_TABLE_SIZE) {
            break;
        }
        const DeviceListHandle list =
            database_.GetClassDevices(*interfaceClass.guid, INTERFACE_FLAGS);
        if (list == NO_DEVICE_LIST) {
            ReportListUnavailable(interfaceClass.source, nullptr);
            continue;
        }
        for (std::uint32_t index = 0; written < DEVICE_RECORD_TABLE_SIZE; ++index) {
            char16_t path[INTERFACE_PATH_UNITS] = {};
            if (!database_.EnumDeviceInterface(list, *interfaceClass.guid, index)) {
                break;
            }
            if (!database_.GetDeviceInterfacePath(list, path)) {
                Report(DatabaseFailure(interfaceClass.source, CandidateVerdict::NotDescribed));
                break;
            }
            CandidateReport candidate = Candidate(interfaceClass.source, path);
            PhysicalDevice device;
            LinkKind kind = LinkKind::Unsupported;
            candidate.verdict = PathTest(path, interfaceClass.prefix, candidate);
            if (candidate.verdict == CandidateVerdict::Taken) {
                KnowDevice(list, candidate, device);
                candidate.verdict = JudgeInterfaceIdentity(candidate.identity,
                                                           interfaceClass.keepsInterfaceOne, kind);
            }
            if (candidate.verdict == CandidateVerdict::Taken) {
                candidate.verdict = Choose(candidate, candidate.verdict);
            }
            // A path longer than a record holds is skipped: it could not be opened as given.
            if (candidate.verdict == CandidateVerdict::Taken) {
                if (FillDeviceRecord(table[written], path, candidate.identity, kind)) {
                    candidate.linkKind = kind;
                    ++written;
                } else {
                    candidate.verdict = CandidateVerdict::PathTooLong;
                }
            }
            Report(candidate);
        }
        database_.DestroyDeviceList(list);
    }
    return written;
}

bool DatabaseDeviceSource::FindPhysicalDevice(const char16_t* instanceId, PhysicalDevice& device) {
    char16_t node[INSTANCE_ID_UNITS] = {};
    if (WideLength(instanceId) >= INSTANCE_ID_UNITS) {
        return false;
    }
    CopyWide(node, instanceId);
    for (std::uint32_t level = 0; level < DEVICE_TREE_LEVELS; ++level) {
        if (IsUsbDeviceId(node)) {
            char16_t serial[INSTANCE_ID_UNITS];
            char16_t location[INSTANCE_ID_UNITS] = {};
            SerialNumberOf(node, serial);
            if (!database_.GetDeviceLocation(node, location)) {
                location[0] = 0;
            }
            location[INSTANCE_ID_UNITS - 1] = 0;
            return FillPhysicalDevice(device, node, serial, location);
        }
        char16_t parent[INSTANCE_ID_UNITS] = {};
        if (!database_.GetParentDeviceId(node, parent)) {
            return false;
        }
        parent[INSTANCE_ID_UNITS - 1] = 0;
        CopyWide(node, parent);
    }
    return false;
}

void DatabaseDeviceSource::KnowDevice(DeviceListHandle list, CandidateReport& candidate,
                                      PhysicalDevice& device) {
    char16_t instanceId[INSTANCE_ID_UNITS] = {};
    if (DeviceWanted() && database_.GetInterfaceDeviceId(list, instanceId)) {
        instanceId[INSTANCE_ID_UNITS - 1] = 0;
        if (FindPhysicalDevice(instanceId, device)) {
            candidate.device = &device;
        }
    }
}

CandidateVerdict DatabaseDeviceSource::JudgePort(RegistryKeyHandle key, bool vendorBus,
                                                 char16_t* instanceId, char16_t* portName,
                                                 char16_t* deviceId, CandidateReport& candidate) {
    if (!ReadString(database_, key, u"PortName", reinterpret_cast<std::uint8_t*>(portName),
                    PORT_NAME_READ_BYTES, true)) {
        return CandidateVerdict::NoPortName;
    }
    candidate.portName = portName;
    if (!IsComPortName(portName)) {
        return CandidateVerdict::BadPortName;
    }
    if (vendorBus) {
        // The vendor bus keeps the USB identity in the device key; it stands in for the
        // instance identifier from here on.
        std::memset(instanceId, 0, HARDWARE_PATH_BUFFER_BYTES);
        if (!ReadString(database_, key, u"HardwareDevinstpath",
                        reinterpret_cast<std::uint8_t*>(instanceId), HARDWARE_PATH_READ_BYTES,
                        false)) {
            return CandidateVerdict::NoHardwarePath;
        }
        CopyWide(deviceId, instanceId);
        LowerAscii(instanceId);
        if (StartsWithNoCase(instanceId, USB_INSTANCE_PREFIX) == nullptr) {
            return CandidateVerdict::HardwarePathNotUsb;
        }
    }
    UsbIdentity identity;
    if (!ParseUsbIdentity(instanceId + 4, identity)) {
        return CandidateVerdict::NoIdentity;
    }
    KnowIdentity(candidate, identity);
    return JudgePortIdentity(identity);
}

std::uint32_t DatabaseDeviceSource::ScanComPorts(DeviceRecord* first, std::uint32_t limit) {
    const DeviceListHandle list = database_.GetClassDevices(PORTS_SETUP_CLASS, DIGCF_PRESENT_FLAG);
    if (list == NO_DEVICE_LIST) {
        ReportListUnavailable(CandidateSource::Port, nullptr);
        return 0;
    }
    std::uint32_t written = 0;
    for (std::uint32_t index = 0; written < limit; ++index) {
        if (!database_.EnumDevice(list, index)) {
            break;
        }
        char16_t instanceId[INSTANCE_ID_UNITS] = {};
        if (!database_.GetDeviceInstanceId(list, instanceId)) {
            Report(DatabaseFailure(CandidateSource::Port, CandidateVerdict::NoInstanceId));
            continue;
        }
        instanceId[INSTANCE_ID_UNITS - 1] = 0;
        // Reported in the letter case the database gave.
        char16_t shownId[INSTANCE_ID_UNITS];
        std::memcpy(shownId, instanceId, sizeof shownId);
        CandidateReport candidate = Candidate(CandidateSource::Port, shownId);
        LowerAscii(instanceId);
        const char16_t* cursor = instanceId;
        const bool vendorBus = SkipPrefix(VENDOR_BUS_PREFIX, cursor);
        if (!vendorBus && StartsWithNoCase(instanceId, USB_INSTANCE_PREFIX) == nullptr) {
            candidate.verdict = CandidateVerdict::NotUsbPort;
            Report(candidate);
            continue;
        }
        const RegistryKeyHandle key = database_.OpenDeviceKey(list);
        if (key == NO_REGISTRY_KEY) {
            candidate.verdict = CandidateVerdict::NoDeviceKey;
            Report(candidate);
            continue;
        }
        char16_t portName[PORT_NAME_BUFFER_BYTES / 2] = {};
        char16_t deviceId[INSTANCE_ID_UNITS];
        CopyWide(deviceId, shownId);
        PhysicalDevice device;
        candidate.verdict = JudgePort(key, vendorBus, instanceId, portName, deviceId, candidate);
        if (candidate.identityKnown && DeviceWanted() && FindPhysicalDevice(deviceId, device)) {
            candidate.device = &device;
        }
        if (candidate.verdict == CandidateVerdict::Taken) {
            candidate.verdict = Choose(candidate, candidate.verdict);
        }
        if (candidate.verdict == CandidateVerdict::Taken) {
            if (FillPortRecord(first[written], portName, candidate.identity)) {
                candidate.linkKind = LinkKind::SerialPort;
                ++written;
            } else {
                candidate.verdict = CandidateVerdict::PathTooLong;
            }
        }
        database_.CloseKey(key);
        Report(candidate);
    }
    database_.DestroyDeviceList(list);
    return written;
}

namespace {

SelectionOutcome RunStages(DeviceSource& source, bool chosen) {
    SelectionOutcome outcome;
    outcome.chosen = chosen;
    const std::uint32_t unavailableBefore = source.UnavailableLists();
    outcome.usbDevices = source.CountUsbDevices();
    if (outcome.usbDevices != 1) {
        outcome.result = outcome.usbDevices == 0 ? RESULT_NO_DEVICE : RESULT_MULTIPLE_DEVICES;
    } else {
        DeviceRecord table[DEVICE_RECORD_TABLE_SIZE];
        std::memset(table, 0, sizeof table);
        outcome.interfacesScanned = true;
        outcome.interfaceRecords = source.ScanInterfaceClasses(table);
        if (outcome.interfaceRecords < DEVICE_RECORD_TABLE_SIZE) {
            outcome.portsScanned = true;
            outcome.portRecords =
                source.ScanComPorts(table + outcome.interfaceRecords,
                                    DEVICE_RECORD_TABLE_SIZE - outcome.interfaceRecords);
        }
        const std::uint32_t found = outcome.interfaceRecords + outcome.portRecords;
        if (found == 0) {
            outcome.result = RESULT_NO_DEVICE;
        } else if (found >= DEVICE_RECORD_TABLE_SIZE) {
            outcome.result = RESULT_MULTIPLE_DEVICES;
        } else {
            outcome.result = RESULT_SUCCESS;
            std::memcpy(&outcome.record, &table[0], sizeof outcome.record);
        }
    }
    outcome.listUnavailable = source.UnavailableLists() != unavailableBefore;
    if (SelectionObserver* observer = source.Observer()) {
        observer->OnOutcome(outcome);
    }
    return outcome;
}

// Walks every source with nothing admitted, so that the candidate a path or port name names
// gives the choice its device. The observer hears none of it.
void ResolveChoice(DeviceSource& source, DeviceChoice& choice) {
    SelectionObserver* observer = source.Observer();
    source.SetObserver(nullptr);
    choice.BeginResolving();
    DeviceRecord table[DEVICE_RECORD_TABLE_SIZE];
    std::memset(table, 0, sizeof table);
    source.CountUsbDevices();
    source.ScanInterfaceClasses(table);
    source.ScanComPorts(table, DEVICE_RECORD_TABLE_SIZE);
    choice.EndResolving();
    source.SetObserver(observer);
}

}  // namespace

SelectionOutcome SelectDevice(DeviceSource& source, const DeviceSelector* selector) {
    if (selector == nullptr) {
        return RunStages(source, false);
    }
    DeviceChoice choice(*selector);
    source.SetChoice(&choice);
    if (choice.NeedsResolving()) {
        ResolveChoice(source, choice);
    }
    const SelectionOutcome outcome = RunStages(source, true);
    source.SetChoice(nullptr);
    return outcome;
}

ResultCode SelectAndOpenDevice(DeviceSource& source, DeviceLink& link,
                               const DeviceSelector* selector) {
    const SelectionOutcome outcome = SelectDevice(source, selector);
    if (outcome.result != RESULT_SUCCESS) {
        return outcome.result;
    }
    ResultCode result = RESULT_SUCCESS;
    link.Open(outcome.record, &result);
    return result;
}
