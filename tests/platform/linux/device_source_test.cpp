// Discovery over fixture sysfs trees, case by case as the selection over the Windows device
// database, with the Linux forms of each case.
#include "platform/linux/linux_device_source.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "../../discovery/selection_recorder.h"
#include "common/wide_string.h"
#include "link/device_link.h"
#include "scanfw/scanfw.h"
#include "sim/sim_port.h"
#include "sysfs_fixture.h"

namespace {

constexpr std::uint16_t KIND_BULK = 0x0006;       // VENDOR_B
constexpr std::uint16_t KIND_SERIAL = 0x0007;     // VENDOR_B
constexpr std::uint16_t KIND_COMPOSITE = 0x0003;  // VENDOR_A
constexpr std::uint16_t KIND_HID = 0x0010;        // VENDOR_A

struct Outcome {
    ResultCode result;
    DeviceRecord record;
    SelectionRecorder heard;
};

Outcome Select(const SysfsFixture& fixture) {
    SimPort port;
    DeviceLink link(port);
    LinuxDeviceSource source(fixture.Sys(), fixture.Dev());
    Outcome outcome{RESULT_SUCCESS, {}, {}};
    source.SetObserver(&outcome.heard);
    outcome.result = SelectAndOpenDevice(source, link);
    outcome.record = link.Record();
    link.StopReader();
    EXPECT_EQ(outcome.heard.outcomes, 1u);
    return outcome;
}

using namespace seen_sources;
using V = CandidateVerdict;

constexpr std::uint16_t ROOT_HUB_VENDOR = 0x1D6B;

// What the sources reported, less the fixture's root hub and its interface.
std::vector<Seen> ScannerEntries(const Outcome& outcome) {
    std::vector<Seen> entries;
    for (std::size_t i = 0; i < outcome.heard.seen.size(); ++i) {
        if (outcome.heard.vendors[i] != ROOT_HUB_VENDOR) {
            entries.push_back(outcome.heard.seen[i]);
        }
    }
    return entries;
}

TEST(LinuxDeviceSource, Cases) {
    struct Case {
        const char* name;
        void (*fill)(SysfsFixture&);
        ResultCode result;
        LinkKind kind;
        std::uint16_t interfacePlusOne;
        const char* path;        // below the fixture's dev root, when the result is 0
        std::vector<Seen> seen;  // what the sources reported, less the root hub
    };
    const Case cases[] = {
        {"nothing but the root hub",
         [](SysfsFixture&) {},
         RESULT_NO_DEVICE,
         LinkKind::Unsupported,
         0,
         nullptr,
         {}},
        {"unknown vendor does not count",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", 0x1234, 0x0001, 1, 2);
             f.Tty(f.Interface(device, 0, 0x02, "cdc_acm"), "ttyACM0");
         },
         RESULT_NO_DEVICE,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::UnknownVendor}}},
        {"two supported devices",
         [](SysfsFixture& f) {
             f.BulkInterface(f.UsbDevice("1-1", VENDOR_B, KIND_BULK, 1, 2), 0);
             f.BulkInterface(f.UsbDevice("1-2", VENDOR_B, 0x0009, 1, 3), 0);
         },
         RESULT_MULTIPLE_DEVICES,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {USB, V::Counted}}},
        {"vendor A product outside its table counts but yields nothing",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", VENDOR_A, 0x0004, 2, 2);
             f.Interface(device, 0, 0x03, "usbhid");
             f.Hidraw(f.Interface(device, 1, 0x03, "usbhid"), 0, VENDOR_A, 0x0004);
         },
         RESULT_NO_DEVICE,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted},
          {VENDOR, V::NotVendorSpecific},
          {VENDOR, V::NotVendorSpecific},
          {HID, V::UnsupportedProduct}}},
        {"vendor A product outside its table beside a supported one is two devices",
         [](SysfsFixture& f) {
             f.UsbDevice("1-1", VENDOR_A, 0x0004, 1, 2);
             f.BulkInterface(f.UsbDevice("1-2", VENDOR_B, KIND_BULK, 1, 3), 0);
         },
         RESULT_MULTIPLE_DEVICES,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {USB, V::Counted}}},
        {"kind 5 on HID interface 1 opens as feature HID",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", VENDOR_A, KIND_COMPOSITE, 2, 2);
             f.Hidraw(f.Interface(device, 0, 0x03, "usbhid"), 0, VENDOR_A, KIND_COMPOSITE);
             f.Hidraw(f.Interface(device, 1, 0x03, "usbhid"), 1, VENDOR_A, KIND_COMPOSITE);
         },
         RESULT_SUCCESS,
         LinkKind::HidFeature,
         2,
         "/hidraw1",
         {{USB, V::Counted},
          {VENDOR, V::NotVendorSpecific},
          {VENDOR, V::NotVendorSpecific},
          {HID, V::InterfaceNotKept},
          {HID, V::Taken}}},
        {"kind 5 on HID interface 0 only",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", VENDOR_A, KIND_COMPOSITE, 2, 2);
             f.Hidraw(f.Interface(device, 0, 0x03, "usbhid"), 0, VENDOR_A, KIND_COMPOSITE);
             f.Interface(device, 1, 0x0A);
         },
         RESULT_NO_DEVICE,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted},
          {VENDOR, V::NotVendorSpecific},
          {VENDOR, V::NotVendorSpecific},
          {HID, V::InterfaceNotKept}}},
        {"kind 5 on a single-interface device has no interface number and gives nothing",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", VENDOR_A, KIND_COMPOSITE, 1, 2);
             f.Hidraw(f.Interface(device, 0, 0x03, "usbhid"), 0, VENDOR_A, KIND_COMPOSITE);
         },
         RESULT_NO_DEVICE,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {VENDOR, V::NotVendorSpecific}, {HID, V::NeedsInterfaceOne}}},
        {"kind 5 through a free bulk interface gives nothing",
         [](SysfsFixture& f) {
             f.BulkInterface(f.UsbDevice("1-1", VENDOR_A, KIND_COMPOSITE, 1, 2), 0);
         },
         RESULT_NO_DEVICE,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {VENDOR, V::NeedsInterfaceOne}}},
        {"kind 2 on HID interface 1",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", VENDOR_A, KIND_HID, 2, 2);
             f.Hidraw(f.Interface(device, 0, 0x03, "usbhid"), 3, VENDOR_A, KIND_HID);
             f.Hidraw(f.Interface(device, 1, 0x03, "usbhid"), 4, VENDOR_A, KIND_HID);
         },
         RESULT_SUCCESS,
         LinkKind::Hid,
         2,
         "/hidraw4",
         {{USB, V::Counted},
          {VENDOR, V::NotVendorSpecific},
          {VENDOR, V::NotVendorSpecific},
          {HID, V::InterfaceNotKept},
          {HID, V::Taken}}},
        {"kind 2 on HID interface 0 only",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", VENDOR_A, KIND_HID, 2, 2);
             f.Hidraw(f.Interface(device, 0, 0x03, "usbhid"), 0, VENDOR_A, KIND_HID);
             f.Interface(device, 1, 0x08);
         },
         RESULT_NO_DEVICE,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted},
          {VENDOR, V::NotVendorSpecific},
          {VENDOR, V::NotVendorSpecific},
          {HID, V::InterfaceNotKept}}},
        {"kind 2 on its only interface, without interface number",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", VENDOR_A, 0x0210, 1, 2);
             f.Hidraw(f.Interface(device, 0, 0x03, "usbhid"), 0, VENDOR_A, 0x0210);
         },
         RESULT_SUCCESS,
         LinkKind::Hid,
         0,
         "/hidraw0",
         {{USB, V::Counted}, {VENDOR, V::NotVendorSpecific}, {HID, V::Taken}}},
        {"a HID node of another bus is not a candidate",
         [](SysfsFixture& f) {
             f.UsbDevice("1-1", VENDOR_A, KIND_HID, 1, 2);
             f.VirtualClassDevice("misc/uhid/0005:7A10:0010.0009/hidraw", "hidraw", "hidraw9");
         },
         RESULT_NO_DEVICE,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {HID, V::NoUsbInterface}}},
        {"kind 1 through its free bulk interface",
         [](SysfsFixture& f) { f.BulkInterface(f.UsbDevice("1-1", VENDOR_B, KIND_BULK, 1, 4), 0); },
         RESULT_SUCCESS,
         LinkKind::VendorBulk,
         0,
         "/bus/usb/001/004#if0",
         {{USB, V::Counted}, {VENDOR, V::Taken}}},
        {"kind 1 bulk interface claimed through usbfs by a program",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", VENDOR_C, 0x0C21, 1, 17);
             const std::string interface = f.Interface(device, 3, 0xFF, "usbfs");
             f.Endpoint(interface, 0x82, 0x02);
             f.Endpoint(interface, 0x01, 0x02);
         },
         RESULT_SUCCESS,
         LinkKind::VendorBulk,
         0,
         "/bus/usb/001/017#if3",
         {{USB, V::Counted}, {VENDOR, V::Taken}}},
        {"kind 1 bulk interface without a bulk OUT endpoint",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", VENDOR_B, KIND_BULK, 1, 4);
             const std::string interface = f.Interface(device, 0, 0xFF);
             f.Endpoint(interface, 0x81, 0x02);
             f.Endpoint(interface, 0x02, 0x03);  // interrupt
         },
         RESULT_NO_DEVICE,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {VENDOR, V::NoBulkEndpoints}}},
        {"kind 1 interface that is not vendor-specific",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", VENDOR_B, KIND_BULK, 1, 4);
             const std::string interface = f.Interface(device, 0, 0x0A);
             f.Endpoint(interface, 0x81, 0x02);
             f.Endpoint(interface, 0x02, 0x02);
         },
         RESULT_NO_DEVICE,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {VENDOR, V::NotVendorSpecific}}},
        {"kind 1 held by a kernel serial driver is reached through its tty",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", VENDOR_B, KIND_BULK, 1, 4);
             const std::string interface = f.Interface(device, 0, 0xFF, "usb_serial_simple");
             f.Endpoint(interface, 0x81, 0x02);
             f.Endpoint(interface, 0x02, 0x02);
             f.Tty(interface, "ttyUSB0");
         },
         RESULT_SUCCESS,
         LinkKind::SerialPort,
         0,
         "/ttyUSB0",
         {{USB, V::Counted}, {VENDOR, V::HeldByDriver}, {PORT, V::Taken}}},
        {"kind 1 composite: its bulk interface carries an interface number, its tty is taken",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", VENDOR_B, KIND_BULK, 3, 4);
             f.BulkInterface(device, 0);
             f.Tty(f.Interface(device, 1, 0x02, "cdc_acm"), "ttyACM0");
             f.Interface(device, 2, 0x0A, "cdc_acm");
         },
         RESULT_SUCCESS,
         LinkKind::SerialPort,
         2,
         "/ttyACM0",
         {{USB, V::Counted},
          {VENDOR, V::InterfaceNotKept},
          {VENDOR, V::NotVendorSpecific},
          {VENDOR, V::NotVendorSpecific},
          {PORT, V::Taken}}},
        {"kind 1 with two serial ports",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", VENDOR_B, KIND_BULK, 4, 4);
             f.Tty(f.Interface(device, 0, 0x02, "cdc_acm"), "ttyACM0");
             f.Interface(device, 1, 0x0A, "cdc_acm");
             f.Tty(f.Interface(device, 2, 0x02, "cdc_acm"), "ttyACM1");
             f.Interface(device, 3, 0x0A, "cdc_acm");
         },
         RESULT_MULTIPLE_DEVICES,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted},
          {VENDOR, V::NotVendorSpecific},
          {VENDOR, V::NotVendorSpecific},
          {VENDOR, V::NotVendorSpecific},
          {VENDOR, V::NotVendorSpecific},
          {PORT, V::Taken},
          {PORT, V::Taken}}},
        {"serial product on its only interface",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", VENDOR_B, KIND_SERIAL, 1, 5);
             f.Tty(f.Interface(device, 0, 0xFF, "ftdi_sio"), "ttyUSB3");
         },
         RESULT_SUCCESS,
         LinkKind::SerialPort,
         0,
         "/ttyUSB3",
         {{USB, V::Counted}, {VENDOR, V::HeldByDriver}, {PORT, V::Taken}}},
        {"serial product on interface 0 of a composite device",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", VENDOR_A, 0x0006, 2, 5);
             f.Tty(f.Interface(device, 0, 0x02, "cdc_acm"), "ttyACM7");
             f.Interface(device, 1, 0x0A, "cdc_acm");
         },
         RESULT_SUCCESS,
         LinkKind::SerialPort,
         1,
         "/ttyACM7",
         {{USB, V::Counted},
          {VENDOR, V::NotVendorSpecific},
          {VENDOR, V::NotVendorSpecific},
          {PORT, V::Taken}}},
        {"a main-board port is never a candidate",
         [](SysfsFixture& f) {
             f.UsbDevice("1-1", VENDOR_B, KIND_SERIAL, 1, 5);
             f.PlatformTty("ttyS0");
             f.VirtualClassDevice("tty", "tty", "ttyUSB9");
         },
         RESULT_NO_DEVICE,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {PORT, V::NoUsbInterface}}},
        {"tty names other than ttyACMn and ttyUSBn",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", VENDOR_B, KIND_SERIAL, 1, 5);
             const std::string interface = f.Interface(device, 0, 0xFF, "some_serial");
             f.Tty(interface, "ttyACM");
             f.Tty(interface, "ttyACM1x");
             f.Tty(interface, "ttyGS0");
         },
         RESULT_NO_DEVICE,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {VENDOR, V::HeldByDriver}}},
        // No list is no proof of absence: the count says so instead of finding nothing.
        {"sysfs not mounted: the USB device list is unavailable",
         [](SysfsFixture& f) { std::filesystem::remove_all(f.Sys() + "/bus"); },
         RESULT_NO_DEVICE,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::ListUnavailable}}},
        // A kernel without hidraw has no such class: an empty list. One that cannot be read
        // (here not a directory) is unavailable; the ports are still looked at.
        {"no hidraw class is an empty list, an unreadable tty class none",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", VENDOR_B, KIND_SERIAL, 1, 5);
             f.Tty(f.Interface(device, 0, 0xFF, "ftdi_sio"), "ttyUSB3");
             std::filesystem::remove_all(f.Sys() + "/class/hidraw");
             std::filesystem::remove_all(f.Sys() + "/class/tty");
             f.Write(f.Sys() + "/class/tty", "not a directory");
         },
         RESULT_NO_DEVICE,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {VENDOR, V::HeldByDriver}, {PORT, V::ListUnavailable}}},
        {"a HID product's serial port is not taken",
         [](SysfsFixture& f) {
             const std::string device = f.UsbDevice("1-1", VENDOR_A, KIND_HID, 1, 5);
             f.Tty(f.Interface(device, 0, 0x02, "cdc_acm"), "ttyACM0");
         },
         RESULT_NO_DEVICE,
         LinkKind::Unsupported,
         0,
         nullptr,
         {{USB, V::Counted}, {VENDOR, V::NotVendorSpecific}, {PORT, V::KindNotTaken}}},
    };
    for (const Case& c : cases) {
        SysfsFixture fixture;
        c.fill(fixture);
        const Outcome outcome = Select(fixture);
        EXPECT_EQ(outcome.result, c.result) << c.name;
        EXPECT_EQ(ScannerEntries(outcome), c.seen) << c.name;
        if (c.result == RESULT_SUCCESS && outcome.result == RESULT_SUCCESS) {
            EXPECT_EQ(outcome.record.linkKind, c.kind) << c.name;
            EXPECT_EQ(outcome.record.interfacePlusOne, c.interfacePlusOne) << c.name;
            EXPECT_EQ(Utf16ToUtf8(outcome.record.path), fixture.Dev() + c.path) << c.name;
        }
    }
}

