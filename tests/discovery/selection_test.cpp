#include "discovery/selection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/wide_string.h"
#include "link/device_link.h"
#include "selection_recorder.h"
#include "sim/sim_device_database.h"
#include "sim/sim_port.h"

namespace {

constexpr char16_t USB_SUFFIX[] = u"#6&2c9f0001&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr char16_t HID_SUFFIX[] = u"#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
constexpr char16_t VENDOR_SUFFIX[] = u"#6&2c9f0001&0&1#{6f3a2c81-94b7-4e0d-a5c2-1b8e7d40f9a3}";

std::u16string Identity(std::uint16_t vendor, std::uint16_t product) {
    char text[32];
    std::snprintf(text, sizeof text, "VID_%04X&PID_%04X", vendor, product);
    return Utf8ToUtf16(text);
}

std::u16string UsbPath(std::uint16_t vendor, std::uint16_t product) {
    return u"\\\\?\\USB#" + Identity(vendor, product) + USB_SUFFIX;
}

std::u16string VendorPath(std::uint16_t vendor, std::uint16_t product) {
    return u"\\\\?\\usb#" + Identity(vendor, product) + VENDOR_SUFFIX;
}

std::u16string HidPath(std::uint16_t vendor, std::uint16_t product, const char16_t* interface) {
    return u"\\\\?\\hid#" + Identity(vendor, product) + interface + HID_SUFFIX;
}

SimPortDevice UsbComPort(std::uint16_t vendor, std::uint16_t product, const char16_t* name,
                         const char16_t* interface = u"") {
    SimPortDevice port;
    port.instanceId = u"USB\\" + Identity(vendor, product) + interface + u"\\5&12345&0&1";
    port.portName = SimRegistryValue::String(name);
    return port;
}

// What SelectAndOpenDevice did: its result, the record that reached the link, what the
// observer heard and whether the COM ports were read.
struct Outcome {
    ResultCode result;
    DeviceRecord record;
    SelectionRecorder heard;
    bool portsRead;
};

// The flags every list was asked with, and the data size every registry read offered: the
// interface classes present devices' interfaces (0x12), the ports class present devices
// (0x2); "PortName" at most 62 bytes, "HardwareDevinstpath" at most 510.
void ExpectRequestsAsWritten(const SimDeviceDatabase& database) {
    const struct {
        const Guid* guid;
        std::uint32_t flags;
    } lists[] = {{&USB_DEVICE_INTERFACE_CLASS, 0x12},
                 {&VENDOR_INTERFACE_CLASS, 0x12},
                 {&HID_INTERFACE_CLASS, 0x12},
                 {&PORTS_SETUP_CLASS, 0x2}};
    for (const auto& list : lists) {
        for (const std::uint32_t flags : database.ClassDevicesFlags(*list.guid)) {
            EXPECT_EQ(flags, list.flags) << std::hex << list.guid->data1;
        }
    }
    for (const SimValueQuery& query : database.ValueQueries()) {
        EXPECT_EQ(query.offeredBytes, query.name == u"PortName" ? 62u : 510u)
            << Utf16ToUtf8(query.name);
    }
}

Outcome Select(SimDeviceDatabase& database, const DeviceSelector* selector = nullptr) {
    SimPort port;
    DeviceLink link(port);
    DatabaseDeviceSource source(database);
    Outcome outcome{RESULT_SUCCESS, {}, {}, false};
    source.SetObserver(&outcome.heard);
    outcome.result = SelectAndOpenDevice(source, link, selector);
    outcome.record = link.Record();
    outcome.portsRead = database.ClassDevicesCalls(PORTS_SETUP_CLASS) > 0;
    link.StopReader();
    EXPECT_EQ(database.OpenLists(), 0u);
    EXPECT_EQ(database.OpenKeys(), 0u);
    EXPECT_EQ(outcome.heard.outcomes, 1u);
    EXPECT_EQ(outcome.heard.last.result,
              outcome.result == RESULT_ACCESS_DENIED ? RESULT_SUCCESS : outcome.result);
    ExpectRequestsAsWritten(database);
    return outcome;
}

using namespace seen_sources;
using V = CandidateVerdict;

// A vendor virtual COM port for the serial product 0x6666:0x0008 whose
// "HardwareDevinstpath" holds hardwarePath.
SimPortDevice VendorBusPort(const SimRegistryValue& hardwarePath,
                            const char16_t* instanceId = u"QRN_VBUS\\QRN_VCOM\\1&79F5D87&0&01") {
    SimPortDevice port;
    port.instanceId = instanceId;
    port.portName = SimRegistryValue::String(u"COM12");
    port.hardwarePath = hardwarePath;
    return port;
}

// "USB\VID_6666&PID_0008\" and instance text up to units units.
std::u16string HardwarePathOfUnits(std::size_t units) {
    std::u16string text = u"USB\\" + Identity(0x6666, 0x0008) + u"\\";
    text += std::u16string(units - text.size(), u'7');
    return text;
}

// The classes are asked for by the identifiers the system and the vendor's driver publish.
TEST(Selection, ClassIdentifiers) {
    const struct {
        const Guid* guid;
        const char* text;
    } cases[] = {
        {&USB_DEVICE_INTERFACE_CLASS, "{A5DCBF10-6530-11D2-901F-00C04FB951ED}"},
        {&HID_INTERFACE_CLASS, "{4D1E55B2-F16F-11CF-88CB-001111000030}"},
        {&PORTS_SETUP_CLASS, "{4D36E978-E325-11CE-BFC1-08002BE10318}"},
        {&VENDOR_INTERFACE_CLASS, "{6F3A2C81-94B7-4E0D-A5C2-1B8E7D40F9A3}"},
    };
    for (const auto& c : cases) {
        const Guid& g = *c.guid;
        char text[40];
        std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                      g.data1, g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                      g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
        EXPECT_STREQ(text, c.text);
    }
}

TEST(Selection, NoUsbDeviceReadsNeitherInterfacesNorPorts) {
    SimDeviceDatabase database;
    database.AddInterface(VENDOR_INTERFACE_CLASS, VendorPath(0x6666, 0x0006));
    database.AddPortDevice(UsbComPort(0x6666, 0x0007, u"COM3"));
    EXPECT_EQ(Select(database).result, RESULT_NO_DEVICE);
    EXPECT_EQ(database.ClassDevicesCalls(VENDOR_INTERFACE_CLASS), 0u);
    EXPECT_EQ(database.ClassDevicesCalls(HID_INTERFACE_CLASS), 0u);
    EXPECT_EQ(database.ClassDevicesCalls(PORTS_SETUP_CLASS), 0u);
}

TEST(Selection, TwoUsbDevicesAreRefusedBeforeAnyRecord) {
    SimDeviceDatabase database;
    AddSimScanner(database, 0x6666, 0x0006, 1);
    AddSimScanner(database, 0x6666, 0x0009, 2);
    EXPECT_EQ(Select(database).result, RESULT_MULTIPLE_DEVICES);
    EXPECT_EQ(database.ClassDevicesCalls(VENDOR_INTERFACE_CLASS), 0u);
}

TEST(Selection, Cases) {
    struct Case {
        const char* name;
        void (*fill)(SimDeviceDatabase&);
        ResultCode result;
        bool portsRead;
        LinkKind kind;
        std::uint16_t interfacePlusOne;
        const char16_t* path;    // the opened path, when the result is 0
        std::vector<Seen> seen;  // every candidate the selection reported, in order
    };
    static const std::u16string hidOne = HidPath(VENDOR_A, 0x0003, u"&MI_01");
    static const std::u16string hidKind2 = HidPath(VENDOR_A, 0x0010, u"&MI_01&Col02");
    static const std::u16string vendorKind1 = VendorPath(0x6666, 0x0006);
    const Case cases[] = {
        {"vendor A product outside its table counts but yields nothing",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(VENDOR_A, 0x0004));
             db.AddInterface(HID_INTERFACE_CLASS, HidPath(VENDOR_A, 0x0004, u"&MI_01"));
             db.AddInterface(VENDOR_INTERFACE_CLASS, VendorPath(VENDOR_A, 0x0004));
         },
         RESULT_NO_DEVICE,
         true,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {VENDOR, V::UnsupportedProduct}, {HID, V::UnsupportedProduct}}},
        {"unknown vendor does not count",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x1234, 0x0001));
         },
         RESULT_NO_DEVICE,
         false,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::UnknownVendor}}},
        {"kind 5 on HID interface 1 opens as feature HID",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(VENDOR_A, 0x0003));
             db.AddInterface(HID_INTERFACE_CLASS, HidPath(VENDOR_A, 0x0003, u"&MI_00"));
             db.AddInterface(HID_INTERFACE_CLASS, hidOne);
         },
         RESULT_SUCCESS,
         true,
         LinkKind::HidFeature,
         2,
         hidOne.c_str(),
         {{USB, V::Counted}, {HID, V::InterfaceNotKept}, {HID, V::Taken}}},
        {"kind 5 through the vendor class or without interface gives nothing",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(VENDOR_A, 0x0003));
             db.AddInterface(VENDOR_INTERFACE_CLASS, VendorPath(VENDOR_A, 0x0003));
             db.AddInterface(HID_INTERFACE_CLASS, HidPath(VENDOR_A, 0x0003, u""));
         },
         RESULT_NO_DEVICE,
         true,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {VENDOR, V::NeedsInterfaceOne}, {HID, V::NeedsInterfaceOne}}},
        {"kind 2 on HID interface 1",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(VENDOR_A, 0x0010));
             db.AddInterface(HID_INTERFACE_CLASS, HidPath(VENDOR_A, 0x0010, u"&MI_00"));
             db.AddInterface(HID_INTERFACE_CLASS, hidKind2);
         },
         RESULT_SUCCESS,
         true,
         LinkKind::Hid,
         2,
         hidKind2.c_str(),
         {{USB, V::Counted}, {HID, V::InterfaceNotKept}, {HID, V::Taken}}},
        {"kind 2 on HID interface 0 only",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(VENDOR_A, 0x0010));
             db.AddInterface(HID_INTERFACE_CLASS, HidPath(VENDOR_A, 0x0010, u"&MI_00"));
         },
         RESULT_NO_DEVICE,
         true,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {HID, V::InterfaceNotKept}}},
        {"USB device path on interface 2 does not count",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS,
                             u"\\\\?\\USB#" + Identity(0x6666, 0x0006) + u"&MI_02" + USB_SUFFIX);
             db.AddInterface(VENDOR_INTERFACE_CLASS, VendorPath(0x6666, 0x0006));
         },
         RESULT_NO_DEVICE,
         false,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::InterfaceNotKept}}},
        {"kind 1 through the vendor interface",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0006));
             db.AddInterface(VENDOR_INTERFACE_CLASS, vendorKind1);
         },
         RESULT_SUCCESS,
         true,
         LinkKind::VendorBulk,
         0,
         vendorKind1.c_str(),
         {{USB, V::Counted}, {VENDOR, V::Taken}}},
        {"kind 1 with both its vendor interface and a COM port",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0006));
             db.AddInterface(VENDOR_INTERFACE_CLASS, vendorKind1);
             db.AddPortDevice(UsbComPort(0x6666, 0x0006, u"COM4"));
         },
         RESULT_MULTIPLE_DEVICES,
         true,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {VENDOR, V::Taken}, {PORT, V::Taken}}},
        {"two interface records",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0006));
             db.AddInterface(VENDOR_INTERFACE_CLASS, vendorKind1);
             db.AddInterface(HID_INTERFACE_CLASS, hidKind2);
             db.AddPortDevice(UsbComPort(0x6666, 0x0006, u"COM4"));  // never looked at
         },
         RESULT_MULTIPLE_DEVICES,
         false,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {VENDOR, V::Taken}, {HID, V::Taken}}},
        {"serial product on its COM port, interface 0",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0007));
             db.AddPortDevice(UsbComPort(0x6666, 0x0007, u"com7", u"&MI_00"));
         },
         RESULT_SUCCESS,
         true,
         LinkKind::SerialPort,
         1,
         u"\\\\.\\com7",
         {{USB, V::Counted}, {PORT, V::Taken}}},
        {"a main-board port is never a candidate",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0007));
             SimPortDevice board;
             board.instanceId = u"ACPI\\PNP0501\\1";
             board.portName = SimRegistryValue::String(u"COM1");
             db.AddPortDevice(board);
         },
         RESULT_NO_DEVICE,
         true,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {PORT, V::NotUsbPort}}},
        {"vendor virtual COM port with a usb hardware path",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0008));
             SimPortDevice port;
             port.instanceId = u"QRN_VBUS\\QRN_VCOM\\1&79F5D87&0&01";
             port.portName = SimRegistryValue::String(u"COM12");
             port.hardwarePath =
                 SimRegistryValue::String(u"USB\\" + Identity(0x6666, 0x0008) + u"\\5&1", true, 7);
             db.AddPortDevice(port);
         },
         RESULT_SUCCESS,
         true,
         LinkKind::SerialPort,
         0,
         u"\\\\.\\COM12",
         {{USB, V::Counted}, {PORT, V::Taken}}},
        {"vendor virtual COM port without a usb hardware path",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0008));
             SimPortDevice port;
             port.instanceId = u"qrn_vbus\\qrn_vcom\\1&79F5D87&0&01";
             port.portName = SimRegistryValue::String(u"COM12");
             port.hardwarePath =
                 SimRegistryValue::String(u"PCI\\" + Identity(0x6666, 0x0008) + u"\\5&1");
             db.AddPortDevice(port);
         },
         RESULT_NO_DEVICE,
         true,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {PORT, V::HardwarePathNotUsb}}},
        {"vendor virtual COM port without its hardware path value",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0008));
             SimPortDevice port;
             port.instanceId = u"qrn_vbus\\qrn_vcom\\1&79F5D87&0&01";
             port.portName = SimRegistryValue::String(u"COM12");
             db.AddPortDevice(port);
         },
         RESULT_NO_DEVICE,
         true,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {PORT, V::NoHardwarePath}}},
        {"a HID product's COM port is not taken",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(VENDOR_A, 0x0010));
             db.AddPortDevice(UsbComPort(VENDOR_A, 0x0010, u"COM5"));
         },
         RESULT_NO_DEVICE,
         true,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {PORT, V::KindNotTaken}}},
        {"a class without a list gives nothing, the next class is read",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0007));
             db.FailClassDevices(VENDOR_INTERFACE_CLASS);
             db.AddPortDevice(UsbComPort(0x6666, 0x0007, u"COM3"));
         },
         RESULT_SUCCESS,
         true,
         LinkKind::SerialPort,
         0,
         u"\\\\.\\COM3",
         {{USB, V::Counted}, {VENDOR, V::ListUnavailable}, {PORT, V::Taken}}},
        {"an entry the database cannot describe ends its class's walk",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0006));
             db.AddInterface(VENDOR_INTERFACE_CLASS, vendorKind1);
             db.AddInterface(HID_INTERFACE_CLASS, hidKind2);
             db.FailInterfaceDetail(HID_INTERFACE_CLASS, 0);
         },
         RESULT_SUCCESS,
         true,
         LinkKind::VendorBulk,
         0,
         vendorKind1.c_str(),
         {{USB, V::Counted}, {VENDOR, V::Taken}, {HID, V::NotDescribed}}},
        {"paths too short, without the class's prefix or without an identity",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, u"\\\\?\\usb#vid_6666&pid_0006#1");
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS,
                             u"\\\\?\\USB#ROOT_HUB30#4&1d3c2f0&0&0" + std::u16string(USB_SUFFIX));
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0006));
             db.AddInterface(HID_INTERFACE_CLASS,
                             u"\\\\?\\usb#" + Identity(VENDOR_A, 0x0010) + HID_SUFFIX);
         },
         RESULT_NO_DEVICE,
         true,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::PathTooShort}, {USB, V::NoIdentity}, {USB, V::Counted}, {HID, V::WrongPrefix}}},
        {"a path longer than a record holds",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0006));
             // 251 units: the detail buffer holds it, a record does not.
             const std::u16string path = VendorPath(0x6666, 0x0006);
             db.AddInterface(VENDOR_INTERFACE_CLASS,
                             path + std::u16string(251 - path.size(), u'x'));
         },
         RESULT_NO_DEVICE,
         true,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {VENDOR, V::PathTooLong}}},
        {"ports skipped for their instance identifier, key, name or vendor",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0007));
             SimPortDevice noId = UsbComPort(0x6666, 0x0007, u"COM3");
             noId.instanceIdFails = true;
             SimPortDevice noKey = UsbComPort(0x6666, 0x0007, u"COM4");
             noKey.keyOpens = false;
             SimPortDevice noName = UsbComPort(0x6666, 0x0007, u"COM5");
             noName.portName = SimRegistryValue{};
             db.AddPortDevice(noId);
             db.AddPortDevice(noKey);
             db.AddPortDevice(noName);
             db.AddPortDevice(UsbComPort(0x6666, 0x0007, u"LPT1"));
             db.AddPortDevice(UsbComPort(0x1234, 0x0007, u"COM6"));
             db.AddPortDevice(UsbComPort(0x6666, 0x0099, u"COM8"));
         },
         RESULT_NO_DEVICE,
         true,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted},
          {PORT, V::NoInstanceId},
          {PORT, V::NoDeviceKey},
          {PORT, V::NoPortName},
          {PORT, V::BadPortName},
          {PORT, V::UnknownVendor},
          {PORT, V::UnsupportedProduct}}},
        {"an interface number on the vendor class is skipped",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0006));
             db.AddInterface(VENDOR_INTERFACE_CLASS,
                             u"\\\\?\\usb#" + Identity(0x6666, 0x0006) + u"&MI_01" + VENDOR_SUFFIX);
         },
         RESULT_NO_DEVICE,
         true,
         LinkKind::Unsupported,
         0,
         nullptr,
         {}},
        {"serial kinds 6 and 7 through the vendor class give nothing",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0007));
             db.AddInterface(VENDOR_INTERFACE_CLASS, VendorPath(0x6666, 0x0007));
             db.AddInterface(VENDOR_INTERFACE_CLASS, VendorPath(VENDOR_A, 0x0006));
         },
         RESULT_NO_DEVICE,
         true,
         LinkKind::Unsupported,
         0,
         nullptr,
         {}},
        {"serial kinds 6 and 7 through HID give nothing, interface 1 or none",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(VENDOR_A, 0x0002));
             db.AddInterface(HID_INTERFACE_CLASS, HidPath(VENDOR_A, 0x0002, u"&MI_01"));
             db.AddInterface(HID_INTERFACE_CLASS, HidPath(VENDOR_A, 0x0006, u"&MI_01"));
             db.AddInterface(HID_INTERFACE_CLASS, HidPath(VENDOR_A, 0x0002, u""));
         },
         RESULT_NO_DEVICE,
         true,
         LinkKind::Unsupported,
         0,
         nullptr,
         {}},
        {"a hardware path of 510 bytes with its terminator fits the read",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0008));
             db.AddPortDevice(VendorBusPort(SimRegistryValue::String(HardwarePathOfUnits(254))));
         },
         RESULT_SUCCESS,
         true,
         LinkKind::SerialPort,
         0,
         u"\\\\.\\COM12",
         {{USB, V::Counted}, {PORT, V::Taken}}},
        {"a hardware path of 512 bytes is too long",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0008));
             db.AddPortDevice(VendorBusPort(SimRegistryValue::String(HardwarePathOfUnits(255))));
         },
         RESULT_NO_DEVICE,
         true,
         LinkKind::Unsupported,
         0,
         nullptr,
         {}},
        // Read over the instance identifier's buffer: what that held must not complete it
        // (here to "&mi_07&...").
        {"a hardware path cut short is judged alone",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0008));
             db.AddPortDevice(VendorBusPort(
                 SimRegistryValue::String(u"USB\\" + Identity(0x6666, 0x0008) + u"&MI_0", false)));
         },
         RESULT_NO_DEVICE,
         true,
         LinkKind::Unsupported,
         0,
         nullptr,
         {}},
    };
    for (const Case& c : cases) {
        SimDeviceDatabase database;
        c.fill(database);
        const Outcome outcome = Select(database);
        EXPECT_EQ(outcome.result, c.result) << c.name;
        EXPECT_EQ(outcome.portsRead, c.portsRead) << c.name;
        // Rows without a list of candidates check the outcome alone.
        if (!c.seen.empty()) {
            EXPECT_EQ(outcome.heard.seen, c.seen) << c.name;
        }
        if (c.result == RESULT_SUCCESS && outcome.result == RESULT_SUCCESS) {
            EXPECT_EQ(outcome.record.linkKind, c.kind) << c.name;
            EXPECT_EQ(outcome.record.interfacePlusOne, c.interfacePlusOne) << c.name;
            EXPECT_EQ(std::u16string(outcome.record.path), std::u16string(c.path)) << c.name;
            // The taken candidate is reported with the path and kind its record carries.
            const auto taken = static_cast<std::size_t>(
                std::find_if(c.seen.begin(), c.seen.end(),
                             [](const Seen& seen) { return seen.verdict == V::Taken; }) -
                c.seen.begin());
            ASSERT_LT(taken, outcome.heard.paths.size()) << c.name;
            EXPECT_EQ(outcome.heard.linkKinds[taken], c.kind) << c.name;
            EXPECT_EQ(outcome.heard.last.record.linkKind, c.kind) << c.name;
            if (c.kind != LinkKind::SerialPort) {
                EXPECT_EQ(outcome.heard.paths[taken], std::u16string(c.path)) << c.name;
            }
        }
    }
}

