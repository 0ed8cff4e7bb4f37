#include "sim/sim_device_database.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/wide_string.h"

SimRegistryValue SimRegistryValue::String(const std::u16string& text, bool terminated,
                                          std::uint32_t type) {
    SimRegistryValue value;
    value.present = true;
    value.type = type;
    const std::size_t units = text.size() + (terminated ? 1 : 0);
    value.data.resize(units * 2, 0);
    std::memcpy(value.data.data(), text.data(), text.size() * 2);
    return value;
}

SimDeviceDatabase::ClassEntries& SimDeviceDatabase::EntriesOf(const Guid& classGuid) {
    for (ClassEntries& entries : classes_) {
        if (entries.guid == classGuid) {
            return entries;
        }
    }
    classes_.push_back(ClassEntries{classGuid, {}, {}, {}, false, {}});
    return classes_.back();
}

const SimDeviceDatabase::ClassEntries* SimDeviceDatabase::FindEntries(const Guid& classGuid) const {
    for (const ClassEntries& entries : classes_) {
        if (entries.guid == classGuid) {
            return &entries;
        }
    }
    return nullptr;
}

namespace {

// "\\?\USB#VID_6666&PID_0006#SF0001#{guid}" belongs to "USB\VID_6666&PID_0006\SF0001".
std::u16string DeviceIdOfPath(const std::u16string& path) {
    const std::size_t start = path.rfind(u"\\\\?\\", 0) == 0 ? 4 : 0;
    const std::size_t end = path.rfind(u'#');
    if (end == std::u16string::npos || end <= start) {
        return u"";
    }
    std::u16string id = path.substr(start, end - start);
    for (char16_t& unit : id) {
        unit = unit == u'#' ? u'\\' : unit;
    }
    return id;
}

bool CopyOut(const std::u16string& text, char16_t* out) {
    if (text.empty() || text.size() + 1 > INSTANCE_ID_UNITS) {
        return false;
    }
    std::memcpy(out, text.c_str(), (text.size() + 1) * 2);
    return true;
}

}  // namespace

void SimDeviceDatabase::AddInterface(const Guid& interfaceClass, const std::u16string& path,
                                     const std::u16string& deviceId) {
    ClassEntries& entries = EntriesOf(interfaceClass);
    entries.paths.push_back(path);
    entries.deviceIds.push_back(deviceId.empty() ? DeviceIdOfPath(path) : deviceId);
}

void SimDeviceDatabase::AddDeviceNode(const SimDeviceNode& node) {
    nodes_.push_back(node);
}

const SimDeviceNode* SimDeviceDatabase::FindNode(const char16_t* instanceId) const {
    for (const SimDeviceNode& node : nodes_) {
        if (EqualsNoCase(node.instanceId.c_str(), instanceId)) {
            return &node;
        }
    }
    return nullptr;
}

void SimDeviceDatabase::AddPortDevice(const SimPortDevice& device) {
    ports_.push_back(device);
}

void SimDeviceDatabase::FailClassDevices(const Guid& classGuid) {
    EntriesOf(classGuid).failList = true;
}

void SimDeviceDatabase::FailInterfaceDetail(const Guid& interfaceClass, std::uint32_t index) {
    EntriesOf(interfaceClass).failingDetails.push_back(index);
}

std::uint32_t SimDeviceDatabase::ClassDevicesCalls(const Guid& classGuid) const {
    const ClassEntries* entries = FindEntries(classGuid);
    return entries == nullptr ? 0 : static_cast<std::uint32_t>(entries->listFlags.size());
}

std::vector<std::uint32_t> SimDeviceDatabase::ClassDevicesFlags(const Guid& classGuid) const {
    const ClassEntries* entries = FindEntries(classGuid);
    return entries == nullptr ? std::vector<std::uint32_t>{} : entries->listFlags;
}

DeviceListHandle SimDeviceDatabase::GetClassDevices(const Guid& classGuid, std::uint32_t flags) {
    ClassEntries& entries = EntriesOf(classGuid);
    entries.listFlags.push_back(flags);
    if (entries.failList) {
        return NO_DEVICE_LIST;
    }
    const DeviceListHandle handle = nextHandle_++;
    lists_[handle] = OpenList{classGuid, flags, -1};
    ++openLists_;
    return handle;
}

