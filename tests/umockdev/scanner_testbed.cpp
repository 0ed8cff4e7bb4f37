#include "scanner_testbed.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <utility>

namespace {

constexpr char CONTROLLER[] = "0000:00:14.0";
constexpr char ROOT_HUB_PATH[] = "/devices/pci0000:00/0000:00:14.0/usb1";
constexpr char MANUFACTURER[] = "Test Vendor";
constexpr char PRODUCT[] = "Test Scanner";
constexpr std::uint32_t USB_DEVICE_MAJOR = 189;
constexpr std::uint32_t ACM_MAJOR = 166;
constexpr std::uint32_t HIDRAW_MAJOR = 241;
constexpr std::uint32_t USB_MISC_MAJOR = 180;
constexpr std::uint32_t HIDDEV_MINOR_BASE = 96;
constexpr std::uint32_t LAST_DEVICE_NUMBER = 127;
constexpr char HIGH_SPEED[] = "480";
constexpr char BULK_PACKET[] = "0200";
constexpr char HID_PACKET[] = "0040";
constexpr char ACM_NOTIFY_PACKET[] = "000a";
constexpr std::uint8_t ACM_NOTIFY_ENDPOINT = 0x83;
constexpr std::uint8_t BULK = 0x02;
constexpr std::uint8_t INTERRUPT = 0x03;

std::string Hex(std::uint32_t value, int digits, bool upper = false) {
    char text[16];
    std::snprintf(text, sizeof text, upper ? "%0*X" : "%0*x", digits, value);
    return text;
}

// The number at the end of a node's name: 3 for "ttyACM3".
std::uint32_t NodeNumber(const std::string& name) {
    const std::size_t digits = name.find_first_of("0123456789");
    return digits == std::string::npos
               ? 0
               : static_cast<std::uint32_t>(std::stoul(name.substr(digits)));
}

// The port chain behind the bus number: "4" for "1-4", "0" for a root hub ("usb1").
std::string PortPath(const std::string& port) {
    const std::size_t dash = port.find('-');
    return dash == std::string::npos ? "0" : port.substr(dash + 1);
}

// One device in umockdev's text format. Attribute values end in a newline, as the kernel
// writes them.
class Record {
  public:
    explicit Record(const std::string& path) : path_(path), text_("P: " + path + "\n") {}

    Record& Property(const std::string& name, const std::string& value) {
        text_ += "E: " + name + "=" + value + "\n";
        return *this;
    }
    Record& Attribute(const std::string& name, const std::string& value) {
        text_ += "A: " + name + "=" + value + "\\n\n";
        return *this;
    }
    Record& Binary(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        text_ += "H: " + name + "=";
        for (const std::uint8_t byte : bytes) {
            text_ += Hex(byte, 2, true);
        }
        text_ += "\n";
        return *this;
    }
    // The driver link, relative from the device's directory as sysfs makes it.
    Record& Driver(const std::string& bus, const std::string& driver) {
        std::string up;
        for (const char c : path_) {
            if (c == '/') {
                up += "../";
            }
        }
        return Link("driver", up + "bus/" + bus + "/drivers/" + driver);
    }
    Record& Link(const std::string& name, const std::string& target) {
        text_ += "L: " + name + "=" + target + "\n";
        return *this;
    }
    Record& Endpoint(std::uint8_t address, std::uint8_t attributes, const char* maxPacket) {
        const std::string directory = "ep_" + Hex(address, 2) + "/";
        static const char* const TYPES[] = {"Control", "Isoc", "Bulk", "Interrupt"};
        Attribute(directory + "bLength", "07");
        Attribute(directory + "bEndpointAddress", Hex(address, 2));
        Attribute(directory + "bmAttributes", Hex(attributes, 2));
        Attribute(directory + "wMaxPacketSize", maxPacket);
        Attribute(directory + "type", TYPES[attributes & 0x3u]);
        Attribute(directory + "direction", (address & 0x80u) != 0 ? "in" : "out");
        return *this;
    }
    std::string Text() const { return text_ + "\n"; }

