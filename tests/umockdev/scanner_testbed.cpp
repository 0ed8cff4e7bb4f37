#include "scanner_testbed.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <utility>

namespace {

constexpr char CONTROLLER[] = "0000:00:14.0";
constexpr char ROOT_HUB_PATH[] = "/devices/pci0000:00/0000:00:14.0/usb1";
constexpr char MANUFACTURER[] = "Test Vendor";
constexpr char PRODUCT[] = "Test Scanner";
constexpr std::uint32_t USB_DEVICE_MAJOR = 189;
constexpr std::uint32_t ACM_MAJOR = 166;
constexpr std::uint32_t HIDRAW_MAJOR = 241;

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
    Record& Endpoint(std::uint8_t address, std::uint8_t attributes) {
        const std::string directory = "ep_" + Hex(address, 2) + "/";
        static const char* const TYPES[] = {"Control", "Isoc", "Bulk", "Interrupt"};
        Attribute(directory + "bLength", "07");
        Attribute(directory + "bEndpointAddress", Hex(address, 2));
        Attribute(directory + "bmAttributes", Hex(attributes, 2));
        Attribute(directory + "wMaxPacketSize", "0040");
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
    const char* driver;  // nullptr: no driver bound
};

InterfaceClass ClassOf(UsbFunction function) {
    switch (function) {
        case UsbFunction::VendorBulk:
            return {0xFF, nullptr};
        case UsbFunction::Serial:
            return {0x02, "cdc_acm"};
        case UsbFunction::SerialData:
            return {0x0A, "cdc_acm"};
        case UsbFunction::Hid:
            return {0x03, "usbhid"};
    }
    return {0xFF, nullptr};
}

std::string ProductProperty(const UsbDeviceDescription& device) {
    char text[32];
    std::snprintf(text, sizeof text, "%x/%x/100", device.vendorId, device.productId);
    return text;
}

std::string UsbDeviceRecord(const UsbDeviceDescription& device, const std::string& path) {
    const std::string devnum = std::to_string(device.deviceNumber);
    char padded[8];
    std::snprintf(padded, sizeof padded, "%03u", device.deviceNumber);
    char interfaceCount[8];
    std::snprintf(interfaceCount, sizeof interfaceCount, "%2zu", device.interfaces.size());
    const bool cdc =
        !device.interfaces.empty() && device.interfaces.front().function == UsbFunction::Serial;
    const std::string minor = std::to_string(device.deviceNumber - 1);
    return Record(path)
        .Property("DEVNAME", UsbfsNodePath(device.deviceNumber))
        .Property("DEVTYPE", "usb_device")
        .Property("DRIVER", "usb")
        .Property("PRODUCT", ProductProperty(device))
        .Property("TYPE", cdc ? "2/0/0" : "0/0/0")
        .Property("BUSNUM", "001")
        .Property("DEVNUM", padded)
        .Property("MAJOR", std::to_string(USB_DEVICE_MAJOR))
        .Property("MINOR", minor)
        .Property("SUBSYSTEM", "usb")
        .Attribute("idVendor", Hex(device.vendorId, 4))
        .Attribute("idProduct", Hex(device.productId, 4))
        .Attribute("bcdDevice", "0100")
        .Attribute("bDeviceClass", cdc ? "02" : "00")
        .Attribute("bNumInterfaces", interfaceCount)
        .Attribute("bConfigurationValue", "1")
        .Attribute("busnum", "1")
        .Attribute("devnum", devnum)
        .Attribute("devpath", PortPath(device.port))
        .Attribute("dev", std::to_string(USB_DEVICE_MAJOR) + ":" + minor)
        .Attribute("speed", "12")
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
    std::snprintf(alias, sizeof alias, "usb:v%04Xp%04Xd0100dc00dsc00dp00ic%02Xisc00ip00in%02X",
                  device.vendorId, device.productId, type.code, iface.number);
    Record record(path);
    record.Property("DEVTYPE", "usb_interface");
    if (type.driver != nullptr) {
        record.Property("DRIVER", type.driver);
    }
    record.Property("PRODUCT", ProductProperty(device))
        .Property("TYPE", "0/0/0")
        .Property("INTERFACE", std::to_string(type.code) + "/0/0")
        .Property("MODALIAS", alias)
        .Property("SUBSYSTEM", "usb")
        .Attribute("bInterfaceNumber", Hex(iface.number, 2))
        .Attribute("bInterfaceClass", Hex(type.code, 2))
        .Attribute("bInterfaceSubClass", "00")
        .Attribute("bInterfaceProtocol", "00")
        .Attribute("bAlternateSetting", " 0");
    switch (iface.function) {
        case UsbFunction::VendorBulk:
        case UsbFunction::SerialData:
            record.Attribute("bNumEndpoints", "02")
                .Endpoint(BULK_IN_ENDPOINT, 0x02)
                .Endpoint(BULK_OUT_ENDPOINT, 0x02);
            break;
        case UsbFunction::Serial:
            record.Attribute("bNumEndpoints", "01").Endpoint(0x83, 0x03);
            break;
        case UsbFunction::Hid:
            record.Attribute("bNumEndpoints", "02").Endpoint(0x83, 0x03).Endpoint(0x04, 0x03);
            break;
    }
    if (type.driver != nullptr) {
        record.Driver("usb", type.driver);
    }
    return record.Text();
}

// A class device (tty, hidraw) below parent, with its "device" link up to the parent.
std::string ClassNodeRecord(const std::string& parent, const std::string& subsystem,
                            const std::string& name, std::uint32_t major) {
    const std::string minor = std::to_string(NodeNumber(name));
    return Record(parent + "/" + subsystem + "/" + name)
        .Property("DEVNAME", "/dev/" + name)
        .Property("MAJOR", std::to_string(major))
        .Property("MINOR", minor)
        .Property("SUBSYSTEM", subsystem)
        .Attribute("dev", std::to_string(major) + ":" + minor)
        .Link("device", "../../../" + parent.substr(parent.rfind('/') + 1))
        .Text();
}

std::string HidRecords(const UsbDeviceDescription& device, const UsbInterfaceDescription& iface,
                       const std::string& interfacePath, std::uint32_t sequence) {
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
    return hid + ClassNodeRecord(path, "hidraw", iface.node, HIDRAW_MAJOR);
}

std::string RootHubRecords() {
    UsbDeviceDescription hub;
    hub.port = "usb1";
    hub.vendorId = 0x1D6B;
    hub.productId = 0x0002;
    hub.deviceNumber = 1;
    hub.serial = CONTROLLER;
    const std::string interfacePath = std::string(ROOT_HUB_PATH) + "/1-0:1.0";
    return UsbDeviceRecord(hub, ROOT_HUB_PATH) + Record(interfacePath)
                                                     .Property("DEVTYPE", "usb_interface")
                                                     .Property("DRIVER", "hub")
                                                     .Property("INTERFACE", "9/0/0")
                                                     .Property("SUBSYSTEM", "usb")
                                                     .Attribute("bInterfaceNumber", "00")
                                                     .Attribute("bInterfaceClass", "09")
                                                     .Attribute("bAlternateSetting", " 0")
                                                     .Attribute("bNumEndpoints", "01")
                                                     .Endpoint(0x81, 0x03)
                                                     .Driver("usb", "hub")
                                                     .Text();
}

}  // namespace

