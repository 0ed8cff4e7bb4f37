// The second host of the emulated scanners: Windows programs under Wine, whose own HID stack
// (winebus over udev and hidraw, hidclass, SetupAPI) finds the hidraw nodes of a testbed and
// serves them to the program as HID devices.
//
// Every Wine process of a run must start under umockdev's preload with the testbed's
// UMOCKDEV_DIR: the Wine server, the services and the device host that loads winebus come
// up with the first program a new server sees, and winebus enumerates its udev devices once,
// as it starts. So each run starts a server of its own for the prefix and ends it afterwards;
// the prefix itself is made once and shared by the runs of a test process.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "child_run.h"
#include "scanner_testbed.h"

// A registry key below HKEY_LOCAL_MACHINE\System\CurrentControlSet with its values.
struct RegistryEntry {
    std::string key;
    std::vector<std::pair<std::string, std::string>> strings;
    std::vector<std::pair<std::string, std::uint32_t>> numbers;
};

// The device as the Wine host describes it in sysfs. winebus gives a HID path the interface
// named at the end of the hid device's HID_PHYS ("mi_00" for "/input0") whether or not the
// device is composite, where Windows gives the path of a single-interface device none; so
// such a device's HID_PHYS names no interface here, and its path comes out as on Windows.
UsbDeviceDescription ForWine(UsbDeviceDescription device);

// The start of the HID interface path Wine publishes for the device's HID interface with the
// node ("hid#vid_7a20&pid_0c01&mi_01#"), in lower case.
std::string HidPathStart(const UsbDeviceDescription& device, const std::string& node);

// The device as Windows lists it among the USB device interfaces, where the product counts
// the scanners attached (instance id: its serial). winebus makes no such entry for a hidraw
// device, so a run adds one for each scanner the count is to see.
std::vector<RegistryEntry> UsbDeviceInterface(const UsbDeviceDescription& device);

// A path of this machine as a Windows program under Wine names it ("Z:\tmp\...").
std::string WindowsPath(const std::string& path);

class WinePrefix {
  public:
    // The prefix in directory, made (with winebus's SDL bus off, so that it starts its udev
    // bus) unless an earlier process made it already.
    explicit WinePrefix(std::string directory);
    WinePrefix(const WinePrefix&) = delete;
    WinePrefix& operator=(const WinePrefix&) = delete;

    // False, with the reason in Problem(), when Wine is missing or the prefix cannot be made.
    bool Ready() const { return ready_; }
    const std::string& Problem() const { return problem_; }

    // Runs the Windows program (its path on this machine and its arguments) under a new
    // server against the testbed: the registry entries are imported into the prefix's
    // registry as it was made, and the program starts once a linked HID interface path
    // begins with each of awaited (winebus publishes the nodes while the program would
    // already run). The server is ended afterwards.
    ChildResult Run(const ScannerTestbed& testbed, const std::vector<RegistryEntry>& entries,
                    const std::vector<std::string>& awaited,
                    const std::vector<std::string>& program,
                    std::chrono::milliseconds limit = std::chrono::seconds(60));

  private:
    bool Make();
    // False when the awaited paths are not all published within the limit.
    bool AwaitHidPaths(const std::string& testbedRoot, const std::vector<std::string>& awaited,
                       std::string& published) const;
    ChildResult Wine(const std::string& testbedRoot, const std::vector<std::string>& arguments,
                     std::chrono::milliseconds limit) const;
    void EndServer() const;
    bool SaveRegistry();
    bool RestoreRegistry() const;

    const std::string directory_;
    std::string wine_;
    std::string wineserver_;
    bool ready_ = false;
    std::string problem_;
};