  private:
    std::string path_;
    std::string text_;
};

struct InterfaceClass {
    std::uint8_t code;
    std::uint8_t subclass;
    std::uint8_t protocol;
    const char* driver;  // nullptr: no driver bound
};

constexpr InterfaceClass ACM_CLASS = {0x02, 0x02, 0x01, "cdc_acm"};

InterfaceClass ClassOf(UsbFunction function) {
    switch (function) {
        case UsbFunction::VendorBulk:
            return {0xFF, 0x00, 0x00, nullptr};
        case UsbFunction::Serial:
            return ACM_CLASS;
        case UsbFunction::SerialData:
            return {0x0A, 0x00, 0x00, "cdc_acm"};
        case UsbFunction::Hid:
            return {0x03, 0x00, 0x00, "usbhid"};
    }
    return {0xFF, 0x00, 0x00, nullptr};
}

std::string ProductProperty(const UsbDeviceDescription& device) {
    char text[32];
    std::snprintf(text, sizeof text, "%x/%x/100", device.vendorId, device.productId);
    return text;
}

// DEVNAME is given to umockdev below /dev: it writes it into the uevent file relative, as the
// kernel does, and keeps the node's numbers for its preload. Its SUBSYSTEM line tells umockdev
// the subsystem and is dropped from the file afterwards (ScannerTestbed::DropSubsystemLines).
std::string UsbDeviceRecord(const UsbDeviceDescription& device, const std::string& path,
                            std::uint32_t deviceNumber, std::uint8_t deviceClass) {
    const std::string devnum = std::to_string(deviceNumber);
    char padded[8];
    std::snprintf(padded, sizeof padded, "%03u", deviceNumber);
    char interfaceCount[8];
    std::snprintf(interfaceCount, sizeof interfaceCount, "%2zu", device.interfaces.size());
    const std::string minor = std::to_string(deviceNumber - 1);
    return Record(path)
        .Property("MAJOR", std::to_string(USB_DEVICE_MAJOR))
        .Property("MINOR", minor)
        .Property("DEVNAME", UsbfsNodePath(deviceNumber))
        .Property("DEVTYPE", "usb_device")
        .Property("DRIVER", "usb")
        .Property("PRODUCT", ProductProperty(device))
        .Property("TYPE", std::to_string(deviceClass) + "/0/0")
        .Property("BUSNUM", "001")
        .Property("DEVNUM", padded)
        .Property("SUBSYSTEM", "usb")
        .Attribute("idVendor", Hex(device.vendorId, 4))
        .Attribute("idProduct", Hex(device.productId, 4))
        .Attribute("bcdDevice", "0100")
        .Attribute("bDeviceClass", Hex(deviceClass, 2))
        .Attribute("bNumInterfaces", interfaceCount)
        .Attribute("bConfigurationValue", "1")
        .Attribute("busnum", "1")
        .Attribute("devnum", devnum)
        .Attribute("devpath", PortPath(device.port))
        .Attribute("dev", std::to_string(USB_DEVICE_MAJOR) + ":" + minor)
        .Attribute("speed", HIGH_SPEED)
        .Attribute("manufacturer", MANUFACTURER)
        .Attribute("product", PRODUCT)
        .Attribute("serial", device.serial)
        .Driver("usb", "usb")
        .Text();
}

std::string InterfaceRecord(const UsbDeviceDescription& device,
                            const UsbInterfaceDescription& iface, const std::string& path) {
    const InterfaceClass type = ClassOf(iface.function);
    char alias[96];
    std::snprintf(alias, sizeof alias, "usb:v%04Xp%04Xd0100dc00dsc00dp00ic%02Xisc%02Xip%02Xin%02X",
                  device.vendorId, device.productId, type.code, type.subclass, type.protocol,
                  iface.number);
    Record record(path);
    record.Property("DEVTYPE", "usb_interface");
    if (type.driver != nullptr) {
        record.Property("DRIVER", type.driver);
    }
    record.Property("PRODUCT", ProductProperty(device))
        .Property("TYPE", "0/0/0")
        .Property("INTERFACE", std::to_string(type.code) + "/" + std::to_string(type.subclass) +
                                   "/" + std::to_string(type.protocol))
        .Property("MODALIAS", alias)
        .Property("SUBSYSTEM", "usb")
        .Attribute("bInterfaceNumber", Hex(iface.number, 2))
        .Attribute("bInterfaceClass", Hex(type.code, 2))
        .Attribute("bInterfaceSubClass", Hex(type.subclass, 2))
        .Attribute("bInterfaceProtocol", Hex(type.protocol, 2))
        .Attribute("bAlternateSetting", " 0");
    switch (iface.function) {
        case UsbFunction::VendorBulk:
        case UsbFunction::SerialData:
            record.Attribute("bNumEndpoints", "02")
                .Endpoint(BULK_IN_ENDPOINT, BULK, BULK_PACKET)
                .Endpoint(BULK_OUT_ENDPOINT, BULK, BULK_PACKET);
            break;
        case UsbFunction::Serial:
            record.Attribute("bNumEndpoints", "01")
                .Endpoint(ACM_NOTIFY_ENDPOINT, INTERRUPT, ACM_NOTIFY_PACKET)
                .Attribute("bmCapabilities", "2");
            break;
        case UsbFunction::Hid:
            record.Attribute("bNumEndpoints", "02")
                .Endpoint(HID_IN_ENDPOINT, INTERRUPT, HID_PACKET)
                .Endpoint(HID_OUT_ENDPOINT, INTERRUPT, HID_PACKET);
            break;
    }
    // The CDC ACM function's association: the communication interface and the data interface
    // that follows it.
    if (iface.function == UsbFunction::Serial || iface.function == UsbFunction::SerialData) {
        const std::uint32_t first =
            iface.function == UsbFunction::Serial ? iface.number : iface.number - 1u;
        record.Attribute("iad_bFirstInterface", Hex(first, 2))
            .Attribute("iad_bInterfaceCount", "02")
            .Attribute("iad_bFunctionClass", Hex(ACM_CLASS.code, 2))
            .Attribute("iad_bFunctionSubClass", Hex(ACM_CLASS.subclass, 2))
            .Attribute("iad_bFunctionProtocol", Hex(ACM_CLASS.protocol, 2));
    }
    if (type.driver != nullptr) {
        record.Driver("usb", type.driver);
    }
    return record.Text();
}

// A class device (tty, hidraw, usbmisc) below parent, with its "device" link up to the
// parent; devname is its node below /dev.
std::string ClassNodeRecord(const std::string& parent, const std::string& subsystem,
                            const std::string& name, std::uint32_t major, std::uint32_t minor,
                            const std::string& devname) {
    return Record(parent + "/" + subsystem + "/" + name)
        .Property("MAJOR", std::to_string(major))
        .Property("MINOR", std::to_string(minor))
        .Property("DEVNAME", "/dev/" + devname)
        .Property("SUBSYSTEM", subsystem)
        .Attribute("dev", std::to_string(major) + ":" + std::to_string(minor))
        .Link("device", "../../../" + parent.substr(parent.rfind('/') + 1))
        .Text();
}

std::string NodeRecord(const std::string& parent, const std::string& subsystem,
                       const std::string& name, std::uint32_t major) {
    return ClassNodeRecord(parent, subsystem, name, major, NodeNumber(name), name);
}

// The hid device with its hidraw node, and the interface's hiddev node.
std::string HidRecords(const UsbDeviceDescription& device, const UsbInterfaceDescription& iface,
                       const std::string& interfacePath, std::uint32_t sequence,
                       std::uint32_t hiddev) {
    const std::string vendor = Hex(device.vendorId, 4, true);
    const std::string product = Hex(device.productId, 4, true);
    const std::string path =
        interfacePath + "/0003:" + vendor + ":" + product + "." + Hex(sequence, 4, true);
    const std::string hid =
        Record(path)
            .Property("DRIVER", "hid-generic")
            .Property("HID_ID", "0003:0000" + vendor + ":0000" + product)
            .Property("HID_NAME", std::string(MANUFACTURER) + " " + PRODUCT)
            .Property("HID_PHYS",
                      "usb-" + std::string(CONTROLLER) + "-" + PortPath(device.port) +
                          (device.physNamesInterface ? "/input" + std::to_string(iface.number)
                                                     : std::string()))
            .Property("HID_UNIQ", device.serial)
            .Property("MODALIAS", "hid:b0003g0001v0000" + vendor + "p0000" + product)
            .Property("SUBSYSTEM", "hid")
            .Binary("report_descriptor", ScannerReportDescriptor())
            .Driver("hid", "hid-generic")
            .Text();
    const std::string hiddevName = "hiddev" + std::to_string(hiddev);
    return hid + NodeRecord(path, "hidraw", iface.node, HIDRAW_MAJOR) +
           ClassNodeRecord(interfacePath, "usbmisc", hiddevName, USB_MISC_MAJOR,
                           HIDDEV_MINOR_BASE + hiddev, "usb/" + hiddevName);
}

std::string RootHubRecords() {
    UsbDeviceDescription hub;
    hub.port = "usb1";
    hub.vendorId = 0x1D6B;
    hub.productId = 0x0002;
    hub.serial = CONTROLLER;
    const std::string interfacePath = std::string(ROOT_HUB_PATH) + "/1-0:1.0";
    return UsbDeviceRecord(hub, ROOT_HUB_PATH, 1, 0x09) + Record(interfacePath)
                                                              .Property("DEVTYPE", "usb_interface")
                                                              .Property("DRIVER", "hub")
                                                              .Property("INTERFACE", "9/0/0")
                                                              .Property("SUBSYSTEM", "usb")
                                                              .Attribute("bInterfaceNumber", "00")
                                                              .Attribute("bInterfaceClass", "09")
                                                              .Attribute("bAlternateSetting", " 0")
                                                              .Attribute("bNumEndpoints", "01")
                                                              .Endpoint(0x81, INTERRUPT, "0004")
                                                              .Driver("usb", "hub")
                                                              .Text();
}

// The device and everything below it in umockdev's text format
// (umockdev_testbed_add_from_string); hidSequence and hiddev number its hid devices
// ("0003:VVVV:PPPP.NNNN") and hiddev nodes from there on.
std::string DescribeUsbDevice(const UsbDeviceDescription& device, std::uint32_t deviceNumber,
                              std::uint32_t& hidSequence, std::uint32_t& hiddev) {
    const std::string path = std::string(ROOT_HUB_PATH) + "/" + device.port;
    std::string text = UsbDeviceRecord(device, path, deviceNumber, 0x00);
    for (const UsbInterfaceDescription& iface : device.interfaces) {
        const std::string interfacePath =
            path + "/" + device.port + ":1." + std::to_string(iface.number);
        text += InterfaceRecord(device, iface, interfacePath);
        if (iface.function == UsbFunction::Serial && !iface.node.empty()) {
            text += NodeRecord(interfacePath, "tty", iface.node, ACM_MAJOR);
        } else if (iface.function == UsbFunction::Hid && !iface.node.empty()) {
            text += HidRecords(device, iface, interfacePath, hidSequence++, hiddev++);
        }
    }
    return text;
}

// Every device directory (one with a uevent file) from directory down, deepest first.
std::vector<std::filesystem::path> DevicesBelow(const std::filesystem::path& directory) {
    std::vector<std::filesystem::path> devices;
    std::error_code error;
    for (auto at = std::filesystem::recursive_directory_iterator(directory, error);
         !error && at != std::filesystem::recursive_directory_iterator(); at.increment(error)) {
        if (at->is_regular_file() && at->path().filename() == "uevent") {
            devices.push_back(at->path().parent_path());
        }
    }
    std::sort(devices.begin(), devices.end(),
              [](const std::filesystem::path& a, const std::filesystem::path& b) {
                  return a.native().size() > b.native().size();
              });
    return devices;
}

}  // namespace