UsbDeviceDescription BulkScanner(const std::string& port, std::uint16_t vendorId,
                                 std::uint16_t productId, std::uint32_t deviceNumber) {
    return {port,         vendorId,    productId,
            deviceNumber, "SF" + port, {{0, UsbFunction::VendorBulk, ""}}};
}

UsbDeviceDescription SerialScanner(const std::string& port, std::uint16_t vendorId,
                                   std::uint16_t productId, std::uint32_t deviceNumber,
                                   const std::string& tty) {
    return {port,        vendorId,
            productId,   deviceNumber,
            "SF" + port, {{0, UsbFunction::Serial, tty}, {1, UsbFunction::SerialData, ""}}};
}

UsbDeviceDescription HidScanner(const std::string& port, std::uint16_t vendorId,
                                std::uint16_t productId, std::uint32_t deviceNumber,
                                const std::vector<std::string>& hidraw) {
    UsbDeviceDescription device{port, vendorId, productId, deviceNumber, "SF" + port, {}};
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

std::string DescribeUsbDevice(const UsbDeviceDescription& device, std::uint32_t& hidSequence) {
    const std::string path = std::string(ROOT_HUB_PATH) + "/" + device.port;
    std::string text = UsbDeviceRecord(device, path);
    for (const UsbInterfaceDescription& iface : device.interfaces) {
        const std::string interfacePath =
            path + "/" + device.port + ":1." + std::to_string(iface.number);
        text += InterfaceRecord(device, iface, interfacePath);
        if (iface.function == UsbFunction::Serial && !iface.node.empty()) {
            text += ClassNodeRecord(interfacePath, "tty", iface.node, ACM_MAJOR);
        } else if (iface.function == UsbFunction::Hid && !iface.node.empty()) {
            text += HidRecords(device, iface, interfacePath, hidSequence++);
        }
    }
    return text;
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
}

ScannerTestbed::~ScannerTestbed() {
    g_object_unref(testbed_);
}

bool ScannerTestbed::Add(const UsbDeviceDescription& device) {
    GError* error = nullptr;
    const std::string text = DescribeUsbDevice(device, hidSequence_);
    if (!umockdev_testbed_add_from_string(testbed_, text.c_str(), &error)) {
        std::fprintf(stderr, "umockdev refused the description of %s: %s\n%s", device.port.c_str(),
                     error->message, text.c_str());
        g_error_free(error);
        return false;
    }
    return true;
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