// Unreadable and malformed files skip only what they describe; the case's other device is
// then the one found, or nothing.
TEST(LinuxDeviceSource, UnreadableOrMalformedFilesSkipTheirEntry) {
    struct Case {
        const char* name;
        void (*spoil)(SysfsFixture&, const std::string& device, const std::string& interface);
        ResultCode result;
        std::vector<Seen> seen;  // what the sources reported, less the root hub
    };
    const Case cases[] = {
        {"intact",
         [](SysfsFixture&, const std::string&, const std::string&) {},
         RESULT_SUCCESS,
         {{USB, V::Counted}, {VENDOR, V::Taken}}},
        {"idVendor not hex",
         [](SysfsFixture& f, const std::string& d, const std::string&) {
             f.Write(d + "/idVendor", "zz66");
         },
         RESULT_NO_DEVICE,
         {}},
        {"idProduct too long",
         [](SysfsFixture& f, const std::string& d, const std::string&) {
             f.Write(d + "/idProduct", "00006");
         },
         RESULT_NO_DEVICE,
         {}},
        {"idVendor unreadable",
         [](SysfsFixture& f, const std::string& d, const std::string&) {
             f.MakeUnreadable(d + "/idVendor");
         },
         RESULT_NO_DEVICE,
         {}},
        {"bNumInterfaces missing (unconfigured)",
         [](SysfsFixture& f, const std::string& d, const std::string&) {
             f.Write(d + "/bNumInterfaces", "");
         },
         RESULT_NO_DEVICE,
         {{USB, V::Counted}, {VENDOR, V::Unreadable}}},
        {"busnum malformed",
         [](SysfsFixture& f, const std::string& d, const std::string&) {
             f.Write(d + "/busnum", "1a");
         },
         RESULT_NO_DEVICE,
         {{USB, V::Counted}, {VENDOR, V::Unreadable}}},
        {"bInterfaceClass unreadable",
         [](SysfsFixture& f, const std::string&, const std::string& i) {
             f.MakeUnreadable(i + "/bInterfaceClass");
         },
         RESULT_NO_DEVICE,
         {{USB, V::Counted}}},
        {"bInterfaceNumber malformed",
         [](SysfsFixture& f, const std::string&, const std::string& i) {
             f.Write(i + "/bInterfaceNumber", "0x0");
         },
         RESULT_NO_DEVICE,
         {{USB, V::Counted}}},
        {"endpoint attributes unreadable",
         [](SysfsFixture& f, const std::string&, const std::string& i) {
             f.MakeUnreadable(i + "/ep_02/bmAttributes");
         },
         RESULT_NO_DEVICE,
         {{USB, V::Counted}, {VENDOR, V::NoBulkEndpoints}}},
    };
    for (const Case& c : cases) {
        SysfsFixture fixture;
        const std::string device = fixture.UsbDevice("1-1", VENDOR_B, KIND_BULK, 1, 4);
        const std::string interface = fixture.BulkInterface(device, 0);
        c.spoil(fixture, device, interface);
        const Outcome outcome = Select(fixture);
        EXPECT_EQ(outcome.result, c.result) << c.name;
        EXPECT_EQ(ScannerEntries(outcome), c.seen) << c.name;
    }
}

