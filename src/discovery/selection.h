// Finding the one attached scanner: a count of the supported USB devices present, then the
// paths it can be opened through (the vendor interface class and HID first, then the COM
// ports), insisting on exactly one at each stage. Nothing is allocated; every list and key
// is closed by the step that opened it.
#pragma once

#include <cstdint>

#include "common/result_code.h"
#include "discovery/device_choice.h"
#include "discovery/device_database.h"
#include "discovery/identity.h"

class DeviceLink;

constexpr std::uint32_t DEVICE_RECORD_TABLE_SIZE = 2;

// Where a candidate was found, in the order the selection reads them.
enum class CandidateSource : std::uint8_t {
    UsbDevice,        // the count of attached scanners
    VendorInterface,  // the vendor's bulk interface class
    HidInterface,     // the HID interface class
    Port,             // the COM ports
};

// What the selection made of one candidate: counted or taken, or the rule that skipped it.
enum class CandidateVerdict : std::uint8_t {
    Counted,             // a USB device that counts as an attached scanner
    Taken,               // a path that became a DeviceRecord
    ListUnavailable,     // the device database (sysfs) gave no list for this source
    NotDescribed,        // the database could not give the entry's path; the walk ends here
    PathTooShort,        // a device path of fewer than 64 units
    PathTooLong,         // a path longer than a DeviceRecord holds
    WrongPrefix,         // a device path without the prefix of its class
    NoIdentity,          // no "vid_XXXX&pid_XXXX" identity where one belongs
    InterfaceNotKept,    // an interface number this source does not keep
    UnknownVendor,       // none of the three supported vendors
    UnsupportedProduct,  // a supported vendor's product outside its table
    KindNotTaken,        // a supported product whose kind this source does not open
    NeedsInterfaceOne,   // a HID composite product seen without its interface 1
    NoInstanceId,        // a port whose instance identifier cannot be read
    NotUsbPort,          // a port neither on the vendor bus nor of a USB device
    NoDeviceKey,         // a port whose device key cannot be opened
    NoPortName,          // "PortName" missing, too long or not a string
    BadPortName,         // a port name other than COM and a number from 1 to 65535
    NoHardwarePath,      // a vendor bus port without a readable "HardwareDevinstpath"
    HardwarePathNotUsb,  // a vendor bus port whose hardware path does not begin "usb\"
    NotChosen,           // it belongs to a scanner other than the one a selector chose
    // Linux: what sysfs shows in place of the Windows forms.
    Unreadable,         // sysfs attributes of the entry cannot be read
    NotVendorSpecific,  // an interface whose class is not vendor-specific
    HeldByDriver,       // an interface a kernel driver holds
    NoBulkEndpoints,    // an interface without a bulk IN and a bulk OUT endpoint
    NoUsbInterface,     // a hidraw or tty node with no USB interface above it
};

// One candidate as the selection judged it. Pointers are valid only during the call.
struct CandidateReport {
    CandidateSource source = CandidateSource::UsbDevice;
    const char16_t* path = nullptr;      // device path, instance identifier or node; may be null
    const char16_t* portName = nullptr;  // COM ports: the "PortName" value, when read
    const PhysicalDevice* device = nullptr;  // the USB device it belongs to, when known
    bool identityKnown = false;
    UsbIdentity identity;
    LinkKind productKind = LinkKind::Unsupported;  // ClassifyProduct of the identity
    LinkKind linkKind = LinkKind::Unsupported;     // what the record stores, when taken
    CandidateVerdict verdict = CandidateVerdict::Taken;
};

// How far the selection got, and what it ends with.
struct SelectionOutcome {
    ResultCode result = RESULT_NO_DEVICE;  // 0, 2 or 18
    bool chosen = false;                   // a selector restricted both stages
    std::uint32_t usbDevices = 0;          // counted
    bool interfacesScanned = false;
    std::uint32_t interfaceRecords = 0;
    bool portsScanned = false;
    std::uint32_t portRecords = 0;
    // A source could not list its entries: what was not found may still be attached.
    bool listUnavailable = false;
    DeviceRecord record{};  // the one device, when result is 0
};

// Told about every candidate a source looks at and about the selection's end. Diagnostics
// (scanfw devices, the update trace) listen; the product runs without one.
class SelectionObserver {
  public:
    virtual ~SelectionObserver() = default;
    virtual void OnCandidate(const CandidateReport& report) = 0;
    virtual void OnOutcome(const SelectionOutcome& outcome) = 0;
};

// Where candidates come from. DatabaseDeviceSource reads the Windows forms of the device
// database; other platforms may find candidates their own way under the same policy.
class DeviceSource {
  public:
    virtual ~DeviceSource() = default;
    virtual std::uint32_t CountUsbDevices() = 0;
    // Writes up to two records from the start of table; returns how many.
    virtual std::uint32_t ScanInterfaceClasses(DeviceRecord* table) = 0;
    // Writes at most limit records from first on; returns how many.
    virtual std::uint32_t ScanComPorts(DeviceRecord* first, std::uint32_t limit) = 0;