TEST(Selection, PortNames) {
    struct Case {
        SimRegistryValue name;
        bool accepted;
    };
    const Case cases[] = {
        {SimRegistryValue::String(u"COM3"), true},
        {SimRegistryValue::String(u"com7"), true},
        {SimRegistryValue::String(u"COM007"), true},
        {SimRegistryValue::String(u"COM9"), true},
        {SimRegistryValue::String(u"COM65535"), true},
        {SimRegistryValue::String(u"COM"), false},
        {SimRegistryValue::String(u"COM0"), false},
        {SimRegistryValue::String(u"COM000"), false},
        {SimRegistryValue::String(u"COM65536"), false},
        {SimRegistryValue::String(u"COM99999999999"), false},
        {SimRegistryValue::String(u"COM1A"), false},
        {SimRegistryValue::String(u"LPT1"), false},
        {SimRegistryValue::String(u"COM3", true, 2), false},  // REG_EXPAND_SZ
        // 31 units: 62 bytes without a terminator still fit the read, and the buffer's
        // last unit keeps it terminated.
        {SimRegistryValue::String(u"COM" + std::u16string(27, u'0') + u"1", false), true},
        // 31 units with a terminator: 64 bytes, longer than the 62 read.
        {SimRegistryValue::String(u"COM" + std::u16string(27, u'0') + u"1", true), false},
        {SimRegistryValue::String(u"COM" + std::u16string(300, u'1')), false},
    };
    for (const Case& c : cases) {
        SimDeviceDatabase database;
        database.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0007));
        SimPortDevice port = UsbComPort(0x6666, 0x0007, u"COM1");
        port.portName = c.name;
        database.AddPortDevice(port);
        const Outcome outcome = Select(database);
        EXPECT_EQ(outcome.result, c.accepted ? RESULT_SUCCESS : RESULT_NO_DEVICE)
            << Utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(c.name.data.data()),
                                          c.name.data.size() / 2));
    }
}

