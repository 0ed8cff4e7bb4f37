#include "platform/win32/win32_device_port.h"

// hidclass.h builds its control codes from the macros of winioctl.h, which the lean
// windows.h leaves out.
#include <winioctl.h>

#include <hidclass.h>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "device paths are handed to Win32 as they are");
static_assert(PORT_ERROR_FILE_NOT_FOUND == ERROR_FILE_NOT_FOUND);
static_assert(PORT_ERROR_PATH_NOT_FOUND == ERROR_PATH_NOT_FOUND);
static_assert(PORT_ERROR_ACCESS_DENIED == ERROR_ACCESS_DENIED);
static_assert(PORT_ERROR_GEN_FAILURE == ERROR_GEN_FAILURE);
static_assert(PORT_ERROR_SHARING_VIOLATION == ERROR_SHARING_VIOLATION);
static_assert(IOCTL_HID_SET_FEATURE == 0x000B0191);

// How long the port pauses before it looks again at a request whose wait failed.
constexpr DWORD COMPLETION_POLL_MS = 1;

void ApplyLinkSerialSettings(DCB& dcb) {
    dcb.BaudRate = SERIAL_BAUD_RATE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    if (dcb.XonChar == dcb.XoffChar) {
        dcb.XonChar = SERIAL_XON_CHAR;
        dcb.XoffChar = SERIAL_XOFF_CHAR;
    }
}

Win32DevicePort::Win32DevicePort(const Win32PortCalls& calls)
    : calls_(calls),
      readEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      writeEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      controlEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      wakeEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

Win32DevicePort::~Win32DevicePort() {
    Close();
    for (HANDLE event : {readEvent_, writeEvent_, controlEvent_, wakeEvent_}) {
        if (event != nullptr) {
            CloseHandle(event);
        }
    }
}

