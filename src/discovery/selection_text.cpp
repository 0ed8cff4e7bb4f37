// The selection's verdicts in words: stable names for scripts, sentences for people.
#include "discovery/selection.h"

const char* CandidateSourceName(CandidateSource source) {
    switch (source) {
        case CandidateSource::UsbDevice:
            return "usb-device";
        case CandidateSource::VendorInterface:
            return "vendor-interface";
        case CandidateSource::HidInterface:
            return "hid-interface";
        case CandidateSource::Port:
            return "port";
    }
    return "unknown";
}

const char* CandidateSourceText(CandidateSource source) {
    switch (source) {
        case CandidateSource::UsbDevice:
            return "USB devices (the count of attached scanners)";
        case CandidateSource::VendorInterface:
            return "vendor bulk interfaces";
        case CandidateSource::HidInterface:
            return "HID interfaces";
        case CandidateSource::Port:
            return "COM ports";
    }
    return "unknown";
}

const char* CandidateVerdictName(CandidateVerdict verdict) {
    switch (verdict) {
        case CandidateVerdict::Counted:
            return "counted";
        case CandidateVerdict::Taken:
            return "taken";
        case CandidateVerdict::ListUnavailable:
            return "list-unavailable";
        case CandidateVerdict::NotDescribed:
            return "not-described";
        case CandidateVerdict::PathTooShort:
            return "path-too-short";
        case CandidateVerdict::PathTooLong:
            return "path-too-long";
        case CandidateVerdict::WrongPrefix:
            return "wrong-prefix";
        case CandidateVerdict::NoIdentity:
            return "no-identity";
        case CandidateVerdict::InterfaceNotKept:
            return "interface-not-kept";
        case CandidateVerdict::UnknownVendor:
            return "unknown-vendor";
        case CandidateVerdict::UnsupportedProduct:
            return "unsupported-product";
        case CandidateVerdict::KindNotTaken:
            return "kind-not-taken";
        case CandidateVerdict::NeedsInterfaceOne:
            return "needs-interface-1";
        case CandidateVerdict::NoInstanceId:
            return "no-instance-id";
        case CandidateVerdict::NotUsbPort:
            return "not-usb-port";
        case CandidateVerdict::NoDeviceKey:
            return "no-device-key";
        case CandidateVerdict::NoPortName:
            return "no-port-name";
        case CandidateVerdict::BadPortName:
            return "bad-port-name";
        case CandidateVerdict::NoHardwarePath:
            return "no-hardware-path";
        case CandidateVerdict::HardwarePathNotUsb:
            return "hardware-path-not-usb";
        case CandidateVerdict::Unreadable:
            return "unreadable";
        case CandidateVerdict::NotVendorSpecific:
            return "not-vendor-specific";
        case CandidateVerdict::HeldByDriver:
            return "held-by-driver";
        case CandidateVerdict::NoBulkEndpoints:
            return "no-bulk-endpoints";
        case CandidateVerdict::NoUsbInterface:
            return "no-usb-interface";
    }
    return "unknown";
}

const char* CandidateVerdictText(CandidateVerdict verdict) {
    switch (verdict) {
        case CandidateVerdict::Counted:
            return "counted as an attached scanner";
        case CandidateVerdict::Taken:
            return "taken";
        case CandidateVerdict::ListUnavailable:
            return "skipped: the device database gave no list";
        case CandidateVerdict::NotDescribed:
            return "skipped: the device database could not give its path; the walk ends here";
        case CandidateVerdict::PathTooShort:
            return "skipped: the path is shorter than 64 characters";
        case CandidateVerdict::PathTooLong:
            return "skipped: the path is too long to open";
        case CandidateVerdict::WrongPrefix:
            return "skipped: the path does not begin with its class's prefix";
        case CandidateVerdict::NoIdentity:
            return "skipped: no vendor and product identity in it";
        case CandidateVerdict::InterfaceNotKept:
            return "skipped: its interface number is not one this kind of entry keeps";
        case CandidateVerdict::UnknownVendor:
            return "skipped: unknown vendor";
        case CandidateVerdict::UnsupportedProduct:
            return "skipped: the vendor's product is not supported";
        case CandidateVerdict::KindNotTaken:
            return "skipped: the product is not reached this way";
        case CandidateVerdict::NeedsInterfaceOne:
            return "skipped: the product is used only through its HID interface 1";
        case CandidateVerdict::NoInstanceId:
            return "skipped: its instance identifier cannot be read";
        case CandidateVerdict::NotUsbPort:
            return "skipped: not a port of a USB device or of the vendor bus";
        case CandidateVerdict::NoDeviceKey:
            return "skipped: its device key cannot be opened";
        case CandidateVerdict::NoPortName:
            return "skipped: the port name is missing, too long or not a string";
        case CandidateVerdict::BadPortName:
            return "skipped: the port name is not COM and a number from 1 to 65535";
        case CandidateVerdict::NoHardwarePath:
            return "skipped: the vendor bus port has no hardware path";
        case CandidateVerdict::HardwarePathNotUsb:
            return "skipped: the vendor bus port's hardware path is not a USB one";
        case CandidateVerdict::Unreadable:
            return "skipped: its sysfs attributes cannot be read";
        case CandidateVerdict::NotVendorSpecific:
            return "skipped: not a vendor-specific interface";
        case CandidateVerdict::HeldByDriver:
            return "skipped: a kernel driver holds the interface";
        case CandidateVerdict::NoBulkEndpoints:
            return "skipped: no bulk IN and bulk OUT endpoint";
        case CandidateVerdict::NoUsbInterface:
            return "skipped: no USB interface above it";
    }
    return "unknown";
}

const char* SelectionOutcomeText(const SelectionOutcome& outcome) {
    if (outcome.usbDevices == 0) {
        return outcome.listUnavailable ? "no supported scanner was found, but a device list could "
                                         "not be read"
                                       : "no supported scanner is attached";
    }
    if (outcome.usbDevices > 1) {
        return "more than one supported scanner is attached";
    }
    const std::uint32_t found = outcome.interfaceRecords + outcome.portRecords;
    if (found == 0) {
        return outcome.listUnavailable
                   ? "no interface or port of the attached scanner was found, but a device list "
                     "could not be read"
                   : "the attached scanner offers no interface or port that can be opened";
    }
    if (found > 1) {
        return outcome.portsScanned
                   ? "two paths lead to a scanner: an interface and a port, or two ports"
                   : "two interfaces lead to a scanner; the ports were not looked at";
    }
    return "exactly one path to exactly one scanner";
}