TEST(Selection, OneInterfaceRecordLeavesRoomForOnePort) {
    SimDeviceDatabase database;
    database.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0006));
    database.AddInterface(VENDOR_INTERFACE_CLASS, VendorPath(0x6666, 0x0006));
    database.AddPortDevice(UsbComPort(0x6666, 0x0006, u"COM3"));
    database.AddPortDevice(UsbComPort(0x6666, 0x0006, u"COM4"));
    DeviceRecord table[3] = {};
    DatabaseDeviceSource source(database);
    EXPECT_EQ(source.ScanInterfaceClasses(table), 1u);
    EXPECT_EQ(source.ScanComPorts(table + 1, 1), 1u);
    EXPECT_EQ(std::u16string(table[1].path), u"\\\\.\\COM3");
    EXPECT_EQ(table[2].path[0], 0);
    EXPECT_EQ(source.ScanComPorts(table + 1, 0), 0u);
    EXPECT_EQ(database.OpenLists(), 0u);
    EXPECT_EQ(database.OpenKeys(), 0u);
}

TEST(Selection, PathLengths) {
    struct Case {
        std::size_t length;
        bool examined;
    };
    const Case cases[] = {{63, false},  {64, true},   {250, true},
                          {251, false}, {252, false}, {253, false}};
    for (const Case& c : cases) {
        // Pad the instance part of a valid vendor path to the wanted length.
        std::u16string path = u"\\\\?\\usb#" + Identity(0x6666, 0x0006) + u"#";
        path += std::u16string(c.length - path.size(), u'a');
        ASSERT_EQ(path.size(), c.length);
        SimDeviceDatabase database;
        database.AddInterface(USB_DEVICE_INTERFACE_CLASS, UsbPath(0x6666, 0x0006));
        database.AddInterface(VENDOR_INTERFACE_CLASS, path);
        DeviceRecord table[2];
        std::memset(table, 0, sizeof table);
        DatabaseDeviceSource source(database);
        EXPECT_EQ(source.ScanInterfaceClasses(table), c.examined ? 1u : 0u) << c.length;
        if (c.examined) {
            EXPECT_EQ(std::u16string(table[0].path), path);
        }
        // Nothing was written past the first record's path.
        EXPECT_EQ(table[1].path[0], 0) << c.length;
    }
}

