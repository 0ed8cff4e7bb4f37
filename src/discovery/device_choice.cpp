#include "discovery/device_choice.h"

#include <cstring>

#include "discovery/selection.h"

namespace {

constexpr char16_t PORT_PATH_PREFIX[] = u"\\\\.\\";

bool FitsDeviceText(const char16_t* text) {
    return WideLength(text) < DEVICE_TEXT_UNITS;
}

bool IsAsciiLetterOrDigit(char16_t unit) {
    return (unit >= u'0' && unit <= u'9') || (unit >= u'a' && unit <= u'z') ||
           (unit >= u'A' && unit <= u'Z');
}

bool IsPortName(const char16_t* text) {
    std::size_t length = 0;
    for (; text[length] != 0; ++length) {
        if (!IsAsciiLetterOrDigit(text[length])) {
            return false;
        }
    }
    return length <= PORT_NAME_SELECTOR_MAX;
}

bool HoldsControlUnit(const char16_t* text) {
    for (; *text != 0; ++text) {
        if (*text < 0x20 || *text == 0x7F) {
            return true;
        }
    }
    return false;
}

bool SameText(const char16_t* text, const char16_t* other) {
    return other != nullptr && *other != 0 && EqualsNoCase(text, other);
}

}  // namespace

bool FillPhysicalDevice(PhysicalDevice& device, const char16_t* key, const char16_t* serial,
                        const char16_t* location) {
    std::memset(&device, 0, sizeof device);
    if (!FitsDeviceText(key) || !FitsDeviceText(serial) || !FitsDeviceText(location)) {
        return false;
    }
    CopyWide(device.key, key);
    CopyWide(device.serial, serial);
    CopyWide(device.location, location);
    return true;
}

const char* ParseDeviceSelector(const char16_t* text, DeviceSelector& selector) {
    SelectorKind kind = SelectorKind::Path;
    const char16_t* value = text;
    if (const char16_t* serial = StartsWithNoCase(text, u"serial:")) {
        kind = SelectorKind::Serial;
        value = serial;
    } else if (const char16_t* location = StartsWithNoCase(text, u"usb:")) {
        kind = SelectorKind::Location;
        value = location;
    }
    if (*value == 0) {
        switch (kind) {
            case SelectorKind::Serial:
                return "has nothing after serial:";
            case SelectorKind::Location:
                return "has nothing after usb:";
            case SelectorKind::Path:
                return "names no scanner";
        }
    }
    if (WideLength(value) > SELECTOR_TEXT_MAX) {
        return "is longer than 250 characters";
    }
    if (HoldsControlUnit(value)) {
        return "holds a control character";
    }
    if (kind == SelectorKind::Path && *value != u'\\' && *value != u'/' && !IsPortName(value)) {
        return "is none of serial:NUMBER, usb:LOCATION, a path or a port name";
    }
    selector = DeviceSelector{};
    selector.kind = kind;
    CopyWide(selector.text, value);
    return nullptr;
}

bool DeviceChoice::Names(const CandidateReport& candidate) const {
    const char16_t* text = selector_.text;
    if (SameText(text, candidate.path) || SameText(text, candidate.portName)) {
        return true;
    }
    // A port's record opens "\\.\" and its name.
    const char16_t* portName = StartsWithNoCase(text, PORT_PATH_PREFIX);
    return portName != nullptr && SameText(portName, candidate.portName);
}

bool DeviceChoice::Admits(const CandidateReport& candidate) {
    const PhysicalDevice* device = candidate.device;
    if (device == nullptr || device->key[0] == 0) {
        return false;
    }
    switch (selector_.kind) {
        case SelectorKind::Serial:
            return SameText(selector_.text, device->serial);
        case SelectorKind::Location:
            return SameText(selector_.text, device->location);
        case SelectorKind::Path:
            break;
    }
    if (resolving_) {
        if (Names(candidate)) {
            CopyWide(resolvedKey_, device->key);
            resolved_ = true;
        }
        return false;
    }
    return resolved_ && EqualsNoCase(resolvedKey_, device->key);
}
