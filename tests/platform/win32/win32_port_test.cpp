// The Win32 port on objects Wine and Windows both provide: a named pipe plays a device that
// reads and writes raw bytes, and regular files show how opens fare when another handle
// holds the path.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/wide_string.h"
#include "discovery/identity.h"
#include "link/device_link.h"
#include "platform/win32/win32_device_port.h"
#include "platform/win32/win32_long_path.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t ANSWER_WAIT_MS = 5000;

std::wstring UniqueName(const wchar_t* stem) {
    static LONG counter = 0;
    wchar_t name[64];
    std::swprintf(name, 64, L"%ls-%lu-%ld", stem, GetCurrentProcessId(),
                  InterlockedIncrement(&counter));
    return name;
}

DeviceRecord MakeRecord(const std::wstring& path, LinkKind kind) {
    DeviceRecord record;
    std::memset(&record, 0, sizeof record);
    CopyWide(record.path, reinterpret_cast<const char16_t*>(path.c_str()));
    record.linkKind = kind;
    return record;
}

bool WaitUntilClosed(const DeviceLink& link) {
    for (int i = 0; i < 500 && link.IsOpen(); ++i) {
        SleepMs(10);
    }
    return !link.IsOpen();
}

// The server end of a byte-mode pipe whose client end the port opens as a device path.
class PipeDevice {
  public:
    explicit PipeDevice(DWORD bufferSize = 4096)
        : path_(L"\\\\.\\pipe\\" + UniqueName(L"scanflash-device")),
          server_(CreateNamedPipeW(path_.c_str(), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, bufferSize,
                                   bufferSize, 0, nullptr)) {}
    ~PipeDevice() { Hangup(); }
    PipeDevice(const PipeDevice&) = delete;
    PipeDevice& operator=(const PipeDevice&) = delete;

    bool Ready() const { return server_ != INVALID_HANDLE_VALUE; }
    const std::wstring& Path() const { return path_; }

    bool Write(const std::string& text) {
        DWORD written = 0;
        return WriteFile(server_, text.data(), static_cast<DWORD>(text.size()), &written,
                         nullptr) &&
               written == text.size();
    }

    // What the host wrote: waits until n bytes are there, or gives what came within waitMs.
    std::string Read(DWORD n, int waitMs = 5000) {
        DWORD available = 0;
        for (int i = 0; i < waitMs / 10; ++i) {
            if (PeekNamedPipe(server_, nullptr, 0, nullptr, &available, nullptr) &&
                available >= n) {
                break;
            }
            SleepMs(10);
        }
        std::string text(available < n ? available : n, '\0');
        DWORD read = 0;
        if (!text.empty() &&
            !ReadFile(server_, text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) {
            read = 0;
        }
        text.resize(read);
        return text;
    }

    void Hangup() {
        if (server_ != INVALID_HANDLE_VALUE) {
            CloseHandle(server_);
            server_ = INVALID_HANDLE_VALUE;
        }
    }

  private:
    std::wstring path_;
    HANDLE server_;
};

class PipeLinkTest : public ::testing::Test {
  protected:
    void Open(PipeDevice& device) {
        ASSERT_TRUE(device.Ready());
        ResultCode result = 99;
        ASSERT_TRUE(link.Open(MakeRecord(device.Path(), LinkKind::VendorBulk), &result));
        ASSERT_EQ(result, RESULT_SUCCESS);
    }

    std::string Receive(std::uint32_t n) {
        std::string text(n, '\0');
        text.resize(
            link.ReadTimed(ANSWER_WAIT_MS, reinterpret_cast<std::uint8_t*>(text.data()), n, 1000));
        return text;
    }

    bool Send(const std::string& text) {
        return link.Send(reinterpret_cast<const std::uint8_t*>(text.data()),
                         static_cast<std::uint32_t>(text.size()));
    }

