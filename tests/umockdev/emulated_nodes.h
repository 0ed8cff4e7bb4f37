// The device side of each kind of node, for a program under umockdev's preload: its read,
// write and ioctl calls on the node reach a handler here through umockdev's ioctl socket,
// and the handler puts the simulated scanner behind them. The preload does not forward poll,
// so a node is a real file whose readiness the handler keeps true to the device: a FIFO that
// holds one byte exactly while a hidraw read would find a report, or (a one-page FIFO) that
// is writable exactly while a usbfs URB waits to be reaped, as the kernel signals it. A tty
// is a pty served by PtyScanner.
//
// Handlers run on the testbed's worker thread, the scanner's answers arrive on its own
// thread; each node keeps its state under one lock. A node must outlive the program that has
// it open, and the scanner must outlive the node.
#pragma once

#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "scanner_testbed.h"
#include "sim/hid_framing.h"
#include "sim/pty_scanner.h"
#include "sim/sim_scanner.h"

// The calls that reached a node, one line each ("CLAIMINTERFACE 0", "HIDIOCSFEATURE fe 01").
class CallLog {
  public:
    void Add(std::string line);
    std::vector<std::string> Lines() const;
    // How many lines begin with prefix.
    std::size_t Count(const std::string& prefix) const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// What a node does with the calls of one kind. Each answers true once it has completed the
// call, false to leave it to the real file.
class NodeCalls {
  public:
    virtual bool OnIoctl(UMockdevIoctlClient* client) = 0;
    virtual bool OnRead(UMockdevIoctlClient* client) = 0;
    virtual bool OnWrite(UMockdevIoctlClient* client) = 0;

  protected:
    ~NodeCalls() = default;
};

// What a test sees of every node.
class EmulatedNode {
  public:
    virtual ~EmulatedNode() = default;
    // The node exists and its handler is attached.
    virtual bool Ok() const = 0;
    virtual const CallLog& Log() const = 0;
};

// Attaches a umockdev ioctl handler to a device node for as long as it lives.
class NodeHandler {
  public:
    NodeHandler(ScannerTestbed& testbed, std::string devnode, NodeCalls& calls);
    ~NodeHandler();
    NodeHandler(const NodeHandler&) = delete;
    NodeHandler& operator=(const NodeHandler&) = delete;

    bool Attached() const { return attached_; }

  private:
    ScannerTestbed& testbed_;
    const std::string devnode_;
    NodeCalls& calls_;
    UMockdevIoctlBase* handler_;
    bool attached_ = false;
};

// A FIFO in a device node's place that holds one byte or none.
class ReadinessFifo {
  public:
    // onePage: the pipe holds a single page, so that its one byte takes POLLOUT away.
    // holding: it starts with its byte.
    ReadinessFifo(const std::string& path, bool onePage, bool holding);
    ~ReadinessFifo();
    ReadinessFifo(const ReadinessFifo&) = delete;
    ReadinessFifo& operator=(const ReadinessFifo&) = delete;

    bool Ok() const { return fd_ >= 0; }
    void Hold(bool byte);

  private:
    int fd_ = -1;
    bool holding_ = false;
};

// A ttyACM node: a pty whose master PtyScanner serves. The line starts cooked at 9600 baud,
// as the cdc_acm driver makes a new port (icanon echo icrnl ixon opost isig). glibc's termios
// calls reach the pty directly; the tty ioctls a program makes itself come here and are
// answered as a CDC ACM port does: TIOCEXCL, TIOCNXCL and TIOCMBIS (a pty has no modem
// lines); any other runs on the pty. Reads run on the pty too; the log notes those that fail
// (a hang-up).
class TtyNode final : public EmulatedNode, private NodeCalls {
  public:
    TtyNode(ScannerTestbed& testbed, const std::string& name, SimScanner& scanner);

    bool Ok() const override { return ok_ && handler_.Attached(); }
    const CallLog& Log() const override { return log_; }
    // The line's speed and which of icanon, echo, icrnl, ixon, opost and isig are on:
    // "9600 icanon echo icrnl ixon opost isig" as it starts, "9600" once raw.
    std::string LineSettings() const;

  private:
    bool StartCooked() const;
    bool OnIoctl(UMockdevIoctlClient* client) override;
    bool OnRead(UMockdevIoctlClient* client) override;
    bool OnWrite(UMockdevIoctlClient*) override { return false; }

    PtyScanner pty_;
    CallLog log_;
    bool ok_ = false;
    NodeHandler handler_;
};

enum class ShortRead : std::uint8_t {
    None,
    Trimmed,     // every input report ends right after its payload
    CutPayload,  // the cutReport-th input report ends after its length byte
};

struct HidrawFaults {
    bool refuseFeature = false;  // HIDIOCSFEATURE fails with EPIPE
    ShortRead shortRead = ShortRead::None;
    std::uint32_t cutReport = 1;
    // From this write on (counting from 1; 0: never) every write fails with error, while
    // reads go on: the device's OUT path is gone.
    std::uint32_t failWritesFrom = 0;
    // The errno of those writes, and of every read and write once the scanner has vanished
    // (the node then turns readable, so that a waiting reader sees it).
    int error = ENODEV;
    // Once the scanner has vanished, the kernel's "remove" uevent for the hidraw device goes
    // out too, as on an unplug: a program that watches udev (Wine) then removes the device.
    // The sender finds the device through libudev, so the test itself must run under the
    // preload.
    bool removalUevent = false;
    // A write reports this many bytes more than the device took (see the Wine host).
    std::uint32_t writeCountExcess = 0;
};

// A hidraw node: every read hands over one input report of the scanner's answers, every write
// is one output report for it, HIDIOCSFEATURE carries feature reports to it, and
// HIDIOCGRDESCSIZE and HIDIOCGRDESC give the scanner's report descriptor.
class HidrawNode final : public EmulatedNode, private NodeCalls {
  public:
    HidrawNode(ScannerTestbed& testbed, const std::string& name, SimScanner& scanner,
               HidrawFaults faults = {});
    ~HidrawNode() override;

