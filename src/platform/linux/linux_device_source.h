// Device discovery on Linux, from sysfs, under the same policy as the device database of
// Windows: the same count, the same three sources in the same order, the same acceptance
// rules (JudgeUsbDevice, JudgeInterfaceIdentity, JudgePortIdentity), and the stages and
// limits of SelectDevice. Every entry looked at is reported to the source's observer with its
// verdict; sysfs adds verdicts of its own (an interface that is not vendor-specific, held by
// a kernel driver or without bulk endpoints; a node with no USB interface above it).
//
// How the Windows forms map onto sysfs:
//   - Interface numbers. Windows puts an interface number into a path ("mi_XX") exactly when
//     the device is composite, that is when its active configuration has more than one
//     interface; the function of a single-interface device is the device itself. Every
//     interface here takes the same view: its identity carries bInterfaceNumber when the
//     device's bNumInterfaces is above 1, and no interface number otherwise. So a kind 5
//     product's hidraw node on interface 1 of its composite device is HidFeature, a kind 2
//     product's only interface is Hid without an interface number, and a kind 5 product with
//     a single interface gives nothing, as on Windows.
//   - The count: every USB device in <sys>/bus/usb/devices (a directory with idVendor and
//     idProduct). A device carries no interface number, so every supported one counts once.
//   - The vendor interface class: the bulk interface of a single-interface device, reached
//     through usbfs. That interface must be vendor-specific (bInterfaceClass 0xFF), have a
//     bulk IN and a bulk OUT endpoint, and be free for usbfs: no kernel driver bound to it,
//     or one claimed through usbfs by a program (the open then reports it in use). An
//     interface that a kernel driver holds is published by that driver instead (a tty, say),
//     just as on Windows another driver's device publishes no vendor interface. On a
//     composite device the interface carries an interface number and is skipped, as the
//     vendor class skips "mi_" paths. The record's path is the usbfs node with the interface
//     behind it: "<dev>/bus/usb/BBB/DDD#ifN" (bus and device numbers in three digits, the
//     interface number in decimal).
//   - The HID class: the nodes in <sys>/class/hidraw whose device lies below a USB
//     interface; the path is "<dev>/hidrawN".
//   - The COM ports: the nodes in <sys>/class/tty named ttyACM or ttyUSB followed by a
//     decimal number, whose device lies below a USB interface (a port of the main board never
//     does); any interface number is accepted; the path is "<dev>/ttyACMn" or "<dev>/ttyUSBn".
//     There is no vendor virtual bus on Linux. Other tty names (consoles, pseudo terminals,
//     main-board ports) are not looked at.
// A path longer than a DeviceRecord holds is skipped. Unreadable or malformed sysfs files
// skip the entry they belong to. A list that cannot be read (sysfs not mounted, no permission
// on <sys>/bus/usb/devices, <sys>/class/hidraw or <sys>/class/tty) is reported once with the
// verdict ListUnavailable and the list's path, and its source finds nothing, as when the
// Windows device database gives no list; a bus or class that the kernel lacks altogether
// (hidraw not loaded) is an empty list (ListSysfsList).
#pragma once

#include <string>
#include <vector>

#include "discovery/selection.h"

class LinuxDeviceSource : public DeviceSource {
  public:
    // sysRoot is "/sys" and devRoot "/dev" in the product; tests pass fixture trees.
    LinuxDeviceSource(std::string sysRoot, std::string devRoot);

    std::uint32_t CountUsbDevices() override;
    std::uint32_t ScanInterfaceClasses(DeviceRecord* table) override;
    std::uint32_t ScanComPorts(DeviceRecord* first, std::uint32_t limit) override;

  private:
    // Tells the observer, if there is one, about an entry; path and portName are UTF-8.
    void ReportCandidate(CandidateSource source, const std::string& path,
                         const std::string& portName, const UsbIdentity* identity,
                         LinkKind linkKind, CandidateVerdict verdict) const;
    // The names in <sys>/<group>/<list>; false, reported as ListUnavailable, without a list.
    bool List(CandidateSource source, const char* group, const char* list,
              std::vector<std::string>& names);
    std::uint32_t ScanBulkInterfaces(DeviceRecord* table, std::uint32_t written);
    std::uint32_t ScanHidraw(DeviceRecord* table, std::uint32_t written);

    std::string sysRoot_;
    std::string devRoot_;
};