bool SimDeviceDatabase::EnumDeviceInterface(DeviceListHandle list, const Guid& interfaceClass,
                                            std::uint32_t index) {
    auto found = lists_.find(list);
    if (found == lists_.end() || !(found->second.guid == interfaceClass) ||
        (found->second.flags & DIGCF_DEVICEINTERFACE_FLAG) == 0) {
        return false;
    }
    const ClassEntries* entries = FindEntries(interfaceClass);
    if (entries == nullptr || index >= entries->paths.size()) {
        return false;
    }
    found->second.current = index;
    return true;
}

bool SimDeviceDatabase::GetDeviceInterfacePath(DeviceListHandle list, char16_t* path) {
    auto found = lists_.find(list);
    if (found == lists_.end() || found->second.current < 0) {
        return false;
    }
    const ClassEntries* entries = FindEntries(found->second.guid);
    const auto index = static_cast<std::uint32_t>(found->second.current);
    if (std::find(entries->failingDetails.begin(), entries->failingDetails.end(), index) !=
        entries->failingDetails.end()) {
        return false;
    }
    const std::u16string& text = entries->paths[index];
    // As the real call: a path that does not fit the 510-byte detail buffer fails it.
    if (text.size() + 1 > INTERFACE_PATH_UNITS) {
        return false;
    }
    std::memcpy(path, text.c_str(), (text.size() + 1) * 2);
    return true;
}

bool SimDeviceDatabase::EnumDevice(DeviceListHandle list, std::uint32_t index) {
    auto found = lists_.find(list);
    if (found == lists_.end() || !(found->second.guid == PORTS_SETUP_CLASS) ||
        index >= ports_.size()) {
        return false;
    }
    found->second.current = index;
    return true;
}

bool SimDeviceDatabase::GetDeviceInstanceId(DeviceListHandle list, char16_t* instanceId) {
    auto found = lists_.find(list);
    if (found == lists_.end() || found->second.current < 0) {
        return false;
    }
    const SimPortDevice& device = ports_[static_cast<std::size_t>(found->second.current)];
    if (device.instanceIdFails || device.instanceId.size() + 1 > INSTANCE_ID_UNITS) {
        return false;
    }
    std::memcpy(instanceId, device.instanceId.c_str(), (device.instanceId.size() + 1) * 2);
    return true;
}

RegistryKeyHandle SimDeviceDatabase::OpenDeviceKey(DeviceListHandle list) {
    auto found = lists_.find(list);
    if (found == lists_.end() || found->second.current < 0) {
        return NO_REGISTRY_KEY;
    }
    const auto index = static_cast<std::size_t>(found->second.current);
    if (!ports_[index].keyOpens) {
        return NO_REGISTRY_KEY;
    }
    const RegistryKeyHandle key = nextHandle_++;
    keys_[key] = index;
    ++openKeys_;
    return key;
}

std::uint32_t SimDeviceDatabase::QueryValue(RegistryKeyHandle key, const char16_t* name,
                                            std::uint32_t& type, std::uint8_t* data,
                                            std::uint32_t& size) {
    valueQueries_.push_back(SimValueQuery{name, size});
    auto found = keys_.find(key);
    if (found == keys_.end()) {
        return REGISTRY_FILE_NOT_FOUND;
    }
    const SimPortDevice& device = ports_[found->second];
    const std::u16string valueName(name);
    const SimRegistryValue* value = nullptr;
    if (valueName == u"PortName") {
        value = &device.portName;
    } else if (valueName == u"HardwareDevinstpath") {
        value = &device.hardwarePath;
    }
    if (value == nullptr || !value->present) {
        return REGISTRY_FILE_NOT_FOUND;
    }
    type = value->type;
    if (value->data.size() > size) {
        // As RegQueryValueExW: the caller's buffer is left undefined. Scribble on exactly the
        // bytes it offered, so that a caller relying on them would be caught.
        std::memset(data, 0x41, size);
        size = static_cast<std::uint32_t>(value->data.size());
        return REGISTRY_MORE_DATA;
    }
    std::memcpy(data, value->data.data(), value->data.size());
    size = static_cast<std::uint32_t>(value->data.size());
    return REGISTRY_SUCCESS;
}

