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

constexpr char16_t USB_PATH_PREFIX[] = u"\\\\?\\usb#";
constexpr char16_t HID_PATH_PREFIX[] = u"\\\\?\\hid#";
constexpr char16_t VENDOR_BUS_PREFIX[] = u"qrn_vbus\\qrn_vcom\\";
constexpr char16_t USB_INSTANCE_PREFIX[] = u"usb\\";

struct InterfaceClass {
    const Guid* guid;
    const char16_t* prefix;
    bool keepsInterfaceOne;  // identities with an interface number: only interface 1 is kept
};

const InterfaceClass INTERFACE_CLASSES[] = {
    {&VENDOR_INTERFACE_CLASS, USB_PATH_PREFIX, false},
    {&HID_INTERFACE_CLASS, HID_PATH_PREFIX, true},
};

// The path test: at least 64 units, the prefix and a valid identity, judged on a lower-cased
// copy. A path that does not fit the copy fails too (the database never reports one).
bool PassesPathTest(const char16_t* path, const char16_t* prefix, UsbIdentity& identity) {
    char16_t lowered[LOWERED_PATH_BYTES / 2] = {};
    const std::size_t length = WideLength(path);
    if (length >= LOWERED_PATH_BYTES / 2) {
        return false;
    }
    CopyWide(lowered, path);
    LowerAscii(lowered);
    if (length < PATH_MIN_UNITS) {
        return false;
    }
    const char16_t* cursor = lowered;
    return SkipPrefix(prefix, cursor) && ParseUsbIdentity(cursor, identity);
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

bool CountsAsUsbDevice(const UsbIdentity& identity) {
    if (identity.hasInterface && identity.interfaceNumber != 1) {
        return false;
    }
    return ClassifyProduct(identity.vendorId, identity.productId) != LinkKind::Unsupported ||
           identity.vendorId == VENDOR_A;
}

bool AcceptInterfaceIdentity(const UsbIdentity& identity, bool keepsInterfaceOne, LinkKind& kind) {
    if (identity.hasInterface && !(keepsInterfaceOne && identity.interfaceNumber == 1)) {
        return false;
    }
    kind = ClassifyProduct(identity.vendorId, identity.productId);
    if (kind == LinkKind::HidComposite && identity.hasInterface) {
        kind = LinkKind::HidFeature;
        return true;
    }
    return kind == LinkKind::VendorBulk || kind == LinkKind::Hid;
}

bool AcceptPortIdentity(const UsbIdentity& identity) {
    const LinkKind kind = ClassifyProduct(identity.vendorId, identity.productId);
    return kind == LinkKind::VendorBulk || kind == LinkKind::SerialA || kind == LinkKind::SerialB;
}

std::uint32_t DatabaseDeviceSource::CountUsbDevices() {
    const DeviceListHandle list =
        database_.GetClassDevices(USB_DEVICE_INTERFACE_CLASS, INTERFACE_FLAGS);
    if (list == NO_DEVICE_LIST) {
        return 0;
    }
    std::uint32_t count = 0;
    for (std::uint32_t index = 0;; ++index) {
        char16_t path[INTERFACE_PATH_UNITS] = {};
        if (!database_.EnumDeviceInterface(list, USB_DEVICE_INTERFACE_CLASS, index) ||
            !database_.GetDeviceInterfacePath(list, path)) {
            break;
        }
        UsbIdentity identity;
        if (PassesPathTest(path, USB_PATH_PREFIX, identity) && CountsAsUsbDevice(identity)) {
            ++count;
        }
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
            continue;
        }
        for (std::uint32_t index = 0; written < DEVICE_RECORD_TABLE_SIZE; ++index) {
            char16_t path[INTERFACE_PATH_UNITS] = {};
            if (!database_.EnumDeviceInterface(list, *interfaceClass.guid, index) ||
                !database_.GetDeviceInterfacePath(list, path)) {
                break;
            }
            UsbIdentity identity;
            LinkKind kind = LinkKind::Unsupported;
            if (!PassesPathTest(path, interfaceClass.prefix, identity) ||
                !AcceptInterfaceIdentity(identity, interfaceClass.keepsInterfaceOne, kind)) {
                continue;
            }
            // A path longer than a record holds is skipped: it could not be opened as given.
            if (FillDeviceRecord(table[written], path, identity, kind)) {
                ++written;
            }
        }
        database_.DestroyDeviceList(list);
    }
    return written;
}