TEST(LinuxDeviceSource, DanglingOrMalformedClassEntriesAreSkipped) {
    SysfsFixture fixture;
    const std::string device = fixture.UsbDevice("1-1", VENDOR_A, KIND_HID, 2, 2);
    fixture.Hidraw(fixture.Interface(device, 1, 0x03, "usbhid"), 1, VENDOR_A, KIND_HID);
    fixture.Link(fixture.Sys() + "/devices/gone/hidraw0", fixture.Sys() + "/class/hidraw/hidraw0");
    fixture.Write(fixture.Sys() + "/class/tty/ttyACM3", "not a link");
    const Outcome outcome = Select(fixture);
    EXPECT_EQ(outcome.result, RESULT_SUCCESS);
    EXPECT_EQ(Utf16ToUtf8(outcome.record.path), fixture.Dev() + "/hidraw1");
}

TEST(LinuxDeviceSource, APathTooLongForARecordIsSkipped) {
    SysfsFixture fixture;
    const std::string device = fixture.UsbDevice("1-1", VENDOR_B, KIND_SERIAL, 1, 5);
    fixture.Tty(fixture.Interface(device, 0, 0x02, "cdc_acm"), "ttyACM0");
    // "/ttyACM0" is 8 units: a root of 242 makes a path of exactly 250, one more does not fit.
    for (const std::size_t rootLength : {std::size_t{242}, std::size_t{243}}) {
        SimPort port;
        DeviceLink link(port);
        LinuxDeviceSource source(fixture.Sys(), "/" + std::string(rootLength - 1, 'd'));
        SelectionRecorder heard;
        source.SetObserver(&heard);
        EXPECT_EQ(SelectAndOpenDevice(source, link),
                  rootLength == 242 ? RESULT_SUCCESS : RESULT_NO_DEVICE)
            << rootLength;
        ASSERT_FALSE(heard.seen.empty());
        EXPECT_EQ(heard.seen.back(), (Seen{PORT, rootLength == 242 ? V::Taken : V::PathTooLong}));
        link.StopReader();
    }
}

