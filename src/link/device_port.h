// The device port seam: the few primitives one opened device offers. Each platform has its
// own (overlapped handles on Windows, file descriptors on Linux, an in-process peer for the
// simulated scanner); the sequencing around them (shared retry, feature switch, pauses,
// error mapping, framing) lives in DeviceIo and DeviceLink and is written once.
#pragma once

#include <atomic>
#include <cstdint>

// Failures are reported as Win32 error numbers on every platform, so that one mapping turns
// them into ResultCodes. Other platforms translate their own errors into these.
using PortError = std::uint32_t;
constexpr PortError PORT_ERROR_NONE = 0;
constexpr PortError PORT_ERROR_FILE_NOT_FOUND = 2;
constexpr PortError PORT_ERROR_PATH_NOT_FOUND = 3;
constexpr PortError PORT_ERROR_ACCESS_DENIED = 5;
constexpr PortError PORT_ERROR_GEN_FAILURE = 31;
constexpr PortError PORT_ERROR_SHARING_VIOLATION = 32;

constexpr std::uint32_t PORT_READ_CHUNK = 4096;

class DevicePort {
  public:
    virtual ~DevicePort() = default;

    // Opens path for reading and writing, exclusively or (shared) with read and write
    // sharing. Returns PORT_ERROR_NONE or the reason.
    virtual PortError Open(const char16_t* path, bool shared) = 0;
    // Closes the open device; a closed port stays closed.
    virtual void Close() = 0;

    // Sends a HID feature report; the call completes before it returns.
    virtual bool SendFeatureReport(const std::uint8_t* report, std::uint32_t length) = 0;
    // Sets a serial line up: 9600 baud, 8 data bits, no parity, one stop bit, raw, no flow
    // control, DTR and RTS on, reads that return what has arrived, both directions purged.
    virtual bool ConfigureSerial() = 0;

    // One read of up to capacity bytes, waiting without limit for input. Once the read is
    // under way it does not wait if cancelRead is already set, and WakeRead() ends the wait;
    // a read ended that way before any byte arrived fails. Bytes that did arrive are returned.
    virtual bool Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& count,
                      const std::atomic<bool>& cancelRead) = 0;
    // Wakes a read that waits (called by another thread after it set cancelRead).
    virtual void WakeRead() = 0;

    // One write of length bytes; a write not finished within waitMs (INFINITE_WAIT: no limit)
    // is cancelled. written receives how many bytes went out.
    virtual bool Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
                       std::uint32_t& written) = 0;
};