    bool Ok() const override { return fifo_.Ok() && handler_.Attached(); }
    const CallLog& Log() const override { return log_; }

  private:
    bool OnIoctl(UMockdevIoctlClient* client) override;
    bool OnRead(UMockdevIoctlClient* client) override;
    bool OnWrite(UMockdevIoctlClient* client) override;
    void Deliver(const std::uint8_t* bytes, std::size_t length);
    void Vanish();

    ScannerTestbed& testbed_;
    const std::string name_;
    SimScanner& scanner_;
    const HidrawFaults faults_;
    CallLog log_;
    std::mutex mutex_;
    ReadinessFifo fifo_;
    HidOutputReader reader_;
    std::deque<std::vector<std::uint8_t>> reports_;
    std::uint32_t reportsRead_ = 0;
    std::uint32_t writes_ = 0;
    bool vanished_ = false;
    NodeHandler handler_;
};

enum class UrbFault : std::uint8_t {
    None,
    OutNeverCompletes,  // the occurrence-th OUT URB stays pending until it is discarded
    OutStatus,          // the occurrence-th OUT URB completes with status and nothing sent
    InStatus,           // the occurrence-th IN URB to complete does so with status, no data
    SubmitFails,        // from the occurrence-th OUT URB on, every submission fails with error
};

enum class UsbfsVanish : std::uint8_t {
    UrbsShutDown,  // as the kernel does: URBs in flight complete with -ESHUTDOWN, submissions
                   // fail with ENODEV, and so does a reap that finds nothing
    ReapFails,     // every reap fails with error (the node turns writable)
};

struct UsbfsFaults {
    UrbFault urb = UrbFault::None;
    std::uint32_t occurrence = 1;
    int status = -EPIPE;
    int error = ENODEV;
    UsbfsVanish vanish = UsbfsVanish::UrbsShutDown;  // once the scanner has vanished
};

// A usbfs node of a device whose interface has the bulk endpoints BULK_IN_ENDPOINT and
// BULK_OUT_ENDPOINT: USBDEVFS_CLAIMINTERFACE and RELEASEINTERFACE (a claim while another open
// of the node holds the interface fails with EBUSY, as the kernel's does; a program that ends
// without releasing it keeps it, since the node does not see the close), bulk URBs through
// SUBMITURB (OUT URBs carry their bytes to the scanner, IN URBs complete with its answers),
// DISCARDURB (the URB completes with -ENOENT) and REAPURBNDELAY (EAGAIN while nothing is done).
class UsbfsNode final : public EmulatedNode, private NodeCalls {
  public:
    // The node of the device plugged in at port (its number as the bus gave it).
    UsbfsNode(ScannerTestbed& testbed, const std::string& port, std::uint8_t interfaceNumber,
              SimScanner& scanner, UsbfsFaults faults = {});
    ~UsbfsNode() override;

    bool Ok() const override { return fifo_.Ok() && handler_.Attached(); }
    const CallLog& Log() const override { return log_; }
    // REAPURBNDELAY calls answered EAGAIN: the reaps of a program that polls the node
    // without waiting for it.
    std::uint32_t EmptyReaps() const;

  private:
    struct Urb {
        UMockdevIoctlClient* client;
        gulong address;          // the program's URB
        UMockdevIoctlData* urb;  // the URB as resolved at its submission
        UMockdevIoctlData* buffer;
        bool in;
        std::uint32_t length;
        bool done = false;
        int status = 0;
        std::uint32_t actual = 0;
    };

    bool OnIoctl(UMockdevIoctlClient* client) override;
    bool OnRead(UMockdevIoctlClient* client) override;
    bool OnWrite(UMockdevIoctlClient* client) override;
    void Submit(UMockdevIoctlClient* client);
    void Discard(UMockdevIoctlClient* client);
    void Reap(UMockdevIoctlClient* client);
    // Completes an URB: it joins the ones waiting to be reaped.
    void Finish(Urb& urb, int status, std::uint32_t actual);
    // The node turns writable exactly while a reap would hand back an URB.
    void UpdateReadiness();
    void Vanish();

    SimScanner& scanner_;
    const std::uint8_t interfaceNumber_;
    const UsbfsFaults faults_;
    CallLog log_;
    mutable std::mutex mutex_;
    ReadinessFifo fifo_;
    std::list<Urb> urbs_;
    std::deque<Urb*> completed_;  // in the order they completed
    std::deque<std::uint8_t> answers_;
    std::uint32_t outUrbs_ = 0;
    std::uint32_t inCompletions_ = 0;
    bool submissionsFail_ = false;
    std::uint32_t emptyReaps_ = 0;
    bool vanished_ = false;
    UMockdevIoctlClient* claimant_ = nullptr;  // the open that holds the interface
    NodeHandler handler_;
};
