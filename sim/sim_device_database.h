// A scripted device database in the Windows forms: interface paths per class, port-class
// devices with instance identifiers and registry values, and failures of any call. It counts
// open lists and keys so tests can see that every one was closed, and records the flags and
// buffer sizes it was asked with, so tests can see that they reach the database as written.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "discovery/device_database.h"
#include "discovery/identity.h"

struct SimRegistryValue {
    bool present = false;
    std::uint32_t type = REG_SZ_TYPE;
    std::vector<std::uint8_t> data;

    // A REG_SZ value as Windows stores it, with its terminator unless told otherwise.
    static SimRegistryValue String(const std::u16string& text, bool terminated = true,
                                   std::uint32_t type = REG_SZ_TYPE);
};

// One registry read: the value's name and the data size the caller offered.
struct SimValueQuery {
    std::u16string name;
    std::uint32_t offeredBytes;
};

struct SimPortDevice {
    std::u16string instanceId;
    bool instanceIdFails = false;
    bool keyOpens = true;
    SimRegistryValue portName;
    SimRegistryValue hardwarePath;  // "HardwareDevinstpath"
};

// A node of the device tree: its parent, if any, and its location information.
struct SimDeviceNode {
    std::u16string instanceId;
    std::u16string parentId;  // empty: a root
    std::u16string location;  // empty: none
};

class SimDeviceDatabase : public DeviceDatabase {
  public:
    // The interface belongs to the device deviceId names; empty: the one its path names, as
    // Windows makes an interface path ("\\?\" and the instance identifier with "#" for "\",
    // then "#" and the class).
    void AddInterface(const Guid& interfaceClass, const std::u16string& path,
                      const std::u16string& deviceId = u"");
    void AddDeviceNode(const SimDeviceNode& node);
    void AddPortDevice(const SimPortDevice& device);
    void FailClassDevices(const Guid& classGuid);
    // The detail call fails for this member index of the class.
    void FailInterfaceDetail(const Guid& interfaceClass, std::uint32_t index);

    std::uint32_t ClassDevicesCalls(const Guid& classGuid) const;
    // The flags of every list request for the class, in call order.
    std::vector<std::uint32_t> ClassDevicesFlags(const Guid& classGuid) const;
    const std::vector<SimValueQuery>& ValueQueries() const { return valueQueries_; }
    std::uint32_t OpenLists() const { return openLists_; }
    std::uint32_t OpenKeys() const { return openKeys_; }

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
    struct ClassEntries {
        Guid guid;
        std::vector<std::u16string> paths;
        std::vector<std::u16string> deviceIds;  // one per path
        std::vector<std::uint32_t> failingDetails;
        bool failList = false;
        std::vector<std::uint32_t> listFlags;  // one per list request
    };
    struct OpenList {
        Guid guid;
        std::uint32_t flags;
        std::int64_t current = -1;
    };

    ClassEntries& EntriesOf(const Guid& classGuid);
    const ClassEntries* FindEntries(const Guid& classGuid) const;
    const SimDeviceNode* FindNode(const char16_t* instanceId) const;

    std::vector<ClassEntries> classes_;
    std::vector<SimPortDevice> ports_;
    std::vector<SimDeviceNode> nodes_;
    std::map<DeviceListHandle, OpenList> lists_;
    std::map<RegistryKeyHandle, std::size_t> keys_;
    std::vector<SimValueQuery> valueQueries_;
    DeviceListHandle nextHandle_ = 1;
    std::uint32_t openLists_ = 0;
    std::uint32_t openKeys_ = 0;
};

// The entries one attached scanner shows, by its link kind: its USB device path (which the
// count looks at) plus the path it is opened through: the vendor interface (bulk), a HID
// interface (HID; interface 1 for composite products), or a COM port (serial kinds). Its
// device node sits in port number of hub 1 ("Port_#000N.Hub_#0001") with the HID node and
// its interface node below it; its instance is serialNumber, or one made up from number
// when that is empty. Returns the path a DeviceRecord for it will carry.
std::u16string AddSimScanner(SimDeviceDatabase& database, std::uint16_t vendorId,
                             std::uint16_t productId, std::uint32_t number,
                             const std::u16string& portName = u"COM7",
                             const std::u16string& serialNumber = u"");