UsbDeviceDescription BulkScanner(const std::string& port, std::uint16_t vendorId,
                                 std::uint16_t productId) {
    return {port, vendorId, productId, "SF" + port, {{0, UsbFunction::VendorBulk, ""}}};
}

UsbDeviceDescription SerialScanner(const std::string& port, std::uint16_t vendorId,
                                   std::uint16_t productId, const std::string& tty) {
    return {port,
            vendorId,
            productId,
            "SF" + port,
            {{0, UsbFunction::Serial, tty}, {1, UsbFunction::SerialData, ""}}};
}

UsbDeviceDescription HidScanner(const std::string& port, std::uint16_t vendorId,
                                std::uint16_t productId, const std::vector<std::string>& hidraw) {
    UsbDeviceDescription device{port, vendorId, productId, "SF" + port, {}};
    for (std::size_t number = 0; number < hidraw.size(); ++number) {
        device.interfaces.push_back(
            {static_cast<std::uint8_t>(number), UsbFunction::Hid, hidraw[number]});
    }
    return device;
}

const std::vector<std::uint8_t>& ScannerReportDescriptor() {
    static const std::vector<std::uint8_t> descriptor = {
        0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
        0x09, 0x01,        // Usage (1)
        0xA1, 0x01,        // Collection (Application)
        0x15, 0x00,        //   Logical Minimum (0)
        0x26, 0xFF, 0x00,  //   Logical Maximum (255)
        0x75, 0x08,        //   Report Size (8)
        0x85, 0x02,        //   Report ID (2)
        0x95, 0x3F,        //   Report Count (63)
        0x09, 0x02,        //   Usage (2)
        0x81, 0x02,        //   Input (Data, Variable, Absolute)
        0x85, 0x04,        //   Report ID (4)
        0x95, 0x3F,        //   Report Count (63)
        0x09, 0x04,        //   Usage (4)
        0x91, 0x02,        //   Output (Data, Variable, Absolute)
        0x85, 0xFE,        //   Report ID (0xFE)
        0x95, 0x01,        //   Report Count (1)
        0x09, 0xFE,        //   Usage (0xFE)
        0xB1, 0x02,        //   Feature (Data, Variable, Absolute)
        0xC0,              // End Collection
    };
    return descriptor;
}

