// The usbfs bulk port over a fake of the usbfs calls. The fake's node is the write end of a
// one-page pipe, kept full while no URB waits to be reaped and emptied while one does, so the
// port polls it for POLLOUT exactly as it polls a usbfs node; closing the pipe's read end is
// the device going away (POLLERR). As the kernel does, the fake copies OUT data at submission
// and fills IN URBs (status, length, data) only when they are reaped.
#include "platform/linux/usbfs_port.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "common/wide_string.h"
#include "link/device_link.h"
#include "platform/linux/linux_device_port.h"
#include "protocol/update_session.h"
#include "sim/sim_scanner.h"
#include "sysfs_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

struct UrbRecord {
    std::uint8_t type;
    std::uint8_t endpoint;
    int length;
};

class FakeUsbfs : public UsbfsCalls {
  public:
    using HostBytes = std::function<void(const Bytes&)>;

    FakeUsbfs() {
        pipe2(pipe_, O_NONBLOCK | O_CLOEXEC);
        fcntl(pipe_[1], F_SETPIPE_SZ, 4096);
        SetReady(false);
    }
    ~FakeUsbfs() override {
        for (int& fd : pipe_) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    // --- the test's side ---
    int openError = 0;
    int claimError = 0;
    bool holdWrites = false;  // OUT URBs stay pending until discarded

    // Bytes written to the device are handed to this, outside the fake's lock.
    void OnHostBytes(HostBytes hook) {
        std::lock_guard<std::mutex> hold(lock_);
        hostBytes_ = std::move(hook);
    }
    // The device sends: a pending IN URB completes with the bytes, else the next one will.
    void Deliver(const Bytes& bytes) {
        std::lock_guard<std::mutex> hold(lock_);
        deliveries_.push_back(bytes);
        MatchDeliveries();
    }
    // Unplugged: URBs in flight come back with -ESHUTDOWN, the node reports an error.
    void Unplug() {
        std::lock_guard<std::mutex> hold(lock_);
        gone_ = true;
        for (usbdevfs_urb* urb : pendingIn_) {
            completed_.push_back({urb, -ESHUTDOWN, {}});
        }
        pendingIn_.clear();
        close(pipe_[0]);
        pipe_[0] = -1;
    }
    std::vector<UrbRecord> Submitted() {
        std::lock_guard<std::mutex> hold(lock_);
        return submitted_;
    }
    Bytes Written() {
        std::lock_guard<std::mutex> hold(lock_);
        return written_;
    }
    std::uint32_t Discards() {
        std::lock_guard<std::mutex> hold(lock_);
        return discards_;
    }
    std::vector<unsigned int> Claims() {
        std::lock_guard<std::mutex> hold(lock_);
        return claims_;
    }
    std::vector<unsigned int> Releases() {
        std::lock_guard<std::mutex> hold(lock_);
        return releases_;
    }
    std::string OpenedNode() {
        std::lock_guard<std::mutex> hold(lock_);
        return node_;
    }
    bool WaitForPendingRead(std::uint32_t timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            {
                std::lock_guard<std::mutex> hold(lock_);
                if (!pendingIn_.empty()) {
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    // --- UsbfsCalls ---
    int OpenNode(const char* path, int& fd) override {
        std::lock_guard<std::mutex> hold(lock_);
        node_ = path;
        fd = -1;
        if (openError != 0) {
            return openError;
        }
        fd = dup(pipe_[1]);
        return 0;
    }
    int ClaimInterface(int, unsigned int interface) override {
        std::lock_guard<std::mutex> hold(lock_);
        claims_.push_back(interface);
        return claimError;
    }
    int ReleaseInterface(int, unsigned int interface) override {
        std::lock_guard<std::mutex> hold(lock_);
        releases_.push_back(interface);
        return 0;
    }
    int SubmitUrb(int, usbdevfs_urb& urb) override {
        Bytes out;
        HostBytes hook;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (gone_) {
                return ENODEV;
            }
            submitted_.push_back({urb.type, urb.endpoint, urb.buffer_length});
            if ((urb.endpoint & 0x80) != 0) {
                pendingIn_.push_back(&urb);
                MatchDeliveries();
                return 0;
            }
            const auto* data = static_cast<const std::uint8_t*>(urb.buffer);
            out.assign(data, data + urb.buffer_length);
            if (holdWrites) {
                pendingOut_.push_back(&urb);
                return 0;
            }
            written_.insert(written_.end(), out.begin(), out.end());
            Complete(&urb, 0, {}, urb.buffer_length);
            hook = hostBytes_;
        }
        if (hook) {
            hook(out);
        }
        return 0;
    }
    int DiscardUrb(int, usbdevfs_urb& urb) override {
        std::lock_guard<std::mutex> hold(lock_);
        ++discards_;
        for (std::deque<usbdevfs_urb*>* pending : {&pendingIn_, &pendingOut_}) {
            const auto at = std::find(pending->begin(), pending->end(), &urb);
            if (at != pending->end()) {
                pending->erase(at);
                Complete(&urb, -ENOENT, {}, 0);
                return 0;
            }
        }
        return EINVAL;
    }
    int ReapUrbNoDelay(int, usbdevfs_urb*& urb) override {
        std::lock_guard<std::mutex> hold(lock_);
        if (completed_.empty()) {
            return gone_ ? ENODEV : EAGAIN;
        }
        Completion done = completed_.front();
        completed_.pop_front();
        done.urb->status = done.status;
        done.urb->actual_length = done.length;
        if (!done.data.empty()) {
            std::memcpy(done.urb->buffer, done.data.data(), done.data.size());
        }
        urb = done.urb;
        SetReady(!completed_.empty());
        return 0;
    }

  private:
    struct Completion {
        usbdevfs_urb* urb;
        int status;
        Bytes data;
        int length = 0;
    };

    void Complete(usbdevfs_urb* urb, int status, Bytes data, int length) {
        completed_.push_back({urb, status, std::move(data), length});
        SetReady(true);
    }
    void MatchDeliveries() {
        while (!pendingIn_.empty() && !deliveries_.empty()) {
            usbdevfs_urb* urb = pendingIn_.front();
            pendingIn_.pop_front();
            Bytes& next = deliveries_.front();
            const std::size_t take =
                std::min(next.size(), static_cast<std::size_t>(urb->buffer_length));
            Bytes part(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(take));
            next.erase(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(take));
            if (next.empty()) {
                deliveries_.pop_front();
            }
            Complete(urb, 0, part, static_cast<int>(take));
        }
    }
    // Ready: the pipe is empty, so its write end polls writable. Not ready: one byte fills
    // its only page.
    void SetReady(bool ready) {
        if (pipe_[0] < 0) {
            return;
        }
        std::uint8_t byte = 0;
        if (ready) {
            while (read(pipe_[0], &byte, 1) > 0) {
            }
        } else if (write(pipe_[1], &byte, 1) != 1) {
            // Already full.
        }
    }

    std::mutex lock_;
    int pipe_[2] = {-1, -1};
    bool gone_ = false;
    std::string node_;
    std::deque<usbdevfs_urb*> pendingIn_;
    std::deque<usbdevfs_urb*> pendingOut_;
    std::deque<Completion> completed_;
    std::deque<Bytes> deliveries_;
    std::vector<UrbRecord> submitted_;
    Bytes written_;
    std::uint32_t discards_ = 0;
    std::vector<unsigned int> claims_;
    std::vector<unsigned int> releases_;
    HostBytes hostBytes_;
};

TEST(UsbfsPath, Parsing) {
    struct Case {
        const char* path;
        bool accepted;
        std::uint32_t bus;
        std::uint32_t device;
        std::uint8_t interface;
    };
    const Case cases[] = {
        {"/dev/bus/usb/001/004#if0", true, 1, 4, 0},
        {"/tmp/x/dev/bus/usb/003/127#if2", true, 3, 127, 2},
        {"/dev/bus/usb/1/4#if255", true, 1, 4, 255},
        {"/dev/bus/usb/001/004#if256", false, 0, 0, 0},
        {"/dev/bus/usb/001/004#if", false, 0, 0, 0},
        {"/dev/bus/usb/001/004#ifx", false, 0, 0, 0},
        {"/dev/bus/usb/001/004#if0 ", false, 0, 0, 0},
        {"/dev/bus/usb/001/004", false, 0, 0, 0},
        {"/dev/bus/usb/001/0004#if0", false, 0, 0, 0},
        {"/dev/bus/usb/0x1/004#if0", false, 0, 0, 0},
        {"/dev/bus/usb/001/#if0", false, 0, 0, 0},
        {"004#if0", false, 0, 0, 0},
        {"/004#if0", false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        UsbfsAddress address;
        ASSERT_EQ(ParseUsbfsPath(c.path, address), c.accepted) << c.path;
        if (c.accepted) {
            const std::string path = c.path;
            EXPECT_EQ(address.node, path.substr(0, path.rfind('#'))) << c.path;
            EXPECT_EQ(address.busNumber, c.bus) << c.path;
            EXPECT_EQ(address.deviceNumber, c.device) << c.path;
            EXPECT_EQ(address.interfaceNumber, c.interface) << c.path;
        }
    }
}

TEST(UsbfsPath, BulkUrbIsZeroedApartFromItsTransfer) {
    auto urb = std::make_unique<usbdevfs_urb>();
    std::memset(urb.get(), 0xA5, sizeof *urb);
    std::uint8_t buffer[8];
    PrepareBulkUrb(*urb, 0x81, buffer, sizeof buffer);
    EXPECT_EQ(urb->type, USBDEVFS_URB_TYPE_BULK);
    EXPECT_EQ(urb->endpoint, 0x81);
    EXPECT_EQ(urb->buffer, buffer);
    EXPECT_EQ(urb->buffer_length, 8);
    EXPECT_EQ(urb->status, 0);
    EXPECT_EQ(urb->flags, 0u);
    EXPECT_EQ(urb->actual_length, 0);
    EXPECT_EQ(urb->start_frame, 0);
    EXPECT_EQ(urb->number_of_packets, 0);
    EXPECT_EQ(urb->error_count, 0);
    EXPECT_EQ(urb->signr, 0u);
    EXPECT_EQ(urb->usercontext, nullptr);
}

// A scanner at bus 1, device 4, whose interface 2 is the bulk interface; an interrupt
// endpoint comes first and is passed over.
class UsbfsPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string device = fixture_.UsbDevice("1-1", VENDOR_B, 0x0006, 3, 4);
        const std::string interface = fixture_.Interface(device, 2, 0xFF);
        fixture_.Endpoint(interface, 0x81, 0x03);
        fixture_.Endpoint(interface, 0x83, 0x02);
        fixture_.Endpoint(interface, 0x04, 0x02);
        fixture_.Endpoint(interface, 0x05, 0x02);
        fixture_.Interface(device, 0, 0x03, "usbhid");
    }

    DeviceRecord Record(const std::string& suffix = "/bus/usb/001/004#if2") const {
        DeviceRecord record{};
        CopyWide(record.path, Utf8ToUtf16(fixture_.Dev() + suffix).c_str());
        record.linkKind = LinkKind::VendorBulk;
        return record;
    }

    SysfsFixture fixture_;
    FakeUsbfs usbfs_;
};

TEST_F(UsbfsPortTest, OpenClaimsTheInterfaceWithEndpointsFromSysfs) {
    UsbfsPort port(fixture_.Sys(), usbfs_);
    ASSERT_EQ(port.Open(Utf8ToUtf16(fixture_.Dev() + "/bus/usb/001/004#if2").c_str(), false),
              PORT_ERROR_NONE);
    EXPECT_EQ(usbfs_.OpenedNode(), fixture_.Dev() + "/bus/usb/001/004");
    EXPECT_EQ(usbfs_.Claims(), std::vector<unsigned int>{2});
    EXPECT_EQ(port.Endpoints().in, 0x83);
    EXPECT_EQ(port.Endpoints().out, 0x04);
    port.Close();
    EXPECT_EQ(usbfs_.Releases(), std::vector<unsigned int>{2});
    port.Close();
    EXPECT_EQ(usbfs_.Releases().size(), 1u);
}

TEST_F(UsbfsPortTest, OpenFailures) {
    struct Case {
        const char* name;
        const char* suffix;
        int openError;
        int claimError;
        ResultCode result;
    };
    const Case cases[] = {
        {"node missing", "/bus/usb/001/004#if2", ENOENT, 0, RESULT_NO_DEVICE},
        {"node not permitted", "/bus/usb/001/004#if2", EACCES, 0, RESULT_ACCESS_DENIED},
        {"interface held elsewhere", "/bus/usb/001/004#if2", 0, EBUSY, RESULT_ACCESS_DENIED},
        {"device gone at the claim", "/bus/usb/001/004#if2", 0, ENODEV, RESULT_NO_DEVICE},
        {"interface without bulk endpoints", "/bus/usb/001/004#if0", 0, 0, RESULT_OPEN_FAILED},
        {"interface not in sysfs", "/bus/usb/001/004#if7", 0, 0, RESULT_OPEN_FAILED},
        {"device not in sysfs", "/bus/usb/001/009#if2", 0, 0, RESULT_OPEN_FAILED},
        {"malformed path", "/bus/usb/001/004#ifz", 0, 0, RESULT_NO_DEVICE},
    };
    for (const Case& c : cases) {
        usbfs_.openError = c.openError;
        usbfs_.claimError = c.claimError;
        LinuxDevicePort port(fixture_.Sys(), usbfs_);
        DeviceLink link(port);
        ResultCode result = 99;
        EXPECT_FALSE(link.Open(Record(c.suffix), &result)) << c.name;
        EXPECT_EQ(result, c.result) << c.name;
    }
}

TEST_F(UsbfsPortTest, WritesGoOutInUrbsAndReadsComeBack) {
    LinuxDevicePort port(fixture_.Sys(), usbfs_);
    DeviceLink link(port);
    ASSERT_TRUE(link.Open(Record(), nullptr));
    Bytes out(70000);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(i * 7);
    }
    ASSERT_TRUE(link.Send(out.data(), static_cast<std::uint32_t>(out.size())));
    EXPECT_EQ(usbfs_.Written(), out);
    std::vector<int> outLengths;
    for (const UrbRecord& urb : usbfs_.Submitted()) {
        EXPECT_EQ(urb.type, USBDEVFS_URB_TYPE_BULK);
        if (urb.endpoint == 0x04) {
            outLengths.push_back(urb.length);
        } else {
            EXPECT_EQ(urb.endpoint, 0x83);
            EXPECT_EQ(urb.length, static_cast<int>(PORT_READ_CHUNK));
        }
    }
    // 65536 bytes in four URBs, then the 4464 left.
    EXPECT_EQ(outLengths, (std::vector<int>{16384, 16384, 16384, 16384, 4464}));

    Bytes in(6000);
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<std::uint8_t>(i * 11 + 1);
    }
    usbfs_.Deliver(in);
    Bytes got(in.size());
    ASSERT_EQ(link.ReadTimed(5000, got.data(), static_cast<std::uint32_t>(got.size()), 1000),
              in.size());
    EXPECT_EQ(got, in);
    link.StopReader();
    EXPECT_EQ(usbfs_.Releases(), std::vector<unsigned int>{2});
}

