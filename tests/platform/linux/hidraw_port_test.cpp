// The hidraw port with a SOCK_SEQPACKET socket standing in for the node: each message is one
// report, as each read and write of a hidraw node is. Locking and the shared retry run on
// real files, and the feature ioctl on a descriptor that is no hidraw node.
#include "platform/linux/hidraw_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "common/wide_string.h"
#include "link/device_link.h"
#include "protocol/update_session.h"
#include "sim/hid_framing.h"
#include "sim/sim_scanner.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// A hidraw port whose every open takes a fresh descriptor of the host end of a socket pair.
class SocketHidraw : public HidrawPort {
  public:
    SocketHidraw() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) == 0) {
            host_ = fds[0];
            device_ = fds[1];
            fcntl(host_, F_SETFL, O_NONBLOCK);
        }
    }
    ~SocketHidraw() override {
        Close();
        CloseDevice();
        if (host_ >= 0) {
            close(host_);
        }
    }
    PortError Open(const char16_t*, bool shared) override { return Attach(dup(host_), shared); }

    bool Ready() const { return device_ >= 0; }
    int Device() const { return device_; }
    void CloseDevice() {
        if (device_ >= 0) {
            close(device_);
            device_ = -1;
        }
    }
    void Send(const Bytes& report) const {
        ASSERT_EQ(send(device_, report.data(), report.size(), 0),
                  static_cast<ssize_t>(report.size()));
    }
    // The next report the host wrote, or nothing after 5 s.
    Bytes Receive() const {
        pollfd wait = {device_, POLLIN, 0};
        if (poll(&wait, 1, 5000) <= 0) {
            return {};
        }
        Bytes report(4096);
        const ssize_t got = recv(device_, report.data(), report.size(), 0);
        report.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return report;
    }

  private:
    int host_ = -1;
    int device_ = -1;
};

DeviceRecord HidRecord(LinkKind kind, const char16_t* path = u"/dev/hidraw0") {
    DeviceRecord record{};
    CopyWide(record.path, path);
    record.linkKind = kind;
    return record;
}

TEST(HidrawPort, ReportsPassUnchangedAndShortInputIsPadded) {
    SocketHidraw port;
    ASSERT_TRUE(port.Ready());
    DeviceLink link(port);
    ASSERT_TRUE(link.Open(HidRecord(LinkKind::Hid), nullptr));

    Bytes data(57);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    ASSERT_TRUE(link.Send(data.data(), static_cast<std::uint32_t>(data.size())));
    const Bytes first = port.Receive();
    const Bytes second = port.Receive();
    ASSERT_EQ(first.size(), HID_REPORT_SIZE);
    ASSERT_EQ(second.size(), HID_REPORT_SIZE);
    EXPECT_EQ(first[0], HID_OUTPUT_REPORT_ID);
    EXPECT_EQ(first[1], 56);
    EXPECT_EQ(Bytes(first.begin() + 2, first.begin() + 58), Bytes(data.begin(), data.begin() + 56));
    EXPECT_EQ(first[63], 1);
    EXPECT_EQ(second[0], HID_OUTPUT_REPORT_ID);
    EXPECT_EQ(second[1], 1);
    EXPECT_EQ(second[2], data[56]);
    EXPECT_EQ(second[63], 0);

    // A full report, then one that the device sent short: both arrive as 64-byte reports.
    Bytes full(HID_REPORT_SIZE, 0x55);
    full[0] = HID_INPUT_REPORT_ID;
    full[1] = 3;
    full[2] = 'x';
    full[3] = 'y';
    full[4] = 'z';
    port.Send(full);
    port.Send({HID_INPUT_REPORT_ID, 2, 'o', 'k'});
    std::uint8_t got[5] = {};
    ASSERT_EQ(link.ReadTimed(5000, got, sizeof got, 1000), 5u);
    EXPECT_EQ(Bytes(got, got + 5), (Bytes{'x', 'y', 'z', 'o', 'k'}));
    link.StopReader();
}

