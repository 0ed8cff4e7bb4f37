// The Windows device database: SetupAPI device information lists and the device keys of the
// registry, behind the seam the selection reads.
#pragma once

#include <windows.h>

#include <setupapi.h>

#include "discovery/device_database.h"

GUID ToWindowsGuid(const Guid& guid);

// Remembers the element last enumerated in one list at a time, as the selection walks its
// lists one after the other: a call for any other list fails. Handles are the Windows ones
// (HDEVINFO, HKEY) carried in the seam's integers; the caller closes every one it gets. For
// the device tree a device is found by its instance identifier (SetupDiOpenDeviceInfoW in a
// list of its own); its parent comes from the configuration manager (CM_Get_Parent,
// CM_Get_Device_IDW), its location information from SPDRP_LOCATION_INFORMATION.
class Win32DeviceDatabase final : public DeviceDatabase {
  public:
    DeviceListHandle GetClassDevices(const Guid& classGuid, std::uint32_t flags) override;
    bool EnumDeviceInterface(DeviceListHandle list, const Guid& interfaceClass,
                             std::uint32_t index) override;
    bool GetDeviceInterfacePath(DeviceListHandle list, char16_t* path) override;
    bool EnumDevice(DeviceListHandle list, std::uint32_t index) override;
    bool GetDeviceInstanceId(DeviceListHandle list, char16_t* instanceId) override;
    RegistryKeyHandle OpenDeviceKey(DeviceListHandle list) override;
    std::uint32_t QueryValue(RegistryKeyHandle key, const char16_t* name, std::uint32_t& type,
                             std::uint8_t* data, std::uint32_t& size) override;
    void CloseKey(RegistryKeyHandle key) override;
    void DestroyDeviceList(DeviceListHandle list) override;
    bool GetInterfaceDeviceId(DeviceListHandle list, char16_t* instanceId) override;
    bool GetParentDeviceId(const char16_t* instanceId, char16_t* parentId) override;
    bool GetDeviceLocation(const char16_t* instanceId, char16_t* location) override;

  private:
    DeviceListHandle interfaceList_ = NO_DEVICE_LIST;
    SP_DEVICE_INTERFACE_DATA interface_{};
    // The device the interface belongs to, as the detail call gave it; only after a detail
    // call for the interface last enumerated succeeded.
    bool interfaceDeviceKnown_ = false;
    SP_DEVINFO_DATA interfaceDevice_{};
    DeviceListHandle deviceList_ = NO_DEVICE_LIST;
    SP_DEVINFO_DATA device_{};
};