    Win32DevicePort port;
    DeviceLink link{port};
};

TEST_F(PipeLinkTest, BytesTravelBothWays) {
    PipeDevice device;
    Open(device);
    ASSERT_TRUE(Send("host to device"));
    EXPECT_EQ(device.Read(14), "host to device");
    ASSERT_TRUE(device.Write("device to host"));
    EXPECT_EQ(Receive(14), "device to host");
    ASSERT_TRUE(device.Write("more"));
    EXPECT_EQ(Receive(4), "more");
}

TEST_F(PipeLinkTest, StopEndsABlockedReadAndClosesTheDevice) {
    PipeDevice device;
    Open(device);
    SleepMs(200);  // the reader is now waiting for input that never comes
    const auto start = Clock::now();
    link.StopReader();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(link.ReaderHeld());
    EXPECT_FALSE(Send("x"));
}

// A write the device does not take within its 1000 ms is cancelled; the send fails and the
// link closes, so the next send fails at once.
TEST_F(PipeLinkTest, AWriteNotTakenInTimeFailsAndClosesTheLink) {
    PipeDevice device(512);
    Open(device);
    const std::string block(BULK_WRITE_CHUNK, 'b');
    const auto start = Clock::now();
    EXPECT_FALSE(Send(block));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(BULK_WRITE_WAIT_MS));
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(link.ReaderHeld());
    EXPECT_FALSE(Send("x"));
}

// The device going away fails the waiting read: the reader ends by itself and closes the
// device; bytes that came before stay readable.
TEST_F(PipeLinkTest, TheDeviceGoingAwayEndsTheReader) {
    PipeDevice device;
    Open(device);
    ASSERT_TRUE(device.Write("last"));
    EXPECT_EQ(Receive(4), "last");
    ASSERT_TRUE(device.Write("words"));
    SleepMs(200);
    device.Hangup();
    EXPECT_TRUE(WaitUntilClosed(link));
    EXPECT_TRUE(link.ReaderHeld());
    EXPECT_EQ(Receive(5), "words");
    link.StopReader();
    EXPECT_FALSE(link.ReaderHeld());
}

// A stop while a 10-report HID frame goes out, as a console close may come: the write ends
// after the report in flight, and the device sees no more of the frame.
TEST_F(PipeLinkTest, AStopDuringAHidFrameEndsItAfterTheReportInFlight) {
    PipeDevice device(HID_REPORT_SIZE);
    ASSERT_TRUE(device.Ready());
    ASSERT_TRUE(link.Open(MakeRecord(device.Path(), LinkKind::Hid), nullptr));
    std::atomic<int> taken{0};
    std::thread deviceSide([&] {  // takes a report every 200 ms
        while (device.Read(HID_REPORT_SIZE, 1000).size() == HID_REPORT_SIZE) {
            ++taken;
            SleepMs(200);
        }
    });
    std::atomic<bool> sent{true};
    std::thread sender([&] { sent = Send(std::string(517, 's')); });
    for (int i = 0; i < 500 && taken < 2; ++i) {
        SleepMs(10);
    }
    link.StopReader();
    sender.join();
    deviceSide.join();
    EXPECT_FALSE(sent);
    EXPECT_FALSE(link.IsOpen());
    // Two taken, one in the pipe and one in flight at most.
    EXPECT_LE(taken, 4);
}

// How an open fares when another handle holds the path, and on paths that are no device.
struct OpenCase {
    const char* name;
    bool holder;
    DWORD holderShare;
    LinkKind kind;
    ResultCode expected;
};

constexpr DWORD SHARE_BOTH = FILE_SHARE_READ | FILE_SHARE_WRITE;

const OpenCase OPEN_CASES[] = {
    {"exclusive holder, bulk", true, 0, LinkKind::VendorBulk, RESULT_ACCESS_DENIED},
    {"exclusive holder, HID retries shared in vain", true, 0, LinkKind::Hid, RESULT_ACCESS_DENIED},
    {"sharing holder, bulk has no shared retry", true, SHARE_BOTH, LinkKind::VendorBulk,
     RESULT_ACCESS_DENIED},
    {"sharing holder, serial has no shared retry", true, SHARE_BOTH, LinkKind::SerialPort,
     RESULT_ACCESS_DENIED},
    {"sharing holder, HID opens shared", true, SHARE_BOTH, LinkKind::Hid, RESULT_SUCCESS},
    {"sharing holder, HID feature opens shared, a file refuses the switch", true, SHARE_BOTH,
     LinkKind::HidFeature, RESULT_FEATURE_REFUSED},
    {"a file refuses the serial set-up", false, 0, LinkKind::SerialPort, RESULT_OPEN_FAILED},
    {"a file refuses the feature switch", false, 0, LinkKind::HidFeature, RESULT_FEATURE_REFUSED},
};