std::string UsbfsNodePath(std::uint32_t deviceNumber) {
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", deviceNumber);
    return node;
}

ScannerTestbed::ScannerTestbed() : testbed_(umockdev_testbed_new()) {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    g_free(root);
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, RootHubRecords().c_str(), &error)) {
        std::fprintf(stderr, "umockdev refused the root hub: %s\n", error->message);
        g_error_free(error);
    }
    DropSubsystemLines();
}

ScannerTestbed::~ScannerTestbed() {
    g_object_unref(testbed_);
}

bool ScannerTestbed::Add(const UsbDeviceDescription& device) {
    if (deviceNumbers_.count(device.port) != 0 || nextDeviceNumber_ > LAST_DEVICE_NUMBER) {
        std::fprintf(stderr, "cannot plug %s in: taken, or no device number left\n",
                     device.port.c_str());
        return false;
    }
    const std::uint32_t deviceNumber = nextDeviceNumber_++;
    GError* error = nullptr;
    const std::string text = DescribeUsbDevice(device, deviceNumber, hidSequence_, hiddevNumber_);
    if (!umockdev_testbed_add_from_string(testbed_, text.c_str(), &error)) {
        std::fprintf(stderr, "umockdev refused the description of %s: %s\n%s", device.port.c_str(),
                     error->message, text.c_str());
        g_error_free(error);
        return false;
    }
    deviceNumbers_[device.port] = deviceNumber;
    DropSubsystemLines();
    return true;
}

