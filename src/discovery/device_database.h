// The device database seam: the raw entries of the Windows device database, in their Windows
// forms, that the selection judges. Windows feeds it from SetupAPI and the registry; the
// simulated database from scripted entries, so that every selection rule runs on any OS.
// Each call reports its failure the way the Windows call does.
#pragma once

#include <cstdint>

struct Guid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};

constexpr bool operator==(const Guid& a, const Guid& b) {
    if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (a.data4[i] != b.data4[i]) {
            return false;
        }
    }
    return true;
}

// USB devices, for the count.
constexpr Guid USB_DEVICE_INTERFACE_CLASS = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
// HID interfaces.
constexpr Guid HID_INTERFACE_CLASS = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
// The ports setup class (COM ports).
constexpr Guid PORTS_SETUP_CLASS = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
// The interface class under which the vendor's USB driver publishes the scanner's bulk
// interface, {6F3A2C81-94B7-4E0D-A5C2-1B8E7D40F9A3}. A driver that takes its place must
// publish paths that begin "\\?\usb#" followed by the USB identity.
constexpr Guid VENDOR_INTERFACE_CLASS = {
    0x6F3A2C81, 0x94B7, 0x4E0D, {0xA5, 0xC2, 0x1B, 0x8E, 0x7D, 0x40, 0xF9, 0xA3}};

constexpr std::uint32_t DIGCF_PRESENT_FLAG = 0x2;
constexpr std::uint32_t DIGCF_DEVICEINTERFACE_FLAG = 0x10;
constexpr std::uint32_t REG_SZ_TYPE = 1;
constexpr std::uint32_t REGISTRY_SUCCESS = 0;
constexpr std::uint32_t REGISTRY_MORE_DATA = 234;
constexpr std::uint32_t REGISTRY_FILE_NOT_FOUND = 2;

// The detail buffer is 510 bytes: a 4-byte size field and room for 253 units, so a path of
// at most 252 units and its terminator.
constexpr std::uint32_t INTERFACE_DETAIL_BYTES = 510;
constexpr std::uint32_t INTERFACE_PATH_UNITS = (INTERFACE_DETAIL_BYTES - 4) / 2;
constexpr std::uint32_t INSTANCE_ID_UNITS = 256;

using DeviceListHandle = std::uintptr_t;
using RegistryKeyHandle = std::uintptr_t;
constexpr DeviceListHandle NO_DEVICE_LIST = 0;
constexpr RegistryKeyHandle NO_REGISTRY_KEY = 0;

class DeviceDatabase {
  public:
    virtual ~DeviceDatabase() = default;

    // SetupDiGetClassDevsW(classGuid, no enumerator, no window, flags); NO_DEVICE_LIST on
    // failure.
    virtual DeviceListHandle GetClassDevices(const Guid& classGuid, std::uint32_t flags) = 0;
    // SetupDiEnumDeviceInterfaces for member index of interfaceClass; false ends the walk.
    virtual bool EnumDeviceInterface(DeviceListHandle list, const Guid& interfaceClass,
                                     std::uint32_t index) = 0;
    // SetupDiGetDeviceInterfaceDetailW of the interface last enumerated, through the 510-byte
    // detail buffer; the device path (with its terminator) is copied into path, which holds
    // INTERFACE_PATH_UNITS units. False when the call fails (a path too long for the buffer
    // included).
    virtual bool GetDeviceInterfacePath(DeviceListHandle list, char16_t* path) = 0;
    // SetupDiEnumDeviceInfo for device index; false ends the walk.
    virtual bool EnumDevice(DeviceListHandle list, std::uint32_t index) = 0;
    // SetupDiGetDeviceInstanceIdW of the device last enumerated into INSTANCE_ID_UNITS units;
    // false when it fails or does not fit.
    virtual bool GetDeviceInstanceId(DeviceListHandle list, char16_t* instanceId) = 0;
    // SetupDiOpenDevRegKey(global, profile 0, DIREG_DEV, KEY_QUERY_VALUE) of the device last
    // enumerated; NO_REGISTRY_KEY on failure.
    virtual RegistryKeyHandle OpenDeviceKey(DeviceListHandle list) = 0;
    // RegQueryValueExW: size is the data capacity in bytes on the way in and the bytes stored
    // on the way out; a value that does not fit gives REGISTRY_MORE_DATA. Returns the Win32
    // error number.
    virtual std::uint32_t QueryValue(RegistryKeyHandle key, const char16_t* name,
                                     std::uint32_t& type, std::uint8_t* data,
                                     std::uint32_t& size) = 0;
    virtual void CloseKey(RegistryKeyHandle key) = 0;
    virtual void DestroyDeviceList(DeviceListHandle list) = 0;

    // The device tree, which ties an interface or a port to the USB device it belongs to.
    // Identifiers are device instance identifiers of at most INSTANCE_ID_UNITS units with
    // their terminator; every call answers false when it fails or the text does not fit.
    //
    // The instance identifier of the device the interface last enumerated belongs to (the
    // device information element SetupDiGetDeviceInterfaceDetailW gave with its path).
    virtual bool GetInterfaceDeviceId(DeviceListHandle list, char16_t* instanceId) = 0;
    // The device's parent node (CM_Get_Parent, CM_Get_Device_IDW).
    virtual bool GetParentDeviceId(const char16_t* instanceId, char16_t* parentId) = 0;
    // The device's location information (SPDRP_LOCATION_INFORMATION), such as
    // "Port_#0003.Hub_#0002" for a USB device.
    virtual bool GetDeviceLocation(const char16_t* instanceId, char16_t* location) = 0;
};
