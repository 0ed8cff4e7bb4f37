// The Windows device port: one device path opened for overlapped I/O, so that the reader
// thread's read and the main thread's writes run on the same handle at the same time, each
// with its own OVERLAPPED and event.
#pragma once

#include <atomic>
#include <cstdint>

#include <windows.h>

#include "link/device_port.h"

constexpr DWORD SERIAL_INPUT_QUEUE = 0x80000;
constexpr DWORD SERIAL_OUTPUT_QUEUE = 4096;
constexpr DWORD SERIAL_BAUD_RATE = 9600;
// Read time-outs under which a read returns at once with what the input queue holds, or
// with the first byte that arrives when it is empty; writes have no total time-out.
constexpr DWORD SERIAL_READ_TOTAL_TIMEOUT = 0xFFFFFFFE;

// Sets the line settings of the link in a DCB read from the port and keeps every other
// member as read: 9600 baud, 8N1, binary, no flow control of either kind, DTR and RTS on,
// no error or null-byte processing, no abort on error.
void ApplyLinkSerialSettings(DCB& dcb);

class Win32DevicePort final : public DevicePort {
  public:
    Win32DevicePort();
    ~Win32DevicePort() override;
    Win32DevicePort(const Win32DevicePort&) = delete;
    Win32DevicePort& operator=(const Win32DevicePort&) = delete;

    PortError Open(const char16_t* path, bool shared) override;
    void Close() override;
    bool SendFeatureReport(const std::uint8_t* report, std::uint32_t length) override;
    bool ConfigureSerial() override;
    bool Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& count,
              const std::atomic<bool>& cancelRead) override;
    void WakeRead() override;
    bool Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
               std::uint32_t& written) override;

  private:
    bool ReadOverlapped(std::uint8_t* buffer, DWORD length, DWORD& count,
                        const std::atomic<bool>& cancelRead);

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    HANDLE readEvent_ = nullptr;
    HANDLE writeEvent_ = nullptr;
    // Feature reports get their own event, so that they never depend on which thread closes
    // the device or on whether a write is under way.
    HANDLE controlEvent_ = nullptr;
    // Set by a successful serial set-up: serial reads take the two-step path in Read.
    bool serial_ = false;
};