// The sources' own contracts, which SelectAndOpenDevice relies on: the interface classes stop
// at two records, bulk interfaces first; the serial ports take their limit.
TEST(LinuxDeviceSource, SourcesKeepToTheirLimits) {
    SysfsFixture fixture;
    fixture.BulkInterface(fixture.UsbDevice("1-1", VENDOR_B, KIND_BULK, 1, 2), 0);
    fixture.BulkInterface(fixture.UsbDevice("1-2", VENDOR_B, 0x0009, 1, 3), 0);
    const std::string hid = fixture.UsbDevice("1-3", VENDOR_A, KIND_HID, 1, 4);
    fixture.Hidraw(fixture.Interface(hid, 0, 0x03, "usbhid"), 0, VENDOR_A, KIND_HID);
    const std::string serial = fixture.UsbDevice("1-4", VENDOR_B, KIND_SERIAL, 4, 5);
    fixture.Tty(fixture.Interface(serial, 0, 0x02, "cdc_acm"), "ttyACM0");
    fixture.Tty(fixture.Interface(serial, 2, 0x02, "cdc_acm"), "ttyACM1");
    LinuxDeviceSource source(fixture.Sys(), "/dev");

    EXPECT_EQ(source.CountUsbDevices(), 4u);
    DeviceRecord table[3];
    std::memset(table, 0xEE, sizeof table);
    EXPECT_EQ(source.ScanInterfaceClasses(table), 2u);
    EXPECT_EQ(Utf16ToUtf8(table[0].path), "/dev/bus/usb/001/002#if0");
    EXPECT_EQ(Utf16ToUtf8(table[1].path), "/dev/bus/usb/001/003#if0");
    EXPECT_EQ(table[1].vendorId, VENDOR_B);
    EXPECT_EQ(table[1].productId, 0x0009);
    EXPECT_EQ(table[1].reserved[0], 0);
    EXPECT_EQ(table[2].path[0], 0xEEEE);  // untouched

    std::memset(table, 0xEE, sizeof table);
    EXPECT_EQ(source.ScanComPorts(table, 0), 0u);
    EXPECT_EQ(table[0].path[0], 0xEEEE);
    EXPECT_EQ(source.ScanComPorts(table, 1), 1u);
    EXPECT_EQ(Utf16ToUtf8(table[0].path), "/dev/ttyACM0");
    EXPECT_EQ(table[0].interfacePlusOne, 1);
    EXPECT_EQ(table[1].path[0], 0xEEEE);
    EXPECT_EQ(source.ScanComPorts(table, 2), 2u);
    EXPECT_EQ(Utf16ToUtf8(table[1].path), "/dev/ttyACM1");
    EXPECT_EQ(table[1].interfacePlusOne, 3);
}