TEST_F(UsbfsPortTest, StopDiscardsTheReadUrbAtOnce) {
    LinuxDevicePort port(fixture_.Sys(), usbfs_);
    DeviceLink link(port);
    ASSERT_TRUE(link.Open(Record(), nullptr));
    ASSERT_TRUE(usbfs_.WaitForPendingRead(5000));
    const auto start = Clock::now();
    link.StopReader();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(usbfs_.Discards(), 1u);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(usbfs_.Releases(), std::vector<unsigned int>{2});
}

TEST_F(UsbfsPortTest, AReadThatFoundItsStopFirstIsNotWaitedFor) {
    UsbfsPort port(fixture_.Sys(), usbfs_);
    ASSERT_EQ(port.Open(Record().path, false), PORT_ERROR_NONE);
    std::atomic<bool> cancel{true};
    std::uint8_t buffer[PORT_READ_CHUNK];
    std::uint32_t count = 7;
    EXPECT_FALSE(port.Read(buffer, sizeof buffer, count, cancel));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(usbfs_.Discards(), 1u);
    // Bytes that completed the URB before the discard are delivered.
    usbfs_.Deliver({1, 2, 3});
    EXPECT_TRUE(port.Read(buffer, sizeof buffer, count, cancel));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{1, 2, 3}));
}

