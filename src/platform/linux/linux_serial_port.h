// DevicePort for serial lines (tty and pty devices) on Linux: open + termios, reads that wait
// in poll on the device and on an eventfd that a stop request writes, writes bounded by poll.
// ConfigureSerial makes the line raw at 9600 baud; Close puts back the settings the line had
// before (a ttyACM starts cooked), so a terminal program that opens it later finds it as it
// was.
#pragma once

#include <termios.h>

#include "link/device_port.h"
#include "platform/linux/linux_fd_io.h"

class LinuxSerialPort : public DevicePort {
  public:
    LinuxSerialPort();
    ~LinuxSerialPort() override;
    LinuxSerialPort(const LinuxSerialPort&) = delete;
    LinuxSerialPort& operator=(const LinuxSerialPort&) = delete;

    // Exclusive opens set TIOCEXCL and take flock(LOCK_EX | LOCK_NB); a lock held elsewhere
    // is a sharing violation.
    PortError Open(const char16_t* path, bool shared) override;
    void Close() override;
    // Serial lines have no HID feature reports.
    bool SendFeatureReport(const std::uint8_t* report, std::uint32_t length) override;
    bool ConfigureSerial() override;
    bool Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& count,
              const std::atomic<bool>& cancelRead) override;
    void WakeRead() override;
    bool Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
               std::uint32_t& written) override;

  private:
    int fd_ = -1;
    EventFd wake_;
    termios savedSettings_{};  // the line's settings before ConfigureSerial changed them
    bool settingsSaved_ = false;
};
