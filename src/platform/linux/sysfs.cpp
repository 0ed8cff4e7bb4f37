#include "platform/linux/sysfs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

namespace {

constexpr std::size_t ATTRIBUTE_MAX = 63;
constexpr std::uint32_t DECIMAL_MAX = 65535;
constexpr std::uint32_t BULK_TRANSFER_TYPE = 2;
constexpr std::uint8_t ENDPOINT_DIRECTION_IN = 0x80;

bool HexValue(char c, std::uint32_t& value) {
    if (c >= '0' && c <= '9') {
        value = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
        value = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
        value = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
        return false;
    }
    return true;
}

bool ParentOf(std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) {
        return false;
    }
    path.resize(slash);
    return true;
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool FileExists(const std::string& directory, const char* name) {
    return access((directory + "/" + name).c_str(), F_OK) == 0;
}

// The directory's names, sorted; false with errno set when it cannot be opened or read whole.
bool ReadDirectory(const std::string& directory, std::vector<std::string>& names) {
    names.clear();
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) {
        return false;
    }
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (entry == nullptr) {
            break;
        }
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    const int error = errno;
    closedir(dir);
    std::sort(names.begin(), names.end());
    errno = error;
    return error == 0;
}

}  // namespace

bool ReadAttribute(const std::string& directory, const char* name, std::string& text) {
    const int fd = open((directory + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char buffer[ATTRIBUTE_MAX + 2];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    close(fd);
    if (got < 0 || static_cast<std::size_t>(got) > ATTRIBUTE_MAX + 1) {
        return false;
    }
    std::size_t length = static_cast<std::size_t>(got);
    if (length > 0 && buffer[length - 1] == '\n') {
        --length;
    }
    if (length > ATTRIBUTE_MAX) {
        return false;
    }
    text.assign(buffer, length);
    return true;
}

bool ReadHexAttribute(const std::string& directory, const char* name, std::uint32_t maxDigits,
                      std::uint32_t& value) {
    std::string text;
    if (!ReadAttribute(directory, name, text) || text.empty() || text.size() > maxDigits) {
        return false;
    }
    std::uint32_t parsed = 0;
    for (const char c : text) {
        std::uint32_t digit = 0;
        if (!HexValue(c, digit)) {
            return false;
        }
        parsed = parsed * 16 + digit;
    }
    value = parsed;
    return true;
}

bool ReadDecimalAttribute(const std::string& directory, const char* name, std::uint32_t& value) {
    std::string text;
    if (!ReadAttribute(directory, name, text)) {
        return false;
    }
    std::size_t at = text.find_first_not_of(' ');
    if (at == std::string::npos) {
        return false;
    }
    std::uint32_t parsed = 0;
    for (; at < text.size(); ++at) {
        if (text[at] < '0' || text[at] > '9') {
            return false;
        }
        parsed = parsed * 10 + static_cast<std::uint32_t>(text[at] - '0');
        if (parsed > DECIMAL_MAX) {
            return false;
        }
    }
    value = parsed;
    return true;
}

std::vector<std::string> ListDirectory(const std::string& directory) {
    std::vector<std::string> names;
    if (!ReadDirectory(directory, names)) {
        names.clear();
    }
    return names;
}

bool ListSysfsList(const std::string& sysRoot, const char* group, const char* list,
                   std::vector<std::string>& names) {
    const std::string groupDirectory = sysRoot + "/" + group;
    if (ReadDirectory(groupDirectory + "/" + list, names)) {
        return true;
    }
    std::vector<std::string> groups;
    return errno == ENOENT && ReadDirectory(groupDirectory, groups);
}

bool ResolvePath(const std::string& path, std::string& resolved) {
    char buffer[PATH_MAX];
    if (realpath(path.c_str(), buffer) == nullptr) {
        return false;
    }
    resolved = buffer;
    return true;
}

std::string LinkTargetName(const std::string& link) {
    char buffer[PATH_MAX];
    const ssize_t length = readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (length <= 0) {
        return {};
    }
    return BaseName(std::string(buffer, static_cast<std::size_t>(length)));
}

bool ReadUsbDevice(const std::string& directory, UsbDeviceInfo& device) {
    std::uint32_t vendor = 0;
    std::uint32_t product = 0;
    std::string resolved;
    if (!ReadHexAttribute(directory, "idVendor", 4, vendor) ||
        !ReadHexAttribute(directory, "idProduct", 4, product) ||
        !ResolvePath(directory, resolved)) {
        return false;
    }
    device.directory = resolved;
    device.vendorId = static_cast<std::uint16_t>(vendor);
    device.productId = static_cast<std::uint16_t>(product);
    return true;
}

bool ReadUsbInterface(const std::string& directory, UsbInterfaceInfo& interface) {
    std::uint32_t number = 0;
    std::uint32_t interfaceClass = 0;
    std::string resolved;
    if (!ReadHexAttribute(directory, "bInterfaceNumber", 2, number) ||
        !ReadHexAttribute(directory, "bInterfaceClass", 2, interfaceClass) ||
        !ResolvePath(directory, resolved)) {
        return false;
    }
    interface.directory = resolved;
    interface.number = static_cast<std::uint8_t>(number);
    interface.interfaceClass = static_cast<std::uint8_t>(interfaceClass);
    return true;
}

bool ReadInterfaceCount(const UsbDeviceInfo& device, std::uint32_t& count) {
    return ReadDecimalAttribute(device.directory, "bNumInterfaces", count);
}

std::vector<UsbInterfaceInfo> ListUsbInterfaces(const UsbDeviceInfo& device) {
    std::vector<UsbInterfaceInfo> interfaces;
    const std::string prefix = BaseName(device.directory) + ":";
    for (const std::string& name : ListDirectory(device.directory)) {
        UsbInterfaceInfo interface;
        if (name.compare(0, prefix.size(), prefix) == 0 &&
            ReadUsbInterface(device.directory + "/" + name, interface)) {
            interfaces.push_back(interface);
        }
    }
    return interfaces;
}

bool FindUsbParent(const std::string& classEntry, const std::string& sysRoot,
                   UsbInterfaceInfo& interface, UsbDeviceInfo& device) {
    std::string root;
    std::string at;
    if (!ResolvePath(sysRoot, root) || !ResolvePath(classEntry, at)) {
        return false;
    }
    while (ParentOf(at) && at.size() > root.size() && at.compare(0, root.size(), root) == 0) {
        if (!FileExists(at, "bInterfaceNumber")) {
            continue;
        }
        std::string deviceDirectory = at;
        return ReadUsbInterface(at, interface) && ParentOf(deviceDirectory) &&
               ReadUsbDevice(deviceDirectory, device);
    }
    return false;
}

bool FindUsbDeviceByAddress(const std::string& sysRoot, std::uint32_t busNumber,
                            std::uint32_t deviceNumber, UsbDeviceInfo& device) {
    const std::string devices = sysRoot + "/bus/usb/devices";
    for (const std::string& name : ListDirectory(devices)) {
        const std::string directory = devices + "/" + name;
        std::uint32_t bus = 0;
        std::uint32_t number = 0;
        if (ReadDecimalAttribute(directory, "busnum", bus) && bus == busNumber &&
            ReadDecimalAttribute(directory, "devnum", number) && number == deviceNumber &&
            ReadUsbDevice(directory, device)) {
            return true;
        }
    }
    return false;
}

bool FindBulkEndpoints(const std::string& interfaceDirectory, BulkEndpoints& endpoints) {
    BulkEndpoints found;
    for (const std::string& name : ListDirectory(interfaceDirectory)) {
        if (name.compare(0, 3, "ep_") != 0) {
            continue;
        }
        const std::string directory = interfaceDirectory + "/" + name;
        std::uint32_t address = 0;
        std::uint32_t attributes = 0;
        if (!ReadHexAttribute(directory, "bEndpointAddress", 2, address) ||
            !ReadHexAttribute(directory, "bmAttributes", 2, attributes) ||
            (attributes & 0x3u) != BULK_TRANSFER_TYPE || (address & 0x0Fu) == 0) {
            continue;
        }
        const std::uint8_t endpoint = static_cast<std::uint8_t>(address);
        std::uint8_t& slot = (endpoint & ENDPOINT_DIRECTION_IN) != 0 ? found.in : found.out;
        if (slot == 0) {
            slot = endpoint;
        }
    }
    if (found.in == 0 || found.out == 0) {
        return false;
    }
    endpoints = found;
    return true;
}