TEST(HidrawPort, ReadsAreWholeReportsPaddedToSixtyFourBytes) {
    SocketHidraw port;
    ASSERT_TRUE(port.Ready());
    ASSERT_EQ(port.Open(u"", false), PORT_ERROR_NONE);
    std::atomic<bool> cancel{false};
    std::uint8_t buffer[PORT_READ_CHUNK];
    std::memset(buffer, 0xEE, sizeof buffer);
    port.Send({HID_INPUT_REPORT_ID, 1, '!'});
    port.Send(Bytes(100, 0x02));
    std::uint32_t count = 0;
    ASSERT_TRUE(port.Read(buffer, sizeof buffer, count, cancel));
    ASSERT_EQ(count, HID_REPORT_SIZE);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{HID_INPUT_REPORT_ID, 1, '!'}));
    EXPECT_EQ(Bytes(buffer + 3, buffer + HID_REPORT_SIZE), Bytes(HID_REPORT_SIZE - 3, 0));
    // A longer report is not cut: the reader thread refuses it as it is.
    ASSERT_TRUE(port.Read(buffer, sizeof buffer, count, cancel));
    EXPECT_EQ(count, 100u);
}

TEST(HidrawPort, FeatureSwitchOnADescriptorThatRefusesItGivesSeven) {
    SocketHidraw port;
    ASSERT_TRUE(port.Ready());
    DeviceLink link(port);
    ResultCode result = 0;
    EXPECT_FALSE(link.Open(HidRecord(LinkKind::HidFeature), &result));
    EXPECT_EQ(result, RESULT_FEATURE_REFUSED);
    EXPECT_FALSE(link.IsOpen());
    // The port closed its descriptor again: it opens anew.
    EXPECT_EQ(port.Open(u"", false), PORT_ERROR_NONE);
    port.Close();
}

TEST(HidrawPort, AReportNotTakenWithinTheWaitFailsTheWrite) {
    SocketHidraw port;
    ASSERT_TRUE(port.Ready());
    DeviceLink link(port);
    ASSERT_TRUE(link.Open(HidRecord(LinkKind::Hid), nullptr));
    // The device reads nothing: queue reports until the socket takes no further one.
    std::uint32_t written = 0;
    const std::uint8_t report[HID_REPORT_SIZE] = {HID_OUTPUT_REPORT_ID};
    while (port.Write(report, sizeof report, 0, written)) {
    }
    const auto start = Clock::now();
    const std::uint8_t byte = 0x42;
    EXPECT_FALSE(link.Send(&byte, 1));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(HID_WRITE_WAIT_MS - 50));
    EXPECT_LT(took, std::chrono::seconds(30));
    EXPECT_FALSE(link.IsOpen());  // a failed send stops the reader, which closes the device
}

