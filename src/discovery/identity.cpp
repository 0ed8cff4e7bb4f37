#include "discovery/identity.h"

#include <cstring>

LinkKind ClassifyProduct(std::uint16_t vendorId, std::uint16_t productId) {
    if (vendorId == VENDOR_A) {
        switch (productId & 0xFFu) {
            case 0x01:
                return LinkKind::VendorBulk;
            case 0x02:
                return LinkKind::SerialA;
            case 0x03:
                return LinkKind::HidComposite;
            case 0x06:
                return LinkKind::SerialB;
            case 0x10:
                return LinkKind::Hid;
            default:
                return LinkKind::Unsupported;
        }
    }
    if (vendorId == VENDOR_B) {
        switch (productId) {
            case 0x0006:
            case 0x0009:
            case 0x0010:
                return LinkKind::VendorBulk;
            case 0x0007:
            case 0x0008:
                return LinkKind::SerialA;
            default:
                return LinkKind::Unsupported;
        }
    }
    if (vendorId == VENDOR_C) {
        switch (productId) {
            case 0x0C01:
            case 0x0C02:
            case 0x0C03:
                return LinkKind::HidComposite;
            case 0x0C11:
            case 0x0C12:
                return LinkKind::Hid;
            case 0x0C21:
                return LinkKind::VendorBulk;
            case 0x0C31:
                return LinkKind::SerialA;
            case 0x0C32:
                return LinkKind::SerialB;
            default:
                return LinkKind::Unsupported;
        }
    }
    return LinkKind::Unsupported;
}

bool IsSupportedVendor(std::uint16_t vendorId) {
    return vendorId == VENDOR_A || vendorId == VENDOR_B || vendorId == VENDOR_C;
}

const char* LinkKindName(LinkKind kind) {
    switch (kind) {
        case LinkKind::Unsupported:
            return "unsupported";
        case LinkKind::VendorBulk:
            return "bulk";
        case LinkKind::Hid:
            return "hid";
        case LinkKind::HidFeature:
            return "hid-feature";
        case LinkKind::HidComposite:
            return "hid-composite";
        case LinkKind::SerialA:
            return "serial-a";
        case LinkKind::SerialB:
            return "serial-b";
        case LinkKind::SerialPort:
            return "serial";
    }
    return "unknown";
}

const char* LinkKindText(LinkKind kind) {
    switch (kind) {
        case LinkKind::Unsupported:
            return "unsupported";
        case LinkKind::VendorBulk:
            return "bulk";
        case LinkKind::Hid:
            return "HID";
        case LinkKind::HidFeature:
            return "HID with feature switch";
        case LinkKind::HidComposite:
            return "HID composite";
        case LinkKind::SerialA:
            return "serial A";
        case LinkKind::SerialB:
            return "serial B";
        case LinkKind::SerialPort:
            return "serial";
    }
    return "unknown";
}

namespace {

bool HexDigitValue(char16_t unit, std::uint32_t& value) {
    if (unit >= u'0' && unit <= u'9') {
        value = static_cast<std::uint32_t>(unit - u'0');
    } else if (unit >= u'a' && unit <= u'f') {
        value = static_cast<std::uint32_t>(unit - u'a' + 10);
    } else if (unit >= u'A' && unit <= u'F') {
        value = static_cast<std::uint32_t>(unit - u'A' + 10);
    } else {
        return false;
    }
    return true;
}

bool ParseHexDigits(const char16_t* text, int digits, std::uint32_t& value) {
    value = 0;
    for (int i = 0; i < digits; ++i) {
        std::uint32_t digit = 0;
        if (!HexDigitValue(text[i], digit)) {
            return false;
        }
        value = value * 16 + digit;
    }
    return true;
}

}  // namespace

bool ParseHex4(const char16_t* text, std::uint16_t& value) {
    std::uint32_t parsed = 0;
    if (!ParseHexDigits(text, 4, parsed)) {
        return false;
    }
    value = static_cast<std::uint16_t>(parsed);
    return true;
}

bool ParseHex2(const char16_t* text, std::uint8_t& value) {
    std::uint32_t parsed = 0;
    if (!ParseHexDigits(text, 2, parsed)) {
        return false;
    }
    value = static_cast<std::uint8_t>(parsed);
    return true;
}

bool SkipPrefix(const char16_t* prefix, const char16_t*& cursor) {
    const char16_t* at = cursor;
    while (*prefix != 0) {
        if (*at != *prefix) {
            return false;
        }
        ++at;
        ++prefix;
    }
    cursor = at;
    return true;
}

bool ParseUsbIdentity(const char16_t* text, UsbIdentity& identity) {
    const char16_t* cursor = text;
    UsbIdentity parsed;
    if (!SkipPrefix(u"vid_", cursor) || !ParseHex4(cursor, parsed.vendorId)) {
        return false;
    }
    cursor += 4;
    if (*cursor != u'&') {
        return false;
    }
    ++cursor;
    if (!SkipPrefix(u"pid_", cursor) || !ParseHex4(cursor, parsed.productId)) {
        return false;
    }
    cursor += 4;
    if (*cursor == u'&') {
        ++cursor;
        if (SkipPrefix(u"mi_", cursor)) {
            if (!ParseHex2(cursor, parsed.interfaceNumber)) {
                return false;
            }
            parsed.hasInterface = true;
            cursor += 2;
        }
    }
    if (*cursor != u'#' && *cursor != u'&' && *cursor != u'\\') {
        return false;
    }
    identity = parsed;
    return true;
}

namespace {

void FillIdentity(DeviceRecord& record, const UsbIdentity& identity, LinkKind linkKind) {
    record.vendorId = identity.vendorId;
    record.productId = identity.productId;
    record.interfacePlusOne =
        identity.hasInterface ? static_cast<std::uint16_t>(identity.interfaceNumber + 1u) : 0;
    record.linkKind = linkKind;
}

}  // namespace

bool FillDeviceRecord(DeviceRecord& record, const char16_t* path, const UsbIdentity& identity,
                      LinkKind linkKind) {
    std::memset(&record, 0, sizeof record);
    if (WideLength(path) > DEVICE_PATH_MAX) {
        return false;
    }
    FillIdentity(record, identity, linkKind);
    CopyWide(record.path, path);
    return true;
}

bool FillPortRecord(DeviceRecord& record, const char16_t* portName, const UsbIdentity& identity) {
    static constexpr char16_t PORT_PREFIX[] = u"\\\\.\\";
    constexpr std::size_t PREFIX_UNITS = 4;
    std::memset(&record, 0, sizeof record);
    if (PREFIX_UNITS + WideLength(portName) > DEVICE_PATH_MAX) {
        return false;
    }
    FillIdentity(record, identity, LinkKind::SerialPort);
    CopyWide(record.path, PORT_PREFIX);
    CopyWide(record.path + PREFIX_UNITS, portName);
    return true;
}