TEST(Selection, DatabaseFailuresNarrowWhatIsFound) {
    {
        SimDeviceDatabase database;
        AddSimScanner(database, 0x6666, 0x0006, 1);
        database.FailClassDevices(USB_DEVICE_INTERFACE_CLASS);
        EXPECT_EQ(Select(database).result, RESULT_NO_DEVICE);
    }
    {
        SimDeviceDatabase database;
        AddSimScanner(database, 0x6666, 0x0006, 1);
        database.FailClassDevices(VENDOR_INTERFACE_CLASS);
        EXPECT_EQ(Select(database).result, RESULT_NO_DEVICE);
        EXPECT_EQ(database.ClassDevicesCalls(HID_INTERFACE_CLASS), 1u);
    }
    {
        SimDeviceDatabase database;
        AddSimScanner(database, 0x6666, 0x0007, 1);
        database.FailClassDevices(PORTS_SETUP_CLASS);
        EXPECT_EQ(Select(database).result, RESULT_NO_DEVICE);
    }
    {
        // A failed detail call ends the count with what it has.
        SimDeviceDatabase database;
        AddSimScanner(database, 0x6666, 0x0006, 1);
        AddSimScanner(database, 0x6666, 0x0009, 2);
        database.FailInterfaceDetail(USB_DEVICE_INTERFACE_CLASS, 1);
        DatabaseDeviceSource source(database);
        EXPECT_EQ(source.CountUsbDevices(), 1u);
    }
    {
        // ... and the walk of an interface class.
        SimDeviceDatabase database;
        database.AddInterface(VENDOR_INTERFACE_CLASS, VendorPath(0x6666, 0x0006));
        database.AddInterface(VENDOR_INTERFACE_CLASS, VendorPath(0x6666, 0x0009));
        database.FailInterfaceDetail(VENDOR_INTERFACE_CLASS, 0);
        DeviceRecord table[2] = {};
        DatabaseDeviceSource source(database);
        EXPECT_EQ(source.ScanInterfaceClasses(table), 0u);
    }
    {
        // Instance identifier or key failures skip only that port.
        SimDeviceDatabase database;
        SimPortDevice broken = UsbComPort(0x6666, 0x0007, u"COM3");
        broken.instanceIdFails = true;
        SimPortDevice noKey = UsbComPort(0x6666, 0x0007, u"COM4");
        noKey.keyOpens = false;
        SimPortDevice noName = UsbComPort(0x6666, 0x0007, u"COM5");
        noName.portName = SimRegistryValue{};
        database.AddPortDevice(broken);
        database.AddPortDevice(noKey);
        database.AddPortDevice(noName);
        database.AddPortDevice(UsbComPort(0x6666, 0x0007, u"COM6"));
        DeviceRecord table[2] = {};
        DatabaseDeviceSource source(database);
        EXPECT_EQ(source.ScanComPorts(table, 2), 1u);
        EXPECT_EQ(std::u16string(table[0].path), u"\\\\.\\COM6");
        EXPECT_EQ(database.OpenKeys(), 0u);
    }
}

