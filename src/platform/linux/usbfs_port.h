// DevicePort for the vendor's bulk interface through usbfs. The path is the device's usbfs
// node with the interface number behind it, "/dev/bus/usb/BBB/DDD#ifN" (see
// LinuxDeviceSource). Open claims the interface (a claim held elsewhere, by a kernel driver
// or another program, is a sharing violation) and takes its first bulk IN and bulk OUT
// endpoints from sysfs. Reads and writes are asynchronous bulk URBs: a read submits one IN
// URB and waits in poll for it to be reaped, and a stop request discards it; a write submits
// OUT URBs of at most 16 KiB each (the most that every kernel's usbfs takes in one URB) and
// discards the one that is not done within the wait.
//
// The reader thread and a writer wait on the same node, and a reap hands back whichever URB
// has completed, so every reap goes through one lock that marks the URB's owner and wakes it
// through its eventfd. URB buffers are the port's own, not the caller's: the kernel copies an
// IN URB's data when the URB is reaped, and that may be the other thread's reap.
// A usbfs claim is always exclusive, so a shared open is the same as an exclusive one.
#pragma once

#include <linux/usbdevice_fs.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "link/device_port.h"
#include "platform/linux/linux_fd_io.h"
#include "platform/linux/sysfs.h"

constexpr std::uint32_t USBFS_URB_MAX = 16384;

// The usbfs calls the port makes, each answering 0 or an errno value, so that tests can stand
// in for a device.
class UsbfsCalls {
  public:
    virtual ~UsbfsCalls() = default;
    virtual int OpenNode(const char* path, int& fd) = 0;
    virtual int ClaimInterface(int fd, unsigned int interface) = 0;
    virtual int ReleaseInterface(int fd, unsigned int interface) = 0;
    virtual int SubmitUrb(int fd, usbdevfs_urb& urb) = 0;
    virtual int DiscardUrb(int fd, usbdevfs_urb& urb) = 0;
    // A completed URB without waiting; EAGAIN when none is ready. The node polls writable
    // (POLLOUT) while one is ready.
    virtual int ReapUrbNoDelay(int fd, usbdevfs_urb*& urb) = 0;
};

// The real calls: open and the USBDEVFS_ ioctls.
UsbfsCalls& SystemUsbfsCalls();

struct UsbfsAddress {
    std::string node;  // the path before "#if"
    std::uint32_t busNumber = 0;
    std::uint32_t deviceNumber = 0;
    std::uint8_t interfaceNumber = 0;
};

// Splits "<...>/BBB/DDD#ifN": the bus and device numbers are the node's last two path
// components, decimal, 1 to 3 digits; N is decimal, 0 to 255.
bool ParseUsbfsPath(const std::string& path, UsbfsAddress& address);

// A zeroed bulk URB for endpoint over length bytes of buffer.
void PrepareBulkUrb(usbdevfs_urb& urb, std::uint8_t endpoint, std::uint8_t* buffer,
                    std::uint32_t length);

class UsbfsPort : public DevicePort {
  public:
    UsbfsPort(std::string sysRoot, UsbfsCalls& calls);
    ~UsbfsPort() override;
    UsbfsPort(const UsbfsPort&) = delete;
    UsbfsPort& operator=(const UsbfsPort&) = delete;

    PortError Open(const char16_t* path, bool shared) override;
    void Close() override;
    // A bulk interface has neither feature reports nor a serial line.
    bool SendFeatureReport(const std::uint8_t* report, std::uint32_t length) override;
    bool ConfigureSerial() override;
    bool Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& count,
              const std::atomic<bool>& cancelRead) override;
    void WakeRead() override;
    bool Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
               std::uint32_t& written) override;

    const BulkEndpoints& Endpoints() const { return endpoints_; }

  private:
    // One URB in flight with its own buffer, the flag the reaping thread sets when it comes
    // back, and the eventfd that wakes its owner then. The URB is allocated on its own: its
    // type ends in a flexible array, so it cannot be a member.
    struct UrbSlot {
        std::unique_ptr<usbdevfs_urb> urb;
        std::uint8_t buffer[USBFS_URB_MAX] = {};
        std::atomic<bool> reaped{false};
        EventFd reapedWake;
    };

    // Reaps every completed URB, marks it and wakes its owner. False once the device is gone.
    bool ReapCompleted();
    // Submits the slot's URB and polls until it has been reaped, by this thread or the other.
    // When timeoutMs passes (-1: no limit) or, for reads, a stop request comes, the URB is
    // discarded and still waited for; discarded tells so. False when the submission fails or
    // the device is gone before the URB came back.
    bool RunUrb(UrbSlot& slot, int timeoutMs, const std::atomic<bool>* cancelRead, bool& discarded);

    const std::string sysRoot_;
    UsbfsCalls& calls_;
    int fd_ = -1;
    unsigned int interface_ = 0;
    BulkEndpoints endpoints_;
    EventFd wake_;
    std::mutex reapLock_;
    UrbSlot read_;
    UrbSlot write_;
};