std::uint32_t DatabaseDeviceSource::ScanComPorts(DeviceRecord* first, std::uint32_t limit) {
    const DeviceListHandle list = database_.GetClassDevices(PORTS_SETUP_CLASS, DIGCF_PRESENT_FLAG);
    if (list == NO_DEVICE_LIST) {
        return 0;
    }
    std::uint32_t written = 0;
    for (std::uint32_t index = 0; written < limit; ++index) {
        if (!database_.EnumDevice(list, index)) {
            break;
        }
        char16_t instanceId[INSTANCE_ID_UNITS] = {};
        if (!database_.GetDeviceInstanceId(list, instanceId)) {
            continue;
        }
        instanceId[INSTANCE_ID_UNITS - 1] = 0;
        LowerAscii(instanceId);
        const char16_t* cursor = instanceId;
        const bool vendorBus = SkipPrefix(VENDOR_BUS_PREFIX, cursor);
        if (!vendorBus && StartsWithNoCase(instanceId, USB_INSTANCE_PREFIX) == nullptr) {
            continue;
        }
        const RegistryKeyHandle key = database_.OpenDeviceKey(list);
        if (key == NO_REGISTRY_KEY) {
            continue;
        }
        char16_t portName[PORT_NAME_BUFFER_BYTES / 2] = {};
        bool accepted =
            ReadString(database_, key, u"PortName", reinterpret_cast<std::uint8_t*>(portName),
                       PORT_NAME_READ_BYTES, true) &&
            IsComPortName(portName);
        if (accepted && vendorBus) {
            // The vendor bus keeps the USB identity in the device key; it stands in for the
            // instance identifier from here on.
            std::memset(instanceId, 0, sizeof instanceId);
            accepted = ReadString(database_, key, u"HardwareDevinstpath",
                                  reinterpret_cast<std::uint8_t*>(instanceId),
                                  HARDWARE_PATH_READ_BYTES, false);
            LowerAscii(instanceId);
            accepted = accepted && StartsWithNoCase(instanceId, USB_INSTANCE_PREFIX) != nullptr;
        }
        UsbIdentity identity;
        if (accepted) {
            accepted = ParseUsbIdentity(instanceId + 4, identity);
        }
        accepted = accepted && AcceptPortIdentity(identity);
        if (accepted && FillPortRecord(first[written], portName, identity)) {
            ++written;
        }
        database_.CloseKey(key);
    }
    database_.DestroyDeviceList(list);
    return written;
}

ResultCode SelectAndOpenDevice(DeviceSource& source, DeviceLink& link) {
    const std::uint32_t present = source.CountUsbDevices();
    if (present == 0) {
        return RESULT_NO_DEVICE;
    }
    if (present > 1) {
        return RESULT_MULTIPLE_DEVICES;
    }
    DeviceRecord table[DEVICE_RECORD_TABLE_SIZE];
    std::memset(table, 0, sizeof table);
    const std::uint32_t interfaces = source.ScanInterfaceClasses(table);
    if (interfaces >= DEVICE_RECORD_TABLE_SIZE) {
        return RESULT_MULTIPLE_DEVICES;
    }
    const std::uint32_t ports =
        source.ScanComPorts(table + interfaces, DEVICE_RECORD_TABLE_SIZE - interfaces);
    const std::uint32_t found = interfaces + ports;
    if (found == 0) {
        return RESULT_NO_DEVICE;
    }
    if (found >= DEVICE_RECORD_TABLE_SIZE) {
        return RESULT_MULTIPLE_DEVICES;
    }
    ResultCode result = RESULT_SUCCESS;
    link.Open(table[0], &result);
    return result;
}