// scanfw devices over sysfs: the same selection, the Linux paths, nothing opened.
TEST(LinuxDeviceSource, ScanfwDevicesListsWhatSysfsShows) {
    SysfsFixture fixture;
    const std::string device = fixture.UsbDevice("1-1", VENDOR_B, KIND_SERIAL, 2, 5);
    fixture.Tty(fixture.Interface(device, 0, 0x02, "cdc_acm"), "ttyACM0");
    fixture.Interface(device, 1, 0x0A, "cdc_acm");
    fixture.PlatformTty("ttyS0");
    LinuxDeviceSource source(fixture.Sys(), fixture.Dev());
    std::ostringstream json;
    std::ostringstream err;
    EXPECT_EQ(RunScanfw({"devices", "--json"}, json, err, &source), SCANFW_OK);
    const std::string countedDevice = "\"path\": \"" + fixture.Sys() + "/bus/usb/devices/1-1\"";
    for (const std::string& part :
         {countedDevice + ", \"portName\": null, \"vendorId\": \"6666\", \"productId\": \"0007\", "
                          "\"interface\": null, \"productKind\": \"serial-a\", \"linkKind\": null, "
                          "\"verdict\": \"counted\"",
          std::string("\"vendorId\": \"1d6b\", \"productId\": \"0002\", \"interface\": null, "
                      "\"productKind\": \"unsupported\", \"linkKind\": null, \"verdict\": "
                      "\"unknown-vendor\""),
          "\"path\": \"" + fixture.Dev() +
              "/bus/usb/001/005#if1\", \"portName\": null, "
              "\"vendorId\": \"6666\", \"productId\": \"0007\", "
              "\"interface\": 1",
          "\"path\": \"" + fixture.Dev() + "/ttyACM0\", \"portName\": \"ttyACM0\"",
          "\"outcome\": {\"resultCode\": 0, \"exitCode\": null, \"device\": {\"path\": \"" +
              fixture.Dev() +
              "/ttyACM0\", \"vendorId\": \"6666\", \"productId\": \"0007\", "
              "\"interface\": 0, \"linkKind\": \"serial\"}"}) {
        EXPECT_NE(json.str().find(part), std::string::npos) << part << "\n" << json.str();
    }
    EXPECT_EQ(json.str().find("ttyS0"), std::string::npos) << json.str();
    std::ostringstream text;
    EXPECT_EQ(RunScanfw({"devices"}, text, err, &source), SCANFW_OK);
    EXPECT_NE(text.str().find("6666:0007  serial A, interface 0, port ttyACM0: taken, to open as "
                              "serial\n             " +
                              fixture.Dev() + "/ttyACM0\n"),
              std::string::npos)
        << text.str();
    EXPECT_TRUE(err.str().empty()) << err.str();
}

// Without sysfs every list is unavailable, and scanfw devices says so rather than "(none)".
TEST(LinuxDeviceSource, MissingRootsFindNothing) {
    LinuxDeviceSource source("/scanflash-no-such-sys", "/dev");
    SelectionRecorder heard;
    source.SetObserver(&heard);
    DeviceRecord table[2] = {};
    EXPECT_EQ(source.CountUsbDevices(), 0u);
    EXPECT_EQ(source.ScanInterfaceClasses(table), 0u);
    EXPECT_EQ(source.ScanComPorts(table, 2), 0u);
    EXPECT_EQ(heard.seen, (std::vector<Seen>{{USB, V::ListUnavailable},
                                             {VENDOR, V::ListUnavailable},
                                             {HID, V::ListUnavailable},
                                             {PORT, V::ListUnavailable}}));
    source.SetObserver(nullptr);
    std::ostringstream text;
    std::ostringstream err;
    EXPECT_EQ(RunScanfw({"devices"}, text, err, &source), SCANFW_REFUSED);
    EXPECT_NE(text.str().find("  ----:----  identity unknown: skipped: the device database gave "
                              "no list\n             /scanflash-no-such-sys/bus/usb/devices\n"),
              std::string::npos)
        << text.str();
}

}  // namespace
