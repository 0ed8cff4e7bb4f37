// The Win32 device database over SetupAPI and the registry of a Wine prefix. wine_update.py
// imports the entries these tests expect (its DATABASE_ENTRIES) before it runs them.
#include <gtest/gtest.h>

#include <windows.h>

// The system's own definitions of the classes, to compare with; hidclass.h needs the macros
// of winioctl.h, which the lean windows.h leaves out.
#include <initguid.h>
#include <winioctl.h>

#include <devguid.h>
#include <hidclass.h>
#include <usbiodef.h>

#include <map>
#include <string>

#include "common/wide_string.h"
#include "discovery/selection.h"
#include "platform/win32/win32_device_database.h"

namespace {

const GUID LONG_PATH_INTERFACES = {
    0x5c4a8f10, 0x3b2e, 0x4d71, {0x9a, 0x60, 0x2f, 0x1e, 0x0c, 0x7b, 0x8d, 0x45}};

Guid FromWindowsGuid(const GUID& windows) {
    Guid guid{windows.Data1, windows.Data2, windows.Data3, {}};
    for (int i = 0; i < 8; ++i) {
        guid.data4[i] = windows.Data4[i];
    }
    return guid;
}

std::string Narrow(const char16_t* text) {
    return Utf16ToUtf8(text);
}

TEST(Win32DeviceDatabase, ClassesConvertToTheSystemsGuids) {
    EXPECT_TRUE(
        IsEqualGUID(ToWindowsGuid(USB_DEVICE_INTERFACE_CLASS), GUID_DEVINTERFACE_USB_DEVICE));
    EXPECT_TRUE(IsEqualGUID(ToWindowsGuid(HID_INTERFACE_CLASS), GUID_DEVINTERFACE_HID));
    EXPECT_TRUE(IsEqualGUID(ToWindowsGuid(PORTS_SETUP_CLASS), GUID_DEVCLASS_PORTS));
}

TEST(Win32DeviceDatabase, CountsTheSupportedUsbDevicesOnly) {
    Win32DeviceDatabase database;
    DatabaseDeviceSource source(database);
    EXPECT_EQ(source.CountUsbDevices(), 1u);
}

TEST(Win32DeviceDatabase, FindsTheVendorInterfaceAndTheHidInterface) {
    Win32DeviceDatabase database;
    DatabaseDeviceSource source(database);
    DeviceRecord table[DEVICE_RECORD_TABLE_SIZE] = {};
    ASSERT_EQ(source.ScanInterfaceClasses(table), 2u);
    EXPECT_EQ(Narrow(table[0].path),
              "\\\\?\\usb#vid_6666&pid_0006#7&d0&0&7#{6f3a2c81-94b7-4e0d-a5c2-1b8e7d40f9a3}");
    EXPECT_EQ(table[0].linkKind, LinkKind::VendorBulk);
    EXPECT_EQ(table[0].productId, 0x0006);
    EXPECT_EQ(Narrow(table[1].path),
              "\\\\?\\hid#vid_7a10&pid_0010#8&d0&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");
    EXPECT_EQ(table[1].linkKind, LinkKind::Hid);
    EXPECT_EQ(table[1].vendorId, VENDOR_A);
}

// The 62 bytes read of "PortName" hold 30 units and the terminator: a longer name is
// refused, as are names that are no port number and ports of neither USB nor the vendor bus.
TEST(Win32DeviceDatabase, FindsTheComPortsThatPassTheRules) {
    Win32DeviceDatabase database;
    DatabaseDeviceSource source(database);
    DeviceRecord table[8] = {};
    const std::uint32_t found = source.ScanComPorts(table, 8);
    std::map<std::string, const DeviceRecord*> byPath;
    for (std::uint32_t i = 0; i < found; ++i) {
        byPath[Narrow(table[i].path)] = &table[i];
    }
    const std::string longest = "\\\\.\\COM" + std::string(26, '0') + "4";
    ASSERT_EQ(byPath.size(), 3u);
    ASSERT_EQ(found, 3u);
    ASSERT_EQ(byPath.count("\\\\.\\COM7"), 1u);
    ASSERT_EQ(byPath.count(longest), 1u);
    ASSERT_EQ(byPath.count("\\\\.\\COM12"), 1u);
    EXPECT_EQ(byPath["\\\\.\\COM7"]->productId, 0x0007);
    EXPECT_EQ(byPath[longest]->productId, 0x0008);
    // The vendor bus port carries the identity of its "HardwareDevinstpath".
    EXPECT_EQ(byPath["\\\\.\\COM12"]->vendorId, VENDOR_B);
    EXPECT_EQ(byPath["\\\\.\\COM12"]->productId, 0x0008);
    for (const auto& [path, record] : byPath) {
        EXPECT_EQ(record->linkKind, LinkKind::SerialPort) << path;
    }
}

// A path of 252 units fills the 510-byte detail buffer with its terminator; one of 253 units
// does not fit, and the call fails instead of giving a cut path.
TEST(Win32DeviceDatabase, DetailBufferHoldsPathsUpTo252Units) {
    Win32DeviceDatabase database;
    const Guid longPaths = FromWindowsGuid(LONG_PATH_INTERFACES);
    const DeviceListHandle list =
        database.GetClassDevices(longPaths, DIGCF_PRESENT_FLAG | DIGCF_DEVICEINTERFACE_FLAG);
    ASSERT_NE(list, NO_DEVICE_LIST);
    std::uint32_t interfaces = 0;
    std::uint32_t fitting = 0;
    for (std::uint32_t index = 0; database.EnumDeviceInterface(list, longPaths, index); ++index) {
        ++interfaces;
        char16_t path[INTERFACE_PATH_UNITS];
        if (database.GetDeviceInterfacePath(list, path)) {
            ++fitting;
            EXPECT_EQ(Narrow(path), "\\\\?\\usb#vid_6666&pid_0006#" + std::string(187, 'a') +
                                        "#{5c4a8f10-3b2e-4d71-9a60-2f1e0c7b8d45}");
        }
    }
    database.DestroyDeviceList(list);
    EXPECT_EQ(interfaces, 2u);
    EXPECT_EQ(fitting, 1u);
}

TEST(Win32DeviceDatabase, ReadsInstanceIdsAndValuesOfTheDeviceKey) {
    Win32DeviceDatabase database;
    const DeviceListHandle list = database.GetClassDevices(PORTS_SETUP_CLASS, DIGCF_PRESENT_FLAG);
    ASSERT_NE(list, NO_DEVICE_LIST);
    bool seen = false;
    for (std::uint32_t index = 0; database.EnumDevice(list, index); ++index) {
        char16_t instanceId[INSTANCE_ID_UNITS] = {};
        ASSERT_TRUE(database.GetDeviceInstanceId(list, instanceId));
        if (!EqualsNoCase(instanceId, u"USB\\VID_6666&PID_0007\\7&d0&0&1")) {
            continue;
        }
        seen = true;
        const RegistryKeyHandle key = database.OpenDeviceKey(list);
        ASSERT_NE(key, NO_REGISTRY_KEY);
        std::uint8_t data[64] = {};
        std::uint32_t type = 0;
        std::uint32_t size = sizeof data;
        EXPECT_EQ(database.QueryValue(key, u"PortName", type, data, size), REGISTRY_SUCCESS);
        EXPECT_EQ(type, REG_SZ_TYPE);
        EXPECT_EQ(size, 10u);  // "COM7" and its terminator
        EXPECT_EQ(Narrow(reinterpret_cast<const char16_t*>(data)), "COM7");
        size = 4;
        EXPECT_EQ(database.QueryValue(key, u"PortName", type, data, size), REGISTRY_MORE_DATA);
        EXPECT_EQ(size, 10u);
        size = sizeof data;
        EXPECT_EQ(database.QueryValue(key, u"HardwareDevinstpath", type, data, size),
                  REGISTRY_FILE_NOT_FOUND);
        database.CloseKey(key);
    }
    database.DestroyDeviceList(list);
    EXPECT_TRUE(seen);
}

// The device tree: the device an interface belongs to, and its location information.
TEST(Win32DeviceDatabase, ReadsTheDeviceTree) {
    Win32DeviceDatabase database;
    const DeviceListHandle list = database.GetClassDevices(
        USB_DEVICE_INTERFACE_CLASS, DIGCF_PRESENT_FLAG | DIGCF_DEVICEINTERFACE_FLAG);
    ASSERT_NE(list, NO_DEVICE_LIST);
    std::map<std::string, std::string> locations;
    for (std::uint32_t index = 0;
         database.EnumDeviceInterface(list, USB_DEVICE_INTERFACE_CLASS, index); ++index) {
        char16_t path[INTERFACE_PATH_UNITS] = {};
        char16_t device[INSTANCE_ID_UNITS] = {};
        char16_t location[INSTANCE_ID_UNITS] = {};
        ASSERT_TRUE(database.GetDeviceInterfacePath(list, path));
        ASSERT_TRUE(database.GetInterfaceDeviceId(list, device)) << Narrow(path);
        locations[Narrow(device)] =
            database.GetDeviceLocation(device, location) ? Narrow(location) : "(none)";
    }
    database.DestroyDeviceList(list);
    EXPECT_EQ(locations["USB\\VID_6666&PID_0007\\7&D0&0&1"], "Port_#0001.Hub_#0003");
    EXPECT_EQ(locations["USB\\VID_1234&PID_5678\\7&D0&0&2"], "(none)");
}

// The value the next new handle gets. Wine hands out the lowest free slot of the process's
// handle table, so the value moves only while some handle stays open.
std::uintptr_t NextHandleValue() {
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(event);
    return reinterpret_cast<std::uintptr_t>(event);
}

// Every key opened on the way is closed again. (GetProcessHandleCount gives 0 under Wine.)
TEST(Win32DeviceDatabase, ScansLeaveNoKeyOpen) {
    Win32DeviceDatabase database;
    DatabaseDeviceSource source(database);
    DeviceRecord table[8] = {};
    // The first scan opens what the system keeps open afterwards (the predefined keys).
    source.ScanComPorts(table, 8);
    const std::uintptr_t before = NextHandleValue();
    for (int round = 0; round < 20; ++round) {
        source.CountUsbDevices();
        source.ScanInterfaceClasses(table);
        source.ScanComPorts(table, 8);
    }
    EXPECT_EQ(NextHandleValue(), before);
}

// Calls for a list other than the one last walked fail instead of reading another list's
// element.
TEST(Win32DeviceDatabase, ElementCallsNeedTheListLastWalked) {
    Win32DeviceDatabase database;
    const DeviceListHandle ports = database.GetClassDevices(PORTS_SETUP_CLASS, DIGCF_PRESENT_FLAG);
    const DeviceListHandle usb = database.GetClassDevices(
        USB_DEVICE_INTERFACE_CLASS, DIGCF_PRESENT_FLAG | DIGCF_DEVICEINTERFACE_FLAG);
    ASSERT_NE(ports, NO_DEVICE_LIST);
    ASSERT_NE(usb, NO_DEVICE_LIST);
    ASSERT_TRUE(database.EnumDevice(ports, 0));
    char16_t instanceId[INSTANCE_ID_UNITS] = {};
    EXPECT_FALSE(database.GetDeviceInstanceId(usb, instanceId));
    EXPECT_EQ(database.OpenDeviceKey(usb), NO_REGISTRY_KEY);
    ASSERT_TRUE(database.EnumDeviceInterface(usb, USB_DEVICE_INTERFACE_CLASS, 0));
    char16_t path[INTERFACE_PATH_UNITS] = {};
    EXPECT_FALSE(database.GetDeviceInterfacePath(ports, path));
    EXPECT_TRUE(database.GetDeviceInterfacePath(usb, path));
    database.DestroyDeviceList(usb);
    EXPECT_FALSE(database.GetDeviceInterfacePath(usb, path));
    database.DestroyDeviceList(ports);
}

}  // namespace
