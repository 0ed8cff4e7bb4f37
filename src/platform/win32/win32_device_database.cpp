#include "platform/win32/win32_device_database.h"

#include <cstddef>
#include <cstring>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "database strings are handed over as they are");
static_assert(DIGCF_PRESENT_FLAG == DIGCF_PRESENT);
static_assert(DIGCF_DEVICEINTERFACE_FLAG == DIGCF_DEVICEINTERFACE);
static_assert(REG_SZ_TYPE == REG_SZ);
static_assert(REGISTRY_SUCCESS == ERROR_SUCCESS);
static_assert(REGISTRY_MORE_DATA == ERROR_MORE_DATA);
static_assert(REGISTRY_FILE_NOT_FOUND == ERROR_FILE_NOT_FOUND);
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) == 4);
// SetupAPI refuses any other cbSize (ERROR_INVALID_USER_BUFFER): the fixed part is packed to
// 6 bytes in a 32-bit process and padded to 8 in a 64-bit one.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == (sizeof(void*) == 4 ? 6 : 8));
static_assert((INTERFACE_DETAIL_BYTES - 4) / sizeof(WCHAR) == INTERFACE_PATH_UNITS);

namespace {

HDEVINFO ListOf(DeviceListHandle list) {
    return reinterpret_cast<HDEVINFO>(list);
}

HKEY KeyOf(RegistryKeyHandle key) {
    return reinterpret_cast<HKEY>(key);
}

}  // namespace

GUID ToWindowsGuid(const Guid& guid) {
    GUID windows{};
    windows.Data1 = guid.data1;
    windows.Data2 = guid.data2;
    windows.Data3 = guid.data3;
    std::memcpy(windows.Data4, guid.data4, sizeof windows.Data4);
    return windows;
}

DeviceListHandle Win32DeviceDatabase::GetClassDevices(const Guid& classGuid, std::uint32_t flags) {
    const GUID windowsGuid = ToWindowsGuid(classGuid);
    const HDEVINFO list = SetupDiGetClassDevsW(&windowsGuid, nullptr, nullptr, flags);
    if (list == INVALID_HANDLE_VALUE) {
        return NO_DEVICE_LIST;
    }
    return reinterpret_cast<DeviceListHandle>(list);
}

bool Win32DeviceDatabase::EnumDeviceInterface(DeviceListHandle list, const Guid& interfaceClass,
                                              std::uint32_t index) {
    const GUID windowsGuid = ToWindowsGuid(interfaceClass);
    interfaceList_ = NO_DEVICE_LIST;
    interface_ = SP_DEVICE_INTERFACE_DATA{};
    interface_.cbSize = sizeof interface_;
    if (!SetupDiEnumDeviceInterfaces(ListOf(list), nullptr, &windowsGuid, index, &interface_)) {
        return false;
    }
    interfaceList_ = list;
    return true;
}

bool Win32DeviceDatabase::GetDeviceInterfacePath(DeviceListHandle list, char16_t* path) {
    if (list == NO_DEVICE_LIST || list != interfaceList_) {
        return false;
    }
    alignas(SP_DEVICE_INTERFACE_DETAIL_DATA_W) std::uint8_t buffer[INTERFACE_DETAIL_BYTES] = {};
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer);
    // The size of the structure itself, as SetupAPI checks it, not the buffer's.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(ListOf(list), &interface_, detail, INTERFACE_DETAIL_BYTES,
                                          nullptr, nullptr)) {
        return false;
    }
    // A successful call leaves the path terminated inside the buffer; copy it through the
    // bytes so that nothing depends on how the buffer is typed.
    const std::uint8_t* text = buffer + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    std::memcpy(path, text, INTERFACE_PATH_UNITS * sizeof(char16_t));
    for (std::uint32_t unit = 0; unit < INTERFACE_PATH_UNITS; ++unit) {
        if (path[unit] == 0) {
            return true;
        }
    }
    return false;
}

bool Win32DeviceDatabase::EnumDevice(DeviceListHandle list, std::uint32_t index) {
    deviceList_ = NO_DEVICE_LIST;
    device_ = SP_DEVINFO_DATA{};
    device_.cbSize = sizeof device_;
    if (!SetupDiEnumDeviceInfo(ListOf(list), index, &device_)) {
        return false;
    }
    deviceList_ = list;
    return true;
}

bool Win32DeviceDatabase::GetDeviceInstanceId(DeviceListHandle list, char16_t* instanceId) {
    if (list == NO_DEVICE_LIST || list != deviceList_) {
        return false;
    }
    return SetupDiGetDeviceInstanceIdW(ListOf(list), &device_, reinterpret_cast<PWSTR>(instanceId),
                                       INSTANCE_ID_UNITS, nullptr) != FALSE;
}

RegistryKeyHandle Win32DeviceDatabase::OpenDeviceKey(DeviceListHandle list) {
    if (list == NO_DEVICE_LIST || list != deviceList_) {
        return NO_REGISTRY_KEY;
    }
    const HKEY key = SetupDiOpenDevRegKey(ListOf(list), &device_, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                          KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) {
        return NO_REGISTRY_KEY;
    }
    return reinterpret_cast<RegistryKeyHandle>(key);
}

std::uint32_t Win32DeviceDatabase::QueryValue(RegistryKeyHandle key, const char16_t* name,
                                              std::uint32_t& type, std::uint8_t* data,
                                              std::uint32_t& size) {
    DWORD valueType = 0;
    DWORD valueSize = size;
    const LSTATUS status = RegQueryValueExW(KeyOf(key), reinterpret_cast<LPCWSTR>(name), nullptr,
                                            &valueType, data, &valueSize);
    type = valueType;
    size = valueSize;
    return static_cast<std::uint32_t>(status);
}

void Win32DeviceDatabase::CloseKey(RegistryKeyHandle key) {
    RegCloseKey(KeyOf(key));
}

void Win32DeviceDatabase::DestroyDeviceList(DeviceListHandle list) {
    if (list == interfaceList_) {
        interfaceList_ = NO_DEVICE_LIST;
    }
    if (list == deviceList_) {
        deviceList_ = NO_DEVICE_LIST;
    }
    SetupDiDestroyDeviceInfoList(ListOf(list));
}