void SimDeviceDatabase::CloseKey(RegistryKeyHandle key) {
    if (keys_.erase(key) == 1) {
        --openKeys_;
    }
}

void SimDeviceDatabase::DestroyDeviceList(DeviceListHandle list) {
    if (lists_.erase(list) == 1) {
        --openLists_;
    }
}

bool SimDeviceDatabase::GetInterfaceDeviceId(DeviceListHandle list, char16_t* instanceId) {
    auto found = lists_.find(list);
    if (found == lists_.end() || found->second.current < 0 ||
        (found->second.flags & DIGCF_DEVICEINTERFACE_FLAG) == 0) {
        return false;
    }
    const ClassEntries* entries = FindEntries(found->second.guid);
    return CopyOut(entries->deviceIds[static_cast<std::size_t>(found->second.current)], instanceId);
}

bool SimDeviceDatabase::GetParentDeviceId(const char16_t* instanceId, char16_t* parentId) {
    const SimDeviceNode* node = FindNode(instanceId);
    return node != nullptr && CopyOut(node->parentId, parentId);
}

bool SimDeviceDatabase::GetDeviceLocation(const char16_t* instanceId, char16_t* location) {
    const SimDeviceNode* node = FindNode(instanceId);
    return node != nullptr && CopyOut(node->location, location);
}

std::u16string AddSimScanner(SimDeviceDatabase& database, std::uint16_t vendorId,
                             std::uint16_t productId, std::uint32_t number,
                             const std::u16string& portName, const std::u16string& serialNumber) {
    char identity[64];
    std::snprintf(identity, sizeof identity, "VID_%04X&PID_%04X", vendorId, productId);
    char instance[32];
    std::snprintf(instance, sizeof instance, "6&2c9f%04X&0&%u", number, number);
    char location[32];
    std::snprintf(location, sizeof location, "Port_#%04u.Hub_#0001", number);
    const std::u16string id = Utf8ToUtf16(identity);
    const std::u16string tail = serialNumber.empty() ? Utf8ToUtf16(instance) : serialNumber;
    const std::u16string usbDevice = u"USB\\" + id + u"\\" + tail;
    database.AddDeviceNode({usbDevice, u"USB\\ROOT_HUB30\\4&1d3c2f0&0&0", Utf8ToUtf16(location)});
    database.AddInterface(
        USB_DEVICE_INTERFACE_CLASS,
        u"\\\\?\\USB#" + id + u"#" + tail + u"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    switch (ClassifyProduct(vendorId, productId)) {
        case LinkKind::VendorBulk: {
            const std::u16string path =
                u"\\\\?\\USB#" + id + u"#" + tail + u"#{6f3a2c81-94b7-4e0d-a5c2-1b8e7d40f9a3}";
            database.AddInterface(VENDOR_INTERFACE_CLASS, path);
            return path;
        }
        case LinkKind::Hid:
        case LinkKind::HidComposite: {
            // The HID collection's node below the USB interface's node below the device's.
            const std::u16string function = u"USB\\" + id + u"&MI_01\\7&" + tail + u"&0&0001";
            database.AddDeviceNode({function, usbDevice, u""});
            const std::u16string path = u"\\\\?\\HID#" + id + u"&MI_01#7&" + tail +
                                        u"#{4d1e55b2-f16f-11cf-88cb-001111000030}";
            database.AddInterface(HID_INTERFACE_CLASS, path);
            database.AddDeviceNode({u"HID\\" + id + u"&MI_01\\7&" + tail, function, u""});
            return path;
        }
        case LinkKind::SerialA:
        case LinkKind::SerialB: {
            // A single-function serial device: its port is the USB device's own node.
            SimPortDevice port;
            port.instanceId = usbDevice;
            port.portName = SimRegistryValue::String(portName);
            database.AddPortDevice(port);
            return u"\\\\.\\" + portName;
        }
        default:
            return u"";
    }
}
