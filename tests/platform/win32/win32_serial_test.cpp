// The Win32 port on a real COM port. serial_peer.py maps the port onto a pty whose far end
// answers scripted requests, and names it in SCANFLASH_TEST_SERIAL_PORT.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "discovery/identity.h"
#include "link/device_link.h"
#include "platform/win32/win32_device_port.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t ANSWER_WAIT_MS = 5000;
constexpr std::uint32_t GAP_WAIT_MS = 2000;

// "\\.\COM9" becomes "COM9", the port name as discovery reads it.
std::u16string PortNameFromEnvironment() {
    wchar_t path[64] = {};
    const DWORD length = GetEnvironmentVariableW(L"SCANFLASH_TEST_SERIAL_PORT", path, 64);
    if (length < 5 || length >= 64) {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t*>(path) + 4, length - 4);
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

class SerialLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::u16string portName = PortNameFromEnvironment();
        ASSERT_FALSE(portName.empty()) << "run this program through serial_peer.py";
        ASSERT_TRUE(FillPortRecord(record, portName.c_str(), UsbIdentity{}));
        ResultCode result = 99;
        ASSERT_TRUE(link.Open(record, &result));
        ASSERT_EQ(result, RESULT_SUCCESS);
    }

    bool Send(const std::vector<std::uint8_t>& bytes) {
        return link.Send(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    }

    std::vector<std::uint8_t> Receive(std::uint32_t n) {
        std::vector<std::uint8_t> bytes(n);
        bytes.resize(link.ReadTimed(ANSWER_WAIT_MS, bytes.data(), n, GAP_WAIT_MS));
        return bytes;
    }

    DeviceRecord record{};
    Win32DevicePort port;
    DeviceLink link{port};
};

TEST_F(SerialLinkTest, WriteGoesOutAndTheAnswerReachesTheRing) {
    EXPECT_EQ(link.CurrentLinkKind(), LinkKind::SerialPort);
    ASSERT_TRUE(Send(Bytes("echo ping\n")));
    EXPECT_EQ(Receive(5), Bytes("ping\n"));
}

// A read must hand over what has arrived without waiting for a full 4096-byte chunk, and
// every byte value must pass the line unchanged, in order.
TEST_F(SerialLinkTest, ABurstArrivesWholeAndInOrder) {
    for (std::uint32_t length : {1u, 7u, 4096u, 10000u}) {
        ASSERT_TRUE(Send(Bytes("burst " + std::to_string(length) + "\n")));
        const std::vector<std::uint8_t> got = Receive(length);
        ASSERT_EQ(got.size(), length);
        for (std::uint32_t i = 0; i < length; ++i) {
            ASSERT_EQ(got[i], static_cast<std::uint8_t>(i % 256)) << "byte " << i;
        }
    }
}

// 5000 bytes go out as two writes (4096 and 904); the peer confirms count and CRC-32.
TEST_F(SerialLinkTest, ALongWriteArrivesUnchanged) {
    std::vector<std::uint8_t> data(5000);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>((i * 7 + 3) % 256);
    }
    ASSERT_TRUE(Send(Bytes("sink 5000\n")));
    ASSERT_TRUE(Send(data));
    char expected[32];
    std::snprintf(expected, sizeof expected, "got 5000 %08X\n",
                  static_cast<unsigned>(Crc32(0, data.size(), data.data())));
    EXPECT_EQ(Receive(static_cast<std::uint32_t>(std::strlen(expected))), Bytes(expected));
}

TEST_F(SerialLinkTest, StopEndsABlockedReadAndClosesThePort) {
    SleepMs(200);  // the reader is now waiting for input that never comes
    const auto start = Clock::now();
    link.StopReader();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(link.ReaderHeld());
    // The port was released: it opens again and works.
    ResultCode result = 99;
    ASSERT_TRUE(link.Open(record, &result));
    ASSERT_TRUE(Send(Bytes("echo again\n")));
    EXPECT_EQ(Receive(6), Bytes("again\n"));
}

}  // namespace