    // null: nobody listens.
    void SetObserver(SelectionObserver* observer) { observer_ = observer; }
    SelectionObserver* Observer() const { return observer_; }
    // How many times a source could not list its entries, over the source's life.
    std::uint32_t UnavailableLists() const { return unavailableLists_; }
    // null: every scanner may be counted and taken. SelectDevice sets it for its run.
    void SetChoice(DeviceChoice* choice) { choice_ = choice; }

  protected:
    void Report(const CandidateReport& report) const {
        if (observer_ != nullptr) {
            observer_->OnCandidate(report);
        }
    }
    // A source whose list could not be read: counted, and reported with the verdict
    // ListUnavailable; path names the list where there is one to name (may be null).
    void ReportListUnavailable(CandidateSource source, const char16_t* path);
    // For a candidate that would count or be taken (verdict): NotChosen when a choice is made
    // and the candidate belongs to another device, or to none that is known.
    CandidateVerdict Choose(const CandidateReport& candidate, CandidateVerdict verdict) const {
        return choice_ == nullptr || choice_->Admits(candidate) ? verdict
                                                                : CandidateVerdict::NotChosen;
    }
    bool Choosing() const { return choice_ != nullptr; }
    // Whether a candidate's USB device is worth looking up: a choice judges by it and an
    // observer may show it; a plain run needs neither.
    bool DeviceWanted() const { return choice_ != nullptr || observer_ != nullptr; }

  private:
    SelectionObserver* observer_ = nullptr;
    std::uint32_t unavailableLists_ = 0;
    DeviceChoice* choice_ = nullptr;
};

// The rules each source applies to an identity, shared so that every platform judges alike.
// A USB device counts when its identity carries no interface number or interface 1, and its
// product is supported or its vendor is VENDOR_A.
CandidateVerdict JudgeUsbDevice(const UsbIdentity& identity);
// An interface found through an interface class: an identity with an interface number is
// kept only where the class keeps interface 1 (HID) and the number is 1; kinds 1 and 2 are
// taken as they are, kind 5 only with an interface number, as HidFeature. kind receives the
// kind to store when the verdict is Taken.
CandidateVerdict JudgeInterfaceIdentity(const UsbIdentity& identity, bool keepsInterfaceOne,
                                        LinkKind& kind);
// A serial port of a USB device: kinds 1, 6 and 7, whatever the interface number.
CandidateVerdict JudgePortIdentity(const UsbIdentity& identity);

class DatabaseDeviceSource : public DeviceSource {
  public:
    explicit DatabaseDeviceSource(DeviceDatabase& database) : database_(database) {}
    std::uint32_t CountUsbDevices() override;
    std::uint32_t ScanInterfaceClasses(DeviceRecord* table) override;
    std::uint32_t ScanComPorts(DeviceRecord* first, std::uint32_t limit) override;

  private:
    // A port's registry values and identity; Taken when its record may be written. deviceId
    // receives, in the database's letter case, the instance identifier that names the port's
    // USB device or a device below it: the port's own, or a vendor bus port's hardware path.
    CandidateVerdict JudgePort(RegistryKeyHandle key, bool vendorBus, char16_t* instanceId,
                               char16_t* portName, char16_t* deviceId, CandidateReport& candidate);
    // The USB device that instanceId names, or the nearest one above it in the device tree;
    // false when none is found.
    bool FindPhysicalDevice(const char16_t* instanceId, PhysicalDevice& device);
    // Points the candidate at device, filled, when the interface last enumerated in list
    // leads to a USB device.
    void KnowDevice(DeviceListHandle list, CandidateReport& candidate, PhysicalDevice& device);

    DeviceDatabase& database_;
};

// The two stages of the selection without opening anything: the count, then the paths. The
// source's observer, if any, hears every candidate and the outcome. With a selector both
// stages look only at what belongs to the device it chooses; a path or port name is first
// looked for among every candidate, unheard by the observer.
SelectionOutcome SelectDevice(DeviceSource& source, const DeviceSelector* selector = nullptr);

// 0 with the one device open in the link; 2 none found; 18 more than one; otherwise the
// code DeviceLink::Open reported.
ResultCode SelectAndOpenDevice(DeviceSource& source, DeviceLink& link,
                               const DeviceSelector* selector = nullptr);

// Words for scripts ("usb-device", "unknown-vendor") and sentences for people.
const char* CandidateSourceName(CandidateSource source);
const char* CandidateSourceText(CandidateSource source);
const char* CandidateVerdictName(CandidateVerdict verdict);
const char* CandidateVerdictText(CandidateVerdict verdict);
// Why the selection ends as it does.
const char* SelectionOutcomeText(const SelectionOutcome& outcome);
