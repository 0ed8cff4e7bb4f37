// Fixture trees in the shape of sysfs and /dev, built in a temporary folder: device and
// interface directories below devices/, with symlinks to them from bus/usb/devices and from
// class/hidraw and class/tty, attribute files written as the kernel writes them, and a bus
// with its root hub as every real tree has.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

class SysfsFixture {
  public:
    SysfsFixture() {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = std::filesystem::temp_directory_path() /
                (std::string("scanflash-sysfs-") + test->name() + "-" + std::to_string(getpid()));
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_ / "dev");
        std::filesystem::create_directories(root_ / "sys/bus/usb/devices");
        std::filesystem::create_directories(root_ / "sys/class/hidraw");
        std::filesystem::create_directories(root_ / "sys/class/tty");
        const std::string hub = Device("usb1", BUS, 0x1D6B, 0x0002, 1, 1);
        Interface(hub, 0, 0x09, "hub");
    }
    ~SysfsFixture() { std::filesystem::remove_all(root_); }
    SysfsFixture(const SysfsFixture&) = delete;
    SysfsFixture& operator=(const SysfsFixture&) = delete;

    std::string Sys() const { return (root_ / "sys").string(); }
    std::string Dev() const { return (root_ / "dev").string(); }

    // A USB device named like "1-2" below the root hub; returns its directory.
    std::string UsbDevice(const std::string& name, std::uint16_t vendor, std::uint16_t product,
                          std::uint32_t interfaces, std::uint32_t deviceNumber) {
        return Device(name, BUS + "/usb1", vendor, product, interfaces, deviceNumber);
    }

    // An interface of device; driver names the bound driver, if any.
    std::string Interface(const std::string& device, std::uint32_t number,
                          std::uint32_t interfaceClass, const std::string& driver = "") {
        const std::string name =
            std::filesystem::path(device).filename().string() + ":1." + std::to_string(number);
        const std::string directory = device + "/" + name;
        Write(directory + "/bInterfaceNumber", Hex(number, 2));
        Write(directory + "/bInterfaceClass", Hex(interfaceClass, 2));
        Write(directory + "/bAlternateSetting", " 0");
        Write(directory + "/bNumEndpoints", "00");
        Endpoint(directory, 0x00, 0x00);
        if (!driver.empty()) {
            std::filesystem::create_directories(Sys() + "/bus/usb/drivers/" + driver);
            Link(Sys() + "/bus/usb/drivers/" + driver, directory + "/driver");
        }
        Link(directory, Sys() + "/bus/usb/devices/" + name);
        return directory;
    }

    // A free vendor-specific interface with a bulk IN and a bulk OUT endpoint.
    std::string BulkInterface(const std::string& device, std::uint32_t number) {
        const std::string directory = Interface(device, number, 0xFF);
        Endpoint(directory, 0x81, 0x02);
        Endpoint(directory, 0x02, 0x02);
        return directory;
    }

    void Endpoint(const std::string& interface, std::uint32_t address, std::uint32_t attributes) {
        const std::string directory = interface + "/ep_" + Hex(address, 2);
        Write(directory + "/bEndpointAddress", Hex(address, 2));
        Write(directory + "/bmAttributes", Hex(attributes, 2));
    }

    // A hidraw node of a HID device below interface.
    void Hidraw(const std::string& interface, std::uint32_t number, std::uint16_t vendor,
                std::uint16_t product) {
        char hid[32];
        std::snprintf(hid, sizeof hid, "0003:%04X:%04X.%04X", vendor, product, number + 1);
        ClassDevice(interface + "/" + hid + "/hidraw", "hidraw", "hidraw" + std::to_string(number));
    }

    // A tty below interface as cdc-acm (ttyACMn) or a USB serial driver (ttyUSBn) makes it.
    void Tty(const std::string& interface, const std::string& name) {
        const bool usbSerial = name.compare(0, 6, "ttyUSB") == 0;
        ClassDevice(interface + (usbSerial ? "/" + name + "/tty" : "/tty"), "tty", name);
    }

    // A main-board serial port: no USB device above it.
    void PlatformTty(const std::string& name) {
        ClassDevice(Sys() + "/devices/platform/serial8250/tty", "tty", name);
    }

    // A class device of some other bus, below sys/devices/virtual.
    void VirtualClassDevice(const std::string& parent, const std::string& className,
                            const std::string& name) {
        ClassDevice(Sys() + "/devices/virtual/" + parent, className, name);
    }

    void Write(const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path) << text << "\n";
    }

    // Replaces an attribute file with a directory: the file exists but cannot be read.
    void MakeUnreadable(const std::string& path) {
        std::filesystem::remove(path);
        std::filesystem::create_directories(path);
    }

    void Link(const std::string& target, const std::string& link) {
        std::filesystem::create_directories(std::filesystem::path(link).parent_path());
        std::filesystem::create_symlink(
            std::filesystem::relative(target, std::filesystem::path(link).parent_path()), link);
    }

  private:
    const std::string BUS = "devices/pci0000:00/0000:00:14.0";

    std::string Device(const std::string& name, const std::string& parent, std::uint16_t vendor,
                       std::uint16_t product, std::uint32_t interfaces,
                       std::uint32_t deviceNumber) {
        const std::string directory = Sys() + "/" + parent + "/" + name;
        Write(directory + "/idVendor", Hex(vendor, 4));
        Write(directory + "/idProduct", Hex(product, 4));
        Write(directory + "/busnum", "1");
        Write(directory + "/devnum", std::to_string(deviceNumber));
        char count[8];
        std::snprintf(count, sizeof count, "%2u", interfaces);
        Write(directory + "/bNumInterfaces", count);
        Write(directory + "/bConfigurationValue", "1");
        Link(directory, Sys() + "/bus/usb/devices/" + name);
        return directory;
    }

    void ClassDevice(const std::string& parent, const std::string& className,
                     const std::string& name) {
        const std::string directory = parent + "/" + name;
        Write(directory + "/dev", "240:0");
        Link(directory, Sys() + "/class/" + className + "/" + name);
    }

    static std::string Hex(std::uint32_t value, int digits) {
        char text[16];
        std::snprintf(text, sizeof text, "%0*x", digits, value);
        return text;
    }

    std::filesystem::path root_;
};
