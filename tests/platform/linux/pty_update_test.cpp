// A whole update through the Linux serial port, over a real pty served by the simulated
// scanner.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "common/wide_string.h"
#include "link/device_link.h"
#include "platform/linux/linux_serial_port.h"
#include "protocol/update_session.h"
#include "sim/pty_scanner.h"
#include "sim/sim_scanner.h"

namespace {

TEST(PtyUpdate, WholeUpdateOverTheSerialPort) {
    SimScannerConfig config;
    config.linkKind = LinkKind::SerialPort;
    config.model = "MB9";
    SimScanner scanner(config);
    PtyScanner pty(scanner);
    ASSERT_TRUE(pty.Start());

    std::vector<std::uint8_t> kern(70000);
    std::vector<std::uint8_t> appl(513);
    std::mt19937 random(3);
    for (auto& b : kern) {
        b = static_cast<std::uint8_t>(random());
    }
    for (auto& b : appl) {
        b = static_cast<std::uint8_t>(random());
    }
    UpdateBlock blocks[2] = {
        {kern.data(), static_cast<std::uint32_t>(kern.size()), BLOCK_TYPE_KERN, 0},
        {appl.data(), static_cast<std::uint32_t>(appl.size()), BLOCK_TYPE_APPL, 0}};

    LinuxSerialPort port;
    DeviceLink link(port);
    DeviceRecord record{};
    CopyWide(record.path, Utf8ToUtf16(pty.SlavePath()).c_str());
    record.linkKind = LinkKind::SerialPort;
    ResultCode opened = 99;
    ASSERT_TRUE(link.Open(record, &opened));
    UpdateOptions options;
    options.flags = UPDATE_FLAG_CHECK_MODEL;
    testing::internal::CaptureStdout();
    const ResultCode result = RunUpdateSession(blocks, &link, 2, true, &options, 0, "EM9");
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, RESULT_SUCCESS) << output;
    const auto received = scanner.Blocks();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].data, kern);
    EXPECT_EQ(received[1].data, appl);
    EXPECT_TRUE(scanner.ProtocolErrors().empty());
    EXPECT_FALSE(link.IsOpen());
}

}  // namespace