PortError Win32DevicePort::Open(const char16_t* path, bool shared) {
    if (handle_ != INVALID_HANDLE_VALUE) {
        return ERROR_BUSY;
    }
    // Without its events the port could not wait for its own I/O.
    if (readEvent_ == nullptr || writeEvent_ == nullptr || controlEvent_ == nullptr ||
        wakeEvent_ == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    const DWORD share = shared ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
    handle_ =
        calls_.createFile(reinterpret_cast<const wchar_t*>(path), GENERIC_READ | GENERIC_WRITE,
                          share, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    emptyReads_ = 0;
    return PORT_ERROR_NONE;
}

void Win32DevicePort::Close() {
    if (handle_ == INVALID_HANDLE_VALUE) {
        return;
    }
    calls_.closeHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    serial_ = false;
}

void Win32DevicePort::CancelAndAwait(OVERLAPPED& overlapped) {
    if (HasOverlappedIoCompleted(&overlapped)) {
        return;
    }
    // CancelIo cancels only this thread's requests: a write of the main thread goes on.
    calls_.cancelIo(handle_);
    // The request's event is signalled by its completion alone. A wait that fails, or an
    // event that is signalled while the request is still under way, is followed by a short
    // pause before the next look rather than by a busy loop.
    while (!HasOverlappedIoCompleted(&overlapped)) {
        if (calls_.waitForSingleObject(overlapped.hEvent, INFINITE) != WAIT_OBJECT_0 ||
            !HasOverlappedIoCompleted(&overlapped)) {
            Sleep(COMPLETION_POLL_MS);
        }
    }
}

bool Win32DevicePort::FinishRequest(OVERLAPPED& overlapped, DWORD waitMs, DWORD& count) {
    if (!HasOverlappedIoCompleted(&overlapped)) {
        calls_.waitForSingleObject(overlapped.hEvent, waitMs);
        CancelAndAwait(overlapped);
    }
    return calls_.getOverlappedResult(handle_, &overlapped, &count, FALSE) != FALSE;
}

bool Win32DevicePort::SendFeatureReport(const std::uint8_t* report, std::uint32_t length) {
    // The handle is overlapped, so the request must carry an OVERLAPPED: without one the call
    // may come back before the driver is done with the report, which lives on the caller's
    // stack. A device that never completes it is given as long as a report write: the switch-off
    // runs as the device closes, under the main lock.
    OVERLAPPED overlapped{};
    overlapped.hEvent = controlEvent_;
    if (!calls_.deviceIoControl(handle_, IOCTL_HID_SET_FEATURE, const_cast<std::uint8_t*>(report),
                                length, nullptr, 0, nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    DWORD returned = 0;
    return FinishRequest(overlapped, FEATURE_REPORT_WAIT_MS, returned);
}

bool Win32DevicePort::ConfigureSerial() {
    if (!calls_.setupComm(handle_, SERIAL_INPUT_QUEUE, SERIAL_OUTPUT_QUEUE)) {
        return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!calls_.getCommState(handle_, &dcb)) {
        return false;
    }
    ApplyLinkSerialSettings(dcb);
    if (!calls_.setCommState(handle_, &dcb)) {
        return false;
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = SERIAL_READ_TOTAL_TIMEOUT;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!calls_.setCommTimeouts(handle_, &timeouts)) {
        return false;
    }
    calls_.purgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    serial_ = true;
    return true;
}

bool Win32DevicePort::ReadOverlapped(std::uint8_t* buffer, DWORD length, DWORD& count,
                                     const std::atomic<bool>& cancelRead) {
    count = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = readEvent_;
    // A wake-up is meant for the read under way when the stop came; a stop request that comes
    // from here on is seen through cancelRead or the event.
    ResetEvent(wakeEvent_);
    if (!calls_.readFile(handle_, buffer, length, nullptr, &overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        if (!cancelRead.load(std::memory_order_acquire)) {
            const HANDLE events[] = {readEvent_, wakeEvent_};
            // Whether the read completed, a stop came or the wait failed, a read still under
            // way is cancelled and waited for.
            calls_.waitForMultipleObjects(2, events, FALSE, INFINITE);
        }
        CancelAndAwait(overlapped);
    }
    return calls_.getOverlappedResult(handle_, &overlapped, &count, FALSE) != FALSE;
}

void Win32DevicePort::PauseAfterEmptyReads(DWORD count) {
    if (count != 0) {
        emptyReads_ = 0;
        return;
    }
    if (emptyReads_ < EMPTY_READS_BEFORE_PAUSE) {
        ++emptyReads_;
    }
    if (emptyReads_ == EMPTY_READS_BEFORE_PAUSE) {
        calls_.waitForSingleObject(wakeEvent_, EMPTY_READ_PAUSE_MS);
    }
}

bool Win32DevicePort::Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& count,
                           const std::atomic<bool>& cancelRead) {
    DWORD got = 0;
    if (!serial_ || capacity <= 1) {
        const bool ok = ReadOverlapped(buffer, capacity, got, cancelRead);
        count = got;
        if (ok) {
            PauseAfterEmptyReads(got);
        }
        return ok;
    }
    // Under the serial time-outs a read returns as soon as its first byte arrives, but Wine
    // keeps a pending read open until the whole buffer is full. So wait for one byte, then
    // take what the input queue holds without waiting: on Windows this delivers the same
    // bytes at the same moments as one large read, and under Wine it works at all.
    const bool ok = ReadOverlapped(buffer, 1, got, cancelRead);
    count = got;
    if (!ok) {
        return false;
    }
    PauseAfterEmptyReads(got);
    if (got == 0) {
        return true;
    }
    DWORD errors = 0;
    COMSTAT status{};
    if (!calls_.clearCommError(handle_, &errors, &status) || status.cbInQue == 0) {
        return true;
    }
    const DWORD more = status.cbInQue < capacity - 1 ? status.cbInQue : capacity - 1;
    if (ReadOverlapped(buffer + 1, more, got, cancelRead)) {
        count += got;
    }
    return true;
}

void Win32DevicePort::WakeRead() {
    SetEvent(wakeEvent_);
}

bool Win32DevicePort::Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
                            std::uint32_t& written) {
    written = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = writeEvent_;
    if (!calls_.writeFile(handle_, data, length, nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    DWORD sent = 0;
    const bool ok = FinishRequest(overlapped, waitMs, sent);
    written = sent;
    return ok && sent == length;
}