// Each form, and each way a selector is refused, with the phrase standard error shows.
TEST(Selection, SelectorForms) {
    const std::u16string longest = u"/" + std::u16string(249, u'a');
    const std::u16string name31 = u"COM" + std::u16string(28, u'1');
    const struct {
        std::u16string text;
        const char* reason;  // null: a selector, of kind with value
        SelectorKind kind;
        std::u16string value;
    } cases[] = {
        {u"serial:SF0001", nullptr, SelectorKind::Serial, u"SF0001"},
        {u"SERIAL:a b", nullptr, SelectorKind::Serial, u"a b"},
        {u"USB:Port_#0003.Hub_#0002", nullptr, SelectorKind::Location, u"Port_#0003.Hub_#0002"},
        {u"ttyACM0", nullptr, SelectorKind::Path, u"ttyACM0"},
        {u"\\\\.\\COM7", nullptr, SelectorKind::Path, u"\\\\.\\COM7"},
        {longest, nullptr, SelectorKind::Path, longest},
        {u"", "names no scanner", SelectorKind::Path, u""},
        {u"serial:", "has nothing after serial:", SelectorKind::Path, u""},
        {u"usb:", "has nothing after usb:", SelectorKind::Path, u""},
        {longest + u"a", "is longer than 250 characters", SelectorKind::Path, u""},
        {u"serial:a\nb", "holds a control character", SelectorKind::Path, u""},
        {u"usb:1-2\x7F", "holds a control character", SelectorKind::Path, u""},
        {u"port:COM7", "is none of serial:NUMBER, usb:LOCATION, a path or a port name",
         SelectorKind::Path, u""},
        {name31, "is none of serial:NUMBER, usb:LOCATION, a path or a port name",
         SelectorKind::Path, u""},
    };
    for (const auto& c : cases) {
        DeviceSelector selector;
        const char* reason = ParseDeviceSelector(c.text.c_str(), selector);
        EXPECT_STREQ(reason, c.reason) << Utf16ToUtf8(c.text);
        if (c.reason == nullptr) {
            EXPECT_EQ(selector.kind, c.kind) << Utf16ToUtf8(c.text);
            EXPECT_EQ(std::u16string(selector.text), c.value) << Utf16ToUtf8(c.text);
        }
    }
}