bool ScannerTestbed::Unplug(const std::string& port) {
    if (deviceNumbers_.erase(port) == 0) {
        return false;
    }
    const std::filesystem::path sys = root_ + "/sys";
    for (const std::filesystem::path& device :
         DevicesBelow(sys / (std::string(ROOT_HUB_PATH).substr(1) + "/" + port))) {
        const std::string syspath = "/sys/" + device.lexically_relative(sys).string();
        umockdev_testbed_remove_device(testbed_, syspath.c_str());
    }
    // umockdev leaves the /sys/dev/char links of what it removed behind, dangling.
    std::error_code error;
    for (const auto& link : std::filesystem::directory_iterator(sys / "dev/char", error)) {
        if (link.is_symlink() && !std::filesystem::exists(link.path(), error)) {
            std::filesystem::remove(link.path(), error);
        }
    }
    return true;
}

std::uint32_t ScannerTestbed::DeviceNumber(const std::string& port) const {
    const auto found = deviceNumbers_.find(port);
    return found == deviceNumbers_.end() ? 0 : found->second;
}

void ScannerTestbed::DropSubsystemLines() const {
    for (const std::filesystem::path& device : DevicesBelow(root_ + "/sys/devices")) {
        const std::filesystem::path uevent = device / "uevent";
        std::ifstream in(uevent);
        std::string kept;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("SUBSYSTEM=", 0) != 0) {
                kept += line + "\n";
            }
        }
        in.close();
        std::ofstream(uevent, std::ios::trunc) << kept;
    }
}

bool ScannerTestbed::AddInaccessibleNode(const std::string& devnode) {
    const std::filesystem::path path = NodePath(devnode);
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return chmod(path.c_str(), 0) == 0;
}

bool ScannerTestbed::Uevent(const std::string& classLink, const char* action) {
    std::error_code error;
    const std::string device = std::filesystem::canonical(root_ + classLink, error).string();
    if (error || device.compare(0, root_.size(), root_) != 0) {
        return false;
    }
    umockdev_testbed_uevent(testbed_, device.substr(root_.size()).c_str(), action);
    return true;
}