class TempFile {
  public:
    TempFile() {
        wchar_t directory[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, directory);
        path_ = std::wstring(directory) + UniqueName(L"scanflash-file");
        HANDLE created = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        ready_ = created != INVALID_HANDLE_VALUE;
        if (ready_) {
            CloseHandle(created);
        }
    }
    ~TempFile() { DeleteFileW(path_.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool Ready() const { return ready_; }
    const std::wstring& Path() const { return path_; }

  private:
    std::wstring path_;
    bool ready_ = false;
};

TEST(Win32Open, HeldAndNonDevicePaths) {
    for (const OpenCase& c : OPEN_CASES) {
        SCOPED_TRACE(c.name);
        TempFile file;
        ASSERT_TRUE(file.Ready());
        HANDLE holder = INVALID_HANDLE_VALUE;
        if (c.holder) {
            holder = CreateFileW(file.Path().c_str(), GENERIC_READ | GENERIC_WRITE, c.holderShare,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        }
        {
            Win32DevicePort port;
            DeviceLink link{port};
            ResultCode result = 99;
            EXPECT_EQ(link.Open(MakeRecord(file.Path(), c.kind), &result),
                      c.expected == RESULT_SUCCESS);
            EXPECT_EQ(result, c.expected);
            if (c.expected != RESULT_SUCCESS) {
                EXPECT_FALSE(link.IsOpen());
                EXPECT_FALSE(link.ReaderHeld());
            }
        }
        if (holder != INVALID_HANDLE_VALUE) {
            CloseHandle(holder);
        }
    }
}

TEST(Win32Open, MissingPathsMeanNoDevice) {
    const std::wstring missing[] = {
        L"\\\\.\\pipe\\" + UniqueName(L"scanflash-nobody"),
        L"C:\\" + UniqueName(L"scanflash-no-directory") + L"\\device",
    };
    for (const std::wstring& path : missing) {
        Win32DevicePort port;
        DeviceLink link{port};
        ResultCode result = 99;
        EXPECT_FALSE(link.Open(MakeRecord(path, LinkKind::VendorBulk), &result));
        EXPECT_EQ(result, RESULT_NO_DEVICE);
    }
}

// --- The port at its Win32 calls, against a driver the test plays: what Wine cannot show ---

namespace played {

const HANDLE DEVICE = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0xD0D0));
constexpr DWORD CANCELLED = 0xC0000120;  // STATUS_CANCELLED, named only by the driver kit

// What a request does: complete at once (a read delivers the bytes, a write or control takes
// everything), stay pending until it is cancelled, or be refused at once. With no answer
// queued a request stays pending.
enum class Answer { Complete, Pend, Refuse };
using Request = std::pair<Answer, std::vector<std::uint8_t>>;
std::deque<Request> answers;
std::atomic<bool> lateCompletionDone{false};
std::thread completer;
OVERLAPPED* pending = nullptr;
std::string calls;           // each call with its parameters, numbers in hex, each ended by "; "
std::vector<HANDLE> events;  // named e1, e2, ... in the order the calls first name them

std::string Name(HANDLE handle) {
    auto at = std::find(events.begin(), events.end(), handle);
    if (handle != DEVICE && at == events.end()) {
        at = events.insert(at, handle);
    }
    return handle == DEVICE ? "device" : "e" + std::to_string(at - events.begin() + 1);
}

template <typename... Parts>
void Log(const Parts&... parts) {
    std::ostringstream line;
    line << std::hex;
    ((line << parts << ' '), ...);
    calls += line.str().substr(0, line.str().size() - 1) + "; ";
}

void Finish(OVERLAPPED* overlapped, DWORD status, std::size_t count) {
    overlapped->InternalHigh = count;
    overlapped->Internal = status;
    SetEvent(overlapped->hEvent);
}

BOOL Start(OVERLAPPED* overlapped, void* buffer, DWORD length) {
    const Request request = answers.empty() ? Request{Answer::Pend, {}} : answers.front();
    if (!answers.empty()) {
        answers.pop_front();
    }
    ResetEvent(overlapped->hEvent);
    if (request.first != Answer::Complete) {
        overlapped->Internal = STATUS_PENDING;
        pending = overlapped;
        SetLastError(request.first == Answer::Pend ? ERROR_IO_PENDING : ERROR_GEN_FAILURE);
        return FALSE;
    }
    if (buffer != nullptr) {
        std::memcpy(buffer, request.second.data(), request.second.size());
    }
    Finish(overlapped, 0, buffer != nullptr ? request.second.size() : length);
    return TRUE;
}

HANDLE WINAPI CreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                         DWORD disposition, DWORD flags, HANDLE model) {
    Log("CreateFileW", Utf16ToUtf8(reinterpret_cast<const char16_t*>(path)), access, share,
        security != nullptr, disposition, flags, model != nullptr);
    return DEVICE;
}
BOOL WINAPI CloseHandle(HANDLE handle) {
    Log("CloseHandle", Name(handle));
    return TRUE;
}
BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED o) {
    Log("ReadFile", Name(handle), length, read != nullptr, Name(o->hEvent));
    return Start(o, buffer, length);
}
BOOL WINAPI WriteFile(HANDLE handle, LPCVOID, DWORD length, LPDWORD written, LPOVERLAPPED o) {
    Log("WriteFile", Name(handle), length, written != nullptr, Name(o->hEvent));
    return Start(o, nullptr, length);
}
BOOL WINAPI DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                            DWORD outLength, LPDWORD returned, LPOVERLAPPED o) {
    const auto* report = static_cast<const std::uint8_t*>(in);
    Log("DeviceIoControl", Name(handle), code, +report[0], +report[1], inLength, out != nullptr,
        outLength, returned != nullptr, Name(o->hEvent));
    return Start(o, nullptr, inLength);
}
// As Windows does it: a wait on the event, then the outcome as the OVERLAPPED holds it, also
// when the event was signalled by someone else and the request is still under way.
BOOL WINAPI GetOverlappedResult(HANDLE handle, LPOVERLAPPED o, LPDWORD count, BOOL wait) {
    Log("GetOverlappedResult", Name(handle), wait);
    if (o->Internal == STATUS_PENDING && wait) {
        ::WaitForSingleObject(o->hEvent, INFINITE);
    }
    *count = static_cast<DWORD>(o->InternalHigh);
    SetLastError(o->Internal == STATUS_PENDING ? ERROR_IO_INCOMPLETE : ERROR_OPERATION_ABORTED);
    return o->Internal == 0;
}
// Cancellation is asynchronous: the request completes 100 ms after CancelIo returns.
BOOL WINAPI CancelIo(HANDLE handle) {
    Log("CancelIo", Name(handle));
    OVERLAPPED* request = std::exchange(pending, nullptr);
    if (request == nullptr || completer.joinable()) {
        return TRUE;  // nothing to cancel, or a cancellation is under way already
    }
    completer = std::thread([request] {
        SleepMs(100);
        lateCompletionDone = true;
        Finish(request, CANCELLED, 0);
    });
    return TRUE;
}
// Time passes at once: a bounded wait only looks; one without limit waits, for the late
// completion, but gives up after 5 s rather than let a faulty port hang the test.
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD waitMs) {
    Log("WaitForSingleObject", Name(handle), waitMs);
    return ::WaitForSingleObject(handle, waitMs == INFINITE ? 5000 : 0);
}
// The reader's wait: a stop request comes at once.
DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL all, DWORD waitMs) {
    Log("WaitForMultipleObjects", count, Name(handles[0]), Name(handles[1]), all, waitMs);
    return WAIT_OBJECT_0 + 1;
}
BOOL WINAPI SetupComm(HANDLE handle, DWORD in, DWORD out) {
    Log("SetupComm", Name(handle), in, out);
    return TRUE;
}
BOOL WINAPI GetCommState(HANDLE handle, LPDCB dcb) {
    Log("GetCommState", Name(handle), dcb->DCBlength == sizeof(DCB));
    std::memset(dcb, 0, sizeof(DCB));  // XonChar and XoffChar both 0, as some drivers say
    return TRUE;
}
BOOL WINAPI SetCommState(HANDLE handle, LPDCB dcb) {
    DWORD flags = 0;
    std::memcpy(&flags, &dcb->BaudRate + 1, sizeof flags);  // the bit fields' word
    Log("SetCommState", Name(handle), dcb->BaudRate, +dcb->ByteSize, +dcb->Parity, +dcb->StopBits,
        flags, +dcb->XonChar, +dcb->XoffChar);
    return TRUE;
}
BOOL WINAPI SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS t) {
    Log("SetCommTimeouts", Name(handle), t->ReadIntervalTimeout, t->ReadTotalTimeoutMultiplier,
        t->ReadTotalTimeoutConstant, t->WriteTotalTimeoutMultiplier, t->WriteTotalTimeoutConstant);
    return TRUE;
}
BOOL WINAPI PurgeComm(HANDLE handle, DWORD flags) {
    Log("PurgeComm", Name(handle), flags);
    return TRUE;
}
BOOL WINAPI ClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT status) {
    Log("ClearCommError", Name(handle), errors != nullptr);
    *status = COMSTAT{};
    status->cbInQue = 5000;  // more than the rest of a 4096-byte buffer
    return TRUE;
}

