// Choosing one scanner among several: the selector a user names it by, and the physical USB
// device every candidate of the selection belongs to. With a choice the selection's two stages
// run as ever, but only over what belongs to the chosen device; without one nothing changes.
//
// Selector forms (the text after "-device:"):
//   serial:TEXT  the device's USB serial number, compared without regard to ASCII letter case
//                (Windows keeps serial numbers in upper case in its instance identifiers)
//   usb:TEXT     the device's port location as its system names it, compared the same way
//                (Linux: the sysfs name, "1-2.3"; Windows: the location information of the
//                USB device node, "Port_#0003.Hub_#0002")
//   a path       beginning with "\" or "/": a path the selection lists for the device (an
//                interface or device path, a port's path "\\.\COM7", a node "/dev/ttyACM0")
//   a port name  1 to 30 ASCII letters and digits ("COM7", "ttyACM0"), as a port is listed
// A path or port name chooses the physical device whose candidate it names; every other
// interface and port of that device belongs to the choice too.
#pragma once

#include <cstddef>
#include <cstdint>

#include "discovery/identity.h"

constexpr std::size_t DEVICE_TEXT_UNITS = 256;  // each text below with its terminator
constexpr std::size_t SELECTOR_TEXT_MAX = DEVICE_PATH_MAX;
constexpr std::size_t PORT_NAME_SELECTOR_MAX = 30;

// The USB device a candidate belongs to, as its system records it. An empty key: not known.
struct PhysicalDevice {
    // Tells devices apart while they are attached: Windows the USB device's instance
    // identifier, Linux its sysfs name.
    char16_t key[DEVICE_TEXT_UNITS];
    char16_t serial[DEVICE_TEXT_UNITS];    // empty: the device has no serial number
    char16_t location[DEVICE_TEXT_UNITS];  // empty: the system gives no location
};

// Zeroes device and fills it; false (and device left unknown) when a text does not fit.
bool FillPhysicalDevice(PhysicalDevice& device, const char16_t* key, const char16_t* serial,
                        const char16_t* location);

enum class SelectorKind : std::uint8_t { Serial, Location, Path };

struct DeviceSelector {
    SelectorKind kind = SelectorKind::Path;
    char16_t text[SELECTOR_TEXT_MAX + 1] = {};  // without its "serial:" or "usb:"
};

// nullptr when text is a selector, which selector then holds; otherwise why it is none, as a
// phrase that follows "selector" ("names no scanner").
const char* ParseDeviceSelector(const char16_t* text, DeviceSelector& selector);

struct CandidateReport;

// What a selector chooses. A path or port name first has to be found among the candidates
// (Resolve), since it names its device only through the candidate that carries it.
class DeviceChoice {
  public:
    explicit DeviceChoice(const DeviceSelector& selector) : selector_(selector) {}

    bool NeedsResolving() const { return selector_.kind == SelectorKind::Path; }
    // While resolving nothing is admitted, so that the sources walk every entry; the
    // candidate the path names gives the device.
    void BeginResolving() { resolving_ = true; }
    void EndResolving() { resolving_ = false; }

    // Whether a candidate that would count or be taken belongs to the chosen device.
    bool Admits(const CandidateReport& candidate);

  private:
    bool Names(const CandidateReport& candidate) const;

    const DeviceSelector& selector_;
    bool resolving_ = false;
    bool resolved_ = false;
    char16_t resolvedKey_[DEVICE_TEXT_UNITS] = {};
};