// Scanners side by side in the forms Windows shows them: a bulk scanner with a serial number
// in port 1; a serial scanner without one behind COM8 in port 2 (Windows made its instance
// up); a bulk scanner in port 3 that also shows a COM port (two ways in); a composite HID
// scanner in port 4 whose HID node hangs two levels below its USB device; a vendor bus port
// whose hardware path names its USB device in port 5.
void FillSideBySide(SimDeviceDatabase& db) {
    AddSimScanner(db, 0x6666, 0x0006, 1, u"", u"SF0001");
    AddSimScanner(db, 0x6666, 0x0007, 2, u"COM8");
    AddSimScanner(db, 0x6666, 0x0009, 3, u"", u"SF0003");
    SimPortDevice twin;
    twin.instanceId = u"USB\\VID_6666&PID_0009\\SF0003";
    twin.portName = SimRegistryValue::String(u"COM9");
    db.AddPortDevice(twin);
    AddSimScanner(db, VENDOR_A, 0x0003, 4, u"", u"HID4");
    db.AddPortDevice(VendorBusPort(SimRegistryValue::String(u"USB\\VID_6666&PID_0008\\VB0005")));
    db.AddDeviceNode({u"USB\\VID_6666&PID_0008\\VB0005", u"", u"Port_#0005.Hub_#0002"});
    db.AddInterface(USB_DEVICE_INTERFACE_CLASS,
                    u"\\\\?\\USB#VID_6666&PID_0008#VB0005#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
}

TEST(Selection, Selectors) {
    const std::u16string bulkPath =
        u"\\\\?\\USB#VID_6666&PID_0006#SF0001#{6f3a2c81-94b7-4e0d-a5c2-1b8e7d40f9a3}";
    const std::u16string hidPath =
        u"\\\\?\\HID#VID_7A10&PID_0003&MI_01#7&HID4#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    const struct {
        std::u16string selector;
        ResultCode result;
        std::u16string path;     // the opened path, when the result is 0
        std::vector<Seen> seen;  // every candidate the selection reported; empty: not checked
    } cases[] = {
        {u"serial:sf0001",
         RESULT_SUCCESS,
         bulkPath,
         {{USB, V::Counted},
          {USB, V::NotChosen},
          {USB, V::NotChosen},
          {USB, V::NotChosen},
          {USB, V::NotChosen},
          {VENDOR, V::Taken},
          {VENDOR, V::NotChosen},
          {HID, V::NotChosen},
          {PORT, V::NotChosen},
          {PORT, V::NotChosen},
          {PORT, V::NotChosen}}},
        {u"usb:Port_#0002.Hub_#0001", RESULT_SUCCESS, u"\\\\.\\COM8", {}},
        {u"COM8", RESULT_SUCCESS, u"\\\\.\\COM8", {}},
        {u"\\\\.\\com8", RESULT_SUCCESS, u"\\\\.\\COM8", {}},
        {bulkPath, RESULT_SUCCESS, bulkPath, {}},
        // The count's own path names its device.
        {u"\\\\?\\usb#vid_7a10&pid_0003#hid4#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
         RESULT_SUCCESS,
         hidPath,
         {}},
        {u"serial:HID4", RESULT_SUCCESS, hidPath, {}},
        {u"serial:VB0005", RESULT_SUCCESS, u"\\\\.\\COM12", {}},
        {u"usb:Port_#0005.Hub_#0002", RESULT_SUCCESS, u"\\\\.\\COM12", {}},
        // An instance Windows made up is no serial number.
        {u"serial:6&2c9f0002&0&2", RESULT_NO_DEVICE, u"", {}},
        {u"usb:Port_#0009.Hub_#0001", RESULT_NO_DEVICE, u"", {}},
        {u"COM99", RESULT_NO_DEVICE, u"", std::vector<Seen>(5, {USB, V::NotChosen})},
        // One scanner that shows two ways in, chosen by its serial number or by its port.
        {u"serial:SF0003", RESULT_MULTIPLE_DEVICES, u"", {}},
        {u"COM9", RESULT_MULTIPLE_DEVICES, u"", {}},
    };
    for (const auto& c : cases) {
        SimDeviceDatabase database;
        FillSideBySide(database);
        DeviceSelector selector;
        const std::string label = Utf16ToUtf8(c.selector);
        ASSERT_EQ(ParseDeviceSelector(c.selector.c_str(), selector), nullptr) << label;
        const Outcome outcome = Select(database, &selector);
        EXPECT_EQ(outcome.result, c.result) << label;
        EXPECT_TRUE(outcome.heard.last.chosen) << label;
        if (!c.seen.empty()) {
            EXPECT_EQ(outcome.heard.seen, c.seen) << label;
        }
        if (c.result == RESULT_SUCCESS) {
            EXPECT_EQ(std::u16string(outcome.record.path), c.path) << label;
        }
    }
    // Without a selector the same scanners are five.
    SimDeviceDatabase database;
    FillSideBySide(database);
    const Outcome all = Select(database);
    EXPECT_EQ(all.result, RESULT_MULTIPLE_DEVICES);
    EXPECT_FALSE(all.heard.last.chosen);
    EXPECT_EQ(all.heard.seen, std::vector<Seen>(5, {USB, V::Counted}));
}

TEST(Selection, OpenFailureIsTheResult) {
    SimDeviceDatabase database;
    AddSimScanner(database, 0x6666, 0x0006, 1);
    SimPort port;
    port.SetOpenBehaviour({PORT_ERROR_ACCESS_DENIED, PORT_ERROR_NONE, false});
    DeviceLink link(port);
    DatabaseDeviceSource source(database);
    EXPECT_EQ(SelectAndOpenDevice(source, link), RESULT_ACCESS_DENIED);
    EXPECT_FALSE(link.IsOpen());
}

}  // namespace