const Win32PortCalls CALLS = {CreateFile,      CloseHandle,         ReadFile,
                              WriteFile,       DeviceIoControl,     GetOverlappedResult,
                              CancelIo,        WaitForSingleObject, WaitForMultipleObjects,
                              SetupComm,       GetCommState,        SetCommState,
                              SetCommTimeouts, PurgeComm,           ClearCommError};

}  // namespace played

// Reads one after another; each must bring the given count, or fail with none (FAILS).
constexpr std::uint32_t FAILS = 0xFFFFFFFF;
bool ReadsOf(Win32DevicePort& port, std::initializer_list<std::uint32_t> counts) {
    std::uint8_t buffer[PORT_READ_CHUNK];
    const std::atomic<bool> noStop{false};
    bool expected = true;
    for (const std::uint32_t wanted : counts) {
        std::uint32_t count = 99;
        const bool ok = port.Read(buffer, PORT_READ_CHUNK, count, noStop);
        expected = expected && ok == (wanted != FAILS) && count == (ok ? wanted : 0);
    }
    return expected;
}

// One row per mend that only a real driver would show; every parameter the Win32 calls get
// is in the row where the call first appears.
TEST(Win32PortCalls, EachRequestWaitsForItsDriverAndPassesItsParameters) {
    using played::Answer;
    const played::Request pend{Answer::Pend, {}};
    const played::Request empty{Answer::Complete, {}};
    const std::uint8_t bytes[64] = {0xFE, 0x01};
    struct Case {
        const char* name;
        std::deque<played::Request> answers;
        std::function<bool(Win32DevicePort&)> action;  // true when the port answered as it should
        const char* calls;
    };
    const Case cases[] = {
        {"a shared open and the serial set-up of a port whose Xon and Xoff are both 0",
         {},
         [](Win32DevicePort& port) {
             port.Close();
             return port.Open(u"\\\\.\\COM9", true) == 0 && port.ConfigureSerial();
         },
         "CloseHandle device; CreateFileW \\\\.\\COM9 c0000000 3 0 3 40000000 0; "
         "SetupComm device 80000 1000; GetCommState device 1; "
         "SetCommState device 2580 8 0 0 1091 11 13; "
         "SetCommTimeouts device ffffffff ffffffff fffffffe 0 0; PurgeComm device f; "},
        {"a read that stays pending 100 ms after its cancel is waited for",
         {},
         [](Win32DevicePort& port) { return ReadsOf(port, {FAILS}) && played::lateCompletionDone; },
         "ReadFile device 1000 0 e1; WaitForMultipleObjects 2 e1 e2 0 ffffffff; CancelIo device; "
         "WaitForSingleObject e1 ffffffff; GetOverlappedResult device 0; "},
        {"a feature report that never completes is cancelled after 1000 ms",
         {},
         [&](Win32DevicePort& port) { return !port.SendFeatureReport(bytes, 2); },
         "DeviceIoControl device b0191 fe 1 2 0 0 0 e1; WaitForSingleObject e1 3e8; "
         "CancelIo device; WaitForSingleObject e1 ffffffff; GetOverlappedResult device 0; "},
        {"a write not taken within its wait is cancelled; one refused at once fails",
         {pend, {Answer::Refuse, {}}},
         [&](Win32DevicePort& port) {
             std::uint32_t written = 1;
             const bool late = port.Write(bytes, 64, 1000, written) || written != 0;
             return !late && !port.Write(bytes, 1, 1000, written) && written == 0;
         },
         "WriteFile device 40 0 e1; WaitForSingleObject e1 3e8; CancelIo device; "
         "WaitForSingleObject e1 ffffffff; GetOverlappedResult device 0; WriteFile device 1 0 "
         "e1; "},
        {"empty serial reads in a row: from the third on, a pause the stop's event ends",
         {pend,
          empty,
          empty,
          empty,
          empty,
          {Answer::Complete, {0x41}},
          {Answer::Complete, {0x42, 0x43}},
          empty},
         [](Win32DevicePort& port) {
             const bool configured = port.ConfigureSerial();
             played::calls.clear();
             return configured && ReadsOf(port, {FAILS, 0, 0, 0, 0, 3, 0});
         },
         "ReadFile device 1 0 e1; WaitForMultipleObjects 2 e1 e2 0 ffffffff; CancelIo device; "
         "WaitForSingleObject e1 ffffffff; GetOverlappedResult device 0; "
         "ReadFile device 1 0 e1; GetOverlappedResult device 0; "
         "ReadFile device 1 0 e1; GetOverlappedResult device 0; "
         "ReadFile device 1 0 e1; GetOverlappedResult device 0; WaitForSingleObject e2 a; "
         "ReadFile device 1 0 e1; GetOverlappedResult device 0; WaitForSingleObject e2 a; "
         "ReadFile device 1 0 e1; GetOverlappedResult device 0; ClearCommError device 1; "
         "ReadFile device fff 0 e1; GetOverlappedResult device 0; "
         "ReadFile device 1 0 e1; GetOverlappedResult device 0; "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        played::events.clear();
        played::calls.clear();
        auto port = std::make_unique<Win32DevicePort>(played::CALLS);
        ASSERT_EQ(port->Open(u"\\\\.\\COM9", false), PORT_ERROR_NONE);
        EXPECT_EQ(played::calls, "CreateFileW \\\\.\\COM9 c0000000 0 0 3 40000000 0; ");
        played::calls.clear();
        played::answers = c.answers;
        played::lateCompletionDone = false;
        EXPECT_TRUE(c.action(*port));
        if (played::completer.joinable()) {
            played::completer.join();
        }
        port.reset();  // a port that goes closes its device
        EXPECT_EQ(played::calls, c.calls + std::string("CloseHandle device; "));
    }
}

// A name whose full path has MAX_PATH units or more is opened by that full path behind the
// prefix \\?\ or \\?\UNC\ (a share), which Windows opens without its long-path setting.
TEST(Win32LongPath, LongNamesBecomeTheirPrefixedFullPath) {
    const std::wstring deep = std::wstring(200, L'd') + L"\\" + std::wstring(80, L'f') + L".bin";
    wchar_t current[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH + 1, current);
    std::wstring here = current;
    if (here.back() != L'\\') {
        here += L'\\';
    }
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"C:\\short\\fw.bin", L"C:\\short\\fw.bin"},
        {L"C:\\" + std::wstring(256, L'b'), L"C:\\" + std::wstring(256, L'b')},  // 259 units
        {L"C:\\" + std::wstring(257, L'b'), L"\\\\?\\C:\\" + std::wstring(257, L'b')},
        {L"C:\\" + deep, L"\\\\?\\C:\\" + deep},
        {L"C:/x/../" + std::wstring(200, L'd') + L"/./" + std::wstring(80, L'f') + L".bin",
         L"\\\\?\\C:\\" + deep},
        {L"\\\\server\\share\\" + deep, L"\\\\?\\UNC\\server\\share\\" + deep},
        {deep, L"\\\\?\\" + here + deep},
        {L"\\\\?\\C:\\" + deep, L"\\\\?\\C:\\" + deep},
        {L"\\\\.\\COM9", L"\\\\.\\COM9"},
    };
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(LongPathForm(name.c_str()), expected) << name.size();
    }
}

}  // namespace