TEST_F(UsbfsPortTest, AWriteNotDoneWithinItsWaitIsDiscarded) {
    usbfs_.holdWrites = true;
    LinuxDevicePort port(fixture_.Sys(), usbfs_);
    DeviceLink link(port);
    ASSERT_TRUE(link.Open(Record(), nullptr));
    const std::uint8_t bytes[3] = {1, 2, 3};
    const auto start = Clock::now();
    EXPECT_FALSE(link.Send(bytes, sizeof bytes));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(BULK_WRITE_WAIT_MS - 50));
    EXPECT_LT(took, std::chrono::seconds(30));
    // The write's discard, then the reader's at the stop that a failed send makes.
    EXPECT_EQ(usbfs_.Discards(), 2u);
    EXPECT_FALSE(link.IsOpen());
}

TEST_F(UsbfsPortTest, UnpluggingEndsTheReaderAndFailsWrites) {
    LinuxDevicePort port(fixture_.Sys(), usbfs_);
    DeviceLink link(port);
    ASSERT_TRUE(link.Open(Record(), nullptr));
    ASSERT_TRUE(usbfs_.WaitForPendingRead(5000));
    usbfs_.Unplug();
    for (int i = 0; i < 5000 && link.IsOpen(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(link.IsOpen());
    const std::uint8_t byte = 0;
    EXPECT_FALSE(link.Send(&byte, 1));

    UsbfsPort direct(fixture_.Sys(), usbfs_);
    ASSERT_EQ(direct.Open(Record().path, false), PORT_ERROR_NONE);
    std::uint32_t written = 9;
    EXPECT_FALSE(direct.Write(&byte, 1, 1000, written));
    EXPECT_EQ(written, 0u);
}

// A whole update through the port: the reader's IN URBs and the session's OUT URBs are in
// flight together, and either thread may reap the other's.
TEST_F(UsbfsPortTest, WholeUpdate) {
    SimScannerConfig config;
    config.linkKind = LinkKind::VendorBulk;
    config.model = "MB9";
    SimScanner scanner(config);
    usbfs_.OnHostBytes(
        [&scanner](const Bytes& bytes) { scanner.OnHostBytes(bytes.data(), bytes.size()); });
    scanner.Attach([this](const std::uint8_t* bytes,
                          std::size_t length) { usbfs_.Deliver(Bytes(bytes, bytes + length)); },
                   [] {});

    Bytes kern(70000);
    Bytes appl(513);
    std::mt19937 random(9);
    for (auto* block : {&kern, &appl}) {
        for (auto& b : *block) {
            b = static_cast<std::uint8_t>(random());
        }
    }
    UpdateBlock blocks[2] = {
        {kern.data(), static_cast<std::uint32_t>(kern.size()), BLOCK_TYPE_KERN, 0},
        {appl.data(), static_cast<std::uint32_t>(appl.size()), BLOCK_TYPE_APPL, 0}};
    LinuxDevicePort port(fixture_.Sys(), usbfs_);
    DeviceLink link(port);
    ASSERT_TRUE(link.Open(Record(), nullptr));
    UpdateOptions options;
    options.flags = UPDATE_FLAG_CHECK_MODEL;
    testing::internal::CaptureStdout();
    const ResultCode result = RunUpdateSession(blocks, &link, 2, true, &options, 0, "EM9");
    const std::string output = testing::internal::GetCapturedStdout();
    scanner.Detach();
    usbfs_.OnHostBytes(nullptr);
    EXPECT_EQ(result, RESULT_SUCCESS) << output;
    const auto received = scanner.Blocks();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].data, kern);
    EXPECT_EQ(received[1].data, appl);
    EXPECT_TRUE(scanner.ProtocolErrors().empty());
    EXPECT_FALSE(link.IsOpen());
}

}  // namespace
