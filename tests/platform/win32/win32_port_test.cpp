// The Win32 port on objects Wine and Windows both provide: a named pipe plays a device that
// reads and writes raw bytes, and regular files show how opens fare when another handle
// holds the path.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "discovery/identity.h"
#include "link/device_link.h"
#include "platform/win32/win32_device_port.h"

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

    // What the host wrote: waits until n bytes are there, or gives what came within 5 s.
    std::string Read(DWORD n) {
        DWORD available = 0;
        for (int i = 0; i < 500; ++i) {
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

}  // namespace
