// The Windows device port: one device path opened for overlapped I/O, so that the reader
// thread's read and the main thread's writes run on the same handle at the same time, each
// with its own OVERLAPPED and event.
//
// Every request waits until the driver is done with it before its call returns: CancelIo only
// asks for the cancellation, and until the request completes its buffer and OVERLAPPED, on the
// caller's stack, still belong to the driver. So each request has an event that only its own
// completion signals, and a stop request wakes the reader through an event of its own.
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
// The characters a port's flow control would use; they must differ even with it off.
constexpr char SERIAL_XON_CHAR = 0x11;
constexpr char SERIAL_XOFF_CHAR = 0x13;
// A feature report gets as long as a report write before it is cancelled.
constexpr DWORD FEATURE_REPORT_WAIT_MS = 1000;
// Under the serial time-outs no read returns empty, but a driver that mishandles them may
// return empty reads at once. From this many empty reads in a row on, each is followed by a
// pause that a stop request ends at once, so the reader does not spin on them.
constexpr std::uint32_t EMPTY_READS_BEFORE_PAUSE = 3;
constexpr DWORD EMPTY_READ_PAUSE_MS = 10;

// Sets the line settings of the link in a DCB read from the port and keeps every other
// member as read: 9600 baud, 8N1, binary, no flow control of either kind, DTR and RTS on,
// no error or null-byte processing, no abort on error. Equal Xon and Xoff characters (both 0
// on some virtual COM drivers) make SetCommState fail, so they become 0x11 and 0x13; with
// flow control off they are never sent.
void ApplyLinkSerialSettings(DCB& dcb);

// The calls the port makes on the device handle and the waits for its requests: the
// system's, or a test's that plays a driver Wine cannot (a request that completes long
// after its cancellation, one that never completes, a port with odd settings).
struct Win32PortCalls {
    decltype(&::CreateFileW) createFile = &::CreateFileW;
    decltype(&::CloseHandle) closeHandle = &::CloseHandle;
    decltype(&::ReadFile) readFile = &::ReadFile;
    decltype(&::WriteFile) writeFile = &::WriteFile;
    decltype(&::DeviceIoControl) deviceIoControl = &::DeviceIoControl;
    decltype(&::GetOverlappedResult) getOverlappedResult = &::GetOverlappedResult;
    decltype(&::CancelIo) cancelIo = &::CancelIo;
    decltype(&::WaitForSingleObject) waitForSingleObject = &::WaitForSingleObject;
    decltype(&::WaitForMultipleObjects) waitForMultipleObjects = &::WaitForMultipleObjects;
    decltype(&::SetupComm) setupComm = &::SetupComm;
    decltype(&::GetCommState) getCommState = &::GetCommState;
    decltype(&::SetCommState) setCommState = &::SetCommState;
    decltype(&::SetCommTimeouts) setCommTimeouts = &::SetCommTimeouts;
    decltype(&::PurgeComm) purgeComm = &::PurgeComm;
    decltype(&::ClearCommError) clearCommError = &::ClearCommError;
};

class Win32DevicePort final : public DevicePort {
  public:
    explicit Win32DevicePort(const Win32PortCalls& calls = Win32PortCalls{});
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
    // Waits up to waitMs for the request that was just started, cancels it if it is still
    // under way, waits until it is over and collects its outcome.
    bool FinishRequest(OVERLAPPED& overlapped, DWORD waitMs, DWORD& count);
    // Cancels the request if it is under way and returns once it is over.
    void CancelAndAwait(OVERLAPPED& overlapped);
    void PauseAfterEmptyReads(DWORD count);

    const Win32PortCalls calls_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    HANDLE readEvent_ = nullptr;
    HANDLE writeEvent_ = nullptr;
    // Feature reports get their own event, so that they never depend on which thread closes
    // the device or on whether a write is under way.
    HANDLE controlEvent_ = nullptr;
    // Signalled by a stop request; only the reader waits on it.
    HANDLE wakeEvent_ = nullptr;
    // Set by a successful serial set-up: serial reads take the two-step path in Read.
    bool serial_ = false;
    // Empty reads in a row, counted by the reader thread.
    std::uint32_t emptyReads_ = 0;
};
