// DevicePort for a HID interface through its hidraw node. The device uses numbered reports,
// and hidraw keeps the report id in the first byte both ways, so the bytes are those of the
// Windows HID class driver: a write takes the 64-byte output report starting with id 4, and
// the feature switch is the 2-byte feature report 0xFE, on/off (HIDIOCSFEATURE). A read gives
// one input report starting with id 2; a report shorter than 64 bytes is padded with zeros to
// 64, as Windows pads every input report to the longest one.
//
// The two opens keep the meaning of Windows' share modes: an exclusive open takes
// flock(LOCK_EX | LOCK_NB) and a shared one flock(LOCK_SH | LOCK_NB). A lock held by another
// program makes the exclusive open a sharing violation, after which the portable code opens
// once more shared; that open gets in beside a program that shares the node too, never beside
// one that holds it exclusively (another update in progress), which stays a sharing violation.
// Programs that take no lock at all are not kept out, as flock is advisory.
//
// Writes wait in poll for the node to take the report within the wait. hidraw reports
// itself writable at all times and hands the report to the HID driver, which completes or
// fails the transfer within its own time limit, so on a real device the wait bounds little;
// on a descriptor that does block (a socket in the tests) it is the limit.
#pragma once

#include "link/device_port.h"
#include "platform/linux/linux_fd_io.h"

class HidrawPort : public DevicePort {
  public:
    HidrawPort();
    ~HidrawPort() override;
    HidrawPort(const HidrawPort&) = delete;
    HidrawPort& operator=(const HidrawPort&) = delete;

    PortError Open(const char16_t* path, bool shared) override;
    // Takes over an opened non-blocking descriptor (closing it on failure), locking it
    // exclusively or shared. Open ends here; tests hand in a socket that stands in for the node.
    PortError Attach(int fd, bool shared);
    void Close() override;
    bool SendFeatureReport(const std::uint8_t* report, std::uint32_t length) override;
    // A HID interface has no serial line.
    bool ConfigureSerial() override;
    bool Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& count,
              const std::atomic<bool>& cancelRead) override;
    void WakeRead() override;
    bool Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
               std::uint32_t& written) override;

  private:
    int fd_ = -1;
    EventFd wake_;
};