TEST(HidrawPort, StopEndsABlockedReadAtOnce) {
    SocketHidraw port;
    ASSERT_TRUE(port.Ready());
    DeviceLink link(port);
    ASSERT_TRUE(link.Open(HidRecord(LinkKind::Hid), nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    link.StopReader();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(link.ReaderHeld());
}

TEST(HidrawPort, DeviceGoneEndsTheReader) {
    SocketHidraw port;
    ASSERT_TRUE(port.Ready());
    DeviceLink link(port);
    ASSERT_TRUE(link.Open(HidRecord(LinkKind::Hid), nullptr));
    port.CloseDevice();
    for (int i = 0; i < 5000 && link.IsOpen(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(link.IsOpen());
}

// Locks are taken on real files: a node held by another program is a sharing violation,
// which a HID link answers by opening once more shared; that gets in beside a shared holder
// only, as on Windows.
class HidrawNodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("scanflash-hidraw-" + std::to_string(getpid()));
        std::filesystem::create_directories(folder_);
        node_ = (folder_ / "hidraw0").string();
        std::ofstream(node_) << "";
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    std::u16string Node() const { return Utf8ToUtf16(node_); }

    std::filesystem::path folder_;
    std::string node_;
};

TEST_F(HidrawNodeTest, AHeldNodeIsOpenedSharedForHidLinks) {
    HidrawPort holder;
    ASSERT_EQ(holder.Open(Node().c_str(), true), PORT_ERROR_NONE);
    HidrawPort second;
    EXPECT_EQ(second.Open(Node().c_str(), false), PORT_ERROR_SHARING_VIOLATION);
    EXPECT_EQ(second.Open(Node().c_str(), true), PORT_ERROR_NONE);
    // While it shares the node, an exclusive open stays out.
    HidrawPort third;
    EXPECT_EQ(third.Open(Node().c_str(), false), PORT_ERROR_SHARING_VIOLATION);
    second.Close();

    HidrawPort port;
    DeviceLink link(port);
    ResultCode result = 99;
    EXPECT_TRUE(link.Open(HidRecord(LinkKind::Hid, Node().c_str()), &result));
    EXPECT_EQ(result, RESULT_SUCCESS);
    link.StopReader();
    // Shared open, then the feature switch, which a plain file refuses.
    EXPECT_FALSE(link.Open(HidRecord(LinkKind::HidFeature, Node().c_str()), &result));
    EXPECT_EQ(result, RESULT_FEATURE_REFUSED);
    // A bulk link never opens shared: in use.
    EXPECT_FALSE(link.Open(HidRecord(LinkKind::VendorBulk, Node().c_str()), &result));
    EXPECT_EQ(result, RESULT_ACCESS_DENIED);
    holder.Close();
    EXPECT_EQ(second.Open(Node().c_str(), false), PORT_ERROR_NONE);
    // A node held exclusively (another update) keeps the shared retry out too: in use.
    EXPECT_EQ(third.Open(Node().c_str(), true), PORT_ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(link.Open(HidRecord(LinkKind::Hid, Node().c_str()), &result));
    EXPECT_EQ(result, RESULT_ACCESS_DENIED);
}

TEST_F(HidrawNodeTest, MissingNodeGivesTwo) {
    HidrawPort port;
    DeviceLink link(port);
    ResultCode result = 0;
    EXPECT_FALSE(
        link.Open(HidRecord(LinkKind::Hid, Utf8ToUtf16(node_ + "-gone").c_str()), &result));
    EXPECT_EQ(result, RESULT_NO_DEVICE);
}

// Serves a simulated scanner on the device end of the socket: each output report the host
// writes goes to the scanner, each answer leaves as input reports, one message each.
class SocketHidScanner {
  public:
    SocketHidScanner(SimScanner& scanner, int device) : scanner_(scanner), device_(device) {
        scanner_.Attach(
            [this](const std::uint8_t* bytes, std::size_t length) {
                Bytes reports;
                AppendInputReports(bytes, length, reports);
                for (std::size_t at = 0; at < reports.size(); at += SIM_HID_REPORT_SIZE) {
                    send(device_, reports.data() + at, SIM_HID_REPORT_SIZE, MSG_NOSIGNAL);
                }
            },
            [] {});
        worker_ = std::thread([this] { Serve(); });
    }
    ~SocketHidScanner() {
        stop_.store(true);
        worker_.join();
        scanner_.Detach();
    }

  private:
    void Serve() {
        std::uint8_t report[4096];
        while (!stop_.load()) {
            pollfd wait = {device_, POLLIN, 0};
            if (poll(&wait, 1, 20) <= 0) {
                continue;
            }
            const ssize_t got = recv(device_, report, sizeof report, MSG_DONTWAIT);
            if (got <= 0) {
                return;
            }
            reader_.Feed(report, static_cast<std::size_t>(got), scanner_);
        }
    }

    SimScanner& scanner_;
    const int device_;
    HidOutputReader reader_;
    std::atomic<bool> stop_{false};
    std::thread worker_;
};

TEST(HidrawPort, WholeUpdateOverReports) {
    SocketHidraw port;
    ASSERT_TRUE(port.Ready());
    SimScannerConfig config;
    config.linkKind = LinkKind::Hid;
    config.model = "MB9";
    SimScanner scanner(config);
    SocketHidScanner device(scanner, port.Device());

    Bytes kern(3000);
    std::mt19937 random(5);
    for (auto& b : kern) {
        b = static_cast<std::uint8_t>(random());
    }
    UpdateBlock blocks[1] = {
        {kern.data(), static_cast<std::uint32_t>(kern.size()), BLOCK_TYPE_KERN, 0}};
    DeviceLink link(port);
    ASSERT_TRUE(link.Open(HidRecord(LinkKind::Hid), nullptr));
    UpdateOptions options;
    options.flags = UPDATE_FLAG_CHECK_MODEL;
    testing::internal::CaptureStdout();
    const ResultCode result = RunUpdateSession(blocks, &link, 1, true, &options, 0, "EM9");
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, RESULT_SUCCESS) << output;
    const auto received = scanner.Blocks();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].data, kern);
    EXPECT_TRUE(scanner.ProtocolErrors().empty());
}

}  // namespace
