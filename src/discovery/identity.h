// Device identity rules: which USB vendor and product identifiers are supported scanners,
// what kind of link reaches each, the grammar of the identity inside a device path or
// instance identifier, and the record that carries one found device to the link.
// Pure computation: no system calls, no allocation, no state.
//
// Vendor and product values of this build:
//   VENDOR_A 0x7A10: any product counts as an attached scanner; only the low byte of the
//                    product identifier selects the link (0x01 bulk, 0x02 serial A,
//                    0x03 HID composite, 0x06 serial B, 0x10 HID).
//   VENDOR_B 0x6666: products 0x0006, 0x0009, 0x0010 bulk; 0x0007, 0x0008 serial A.
//   VENDOR_C 0x7A20: products 0x0C01, 0x0C02, 0x0C03 HID composite; 0x0C11, 0x0C12 HID;
//                    0x0C21 bulk; 0x0C31 serial A; 0x0C32 serial B.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/wide_string.h"

constexpr std::uint16_t VENDOR_A = 0x7A10;
constexpr std::uint16_t VENDOR_B = 0x6666;
constexpr std::uint16_t VENDOR_C = 0x7A20;

enum class LinkKind : std::uint8_t {
    Unsupported = 0,
    VendorBulk = 1,    // the vendor's bulk interface; stored as 10 when found as a COM port
    Hid = 2,           // HID interface, 64-byte reports
    HidFeature = 3,    // HID interface switched into feature mode at open; made from 5 only
    HidComposite = 5,  // composite product whose interface 1 is used as HidFeature
    SerialA = 6,       // reached through a COM port
    SerialB = 7,       // the same as SerialA everywhere
    SerialPort = 10,   // serial or virtual COM port
};

constexpr std::size_t DEVICE_PATH_UNITS = 251;  // 250 units of text and the terminator
constexpr std::size_t DEVICE_PATH_MAX = DEVICE_PATH_UNITS - 1;

// One found device, exactly 512 bytes; whoever fills one zeroes all of it first.
struct DeviceRecord {
    char16_t path[DEVICE_PATH_UNITS];
    std::uint16_t vendorId;
    std::uint16_t productId;
    std::uint16_t interfacePlusOne;  // interface number + 1, or 0 without one
    LinkKind linkKind;               // only 1, 2, 3 and 10 are stored
    std::uint8_t reserved[3];
};
static_assert(sizeof(DeviceRecord) == 512, "a DeviceRecord is copied as 512 bytes");

struct UsbIdentity {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    bool hasInterface = false;
    std::uint8_t interfaceNumber = 0;
};

LinkKind ClassifyProduct(std::uint16_t vendorId, std::uint16_t productId);

// VENDOR_A, VENDOR_B or VENDOR_C.
bool IsSupportedVendor(std::uint16_t vendorId);

// A word for scripts ("bulk", "hid-feature") and a name for people ("HID with feature switch").
const char* LinkKindName(LinkKind kind);
const char* LinkKindText(LinkKind kind);

// Parses "vid_XXXX&pid_XXXX[&[mi_XX]]" ended by '#', '&' or '\' at text, which the caller
// has lower-cased. On false the identity is not to be used.
bool ParseUsbIdentity(const char16_t* text, UsbIdentity& identity);

// Exact prefix match; on success the cursor moves past the prefix.
bool SkipPrefix(const char16_t* prefix, const char16_t*& cursor);

bool ParseHex4(const char16_t* text, std::uint16_t& value);
bool ParseHex2(const char16_t* text, std::uint8_t& value);

// Zeroes the record and fills it. A path longer than DEVICE_PATH_MAX units does not fit: the
// record is left zeroed and false tells the caller to skip that device.
bool FillDeviceRecord(DeviceRecord& record, const char16_t* path, const UsbIdentity& identity,
                      LinkKind linkKind);

// The same for a COM port: the path is "\\.\" followed by the port name as read.
bool FillPortRecord(DeviceRecord& record, const char16_t* portName, const UsbIdentity& identity);
