// The product's entry on Linux end to end: discovery over a fixture sysfs tree whose ttyACM0
// node is a link to a pty served by the simulated scanner, the real serial port, the update,
// and the exit code. The transcript is the simulated update's, with this program's banner.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/entry.h"
#include "common/wide_string.h"
#include "fwwriter/firmware_writer.h"
#include "platform/linux/linux_device_port.h"
#include "platform/linux/linux_device_source.h"
#include "sim/pty_scanner.h"
#include "sim/sim_scanner.h"
#include "sysfs_fixture.h"

namespace {

class QuietConsole : public ConsoleSeam {
  public:
    void* GetConsoleWindow() override { return nullptr; }
    void EnableWindow(void*, bool) override {}
    bool AddControlHandler(ConsoleControlFunction handler) override {
        added = handler;
        return true;
    }
    void RemoveControlHandler(ConsoleControlFunction handler) override { removed = handler; }

    ConsoleControlFunction added = nullptr;
    ConsoleControlFunction removed = nullptr;
};

constexpr char WAITING[] = "\nWating update to complete. It make take dozens of seconds.\n";

TEST(FixtureUpdate, WholeUpdateThroughDiscoveryAndATty) {
    SysfsFixture fixture;
    const std::string device = fixture.UsbDevice("1-4", VENDOR_B, 0x0007, 2, 6);
    fixture.Tty(fixture.Interface(device, 0, 0x02, "cdc_acm"), "ttyACM0");
    fixture.Interface(device, 1, 0x0A, "cdc_acm");
    fixture.PlatformTty("ttyS0");

    SimScannerConfig config;
    config.linkKind = LinkKind::SerialPort;
    config.model = "EM7";
    SimScanner scanner(config);
    PtyScanner pty(scanner);
    ASSERT_TRUE(pty.Start());
    ASSERT_EQ(symlink(pty.SlavePath().c_str(), (fixture.Dev() + "/ttyACM0").c_str()), 0);

    FirmwareSpec spec;
    spec.layout = FirmwareLayout::Bin;
    spec.model = "EM7";
    spec.blocks.push_back({"kern", Bytes(1500, 0x11), 0});
    spec.blocks.push_back({"flah", Bytes(600, 0x22), 9});
    Bytes firmware;
    ASSERT_TRUE(WriteFirmware(spec, firmware, nullptr));
    const std::string file = fixture.Dev() + "/../fw.bin";
    ASSERT_TRUE(SaveBytes(file, firmware, nullptr));

    const std::u16string program = u"/usr/bin/scanflash";
    const std::u16string argument = Utf8ToUtf16("-file:" + file);
    const char16_t* argv[] = {program.c_str(), argument.c_str(), nullptr};
    LinuxDeviceSource devices(fixture.Sys(), fixture.Dev());
    LinuxDevicePort port(fixture.Sys());
    QuietConsole console;
    testing::internal::CaptureStdout();
    const int exitCode = RunEntry(devices, port, console, 2, argv);
    const std::string output = testing::internal::GetCapturedStdout();

    EXPECT_EQ(exitCode, 15);
    EXPECT_EQ(output, std::string("scanflash  Version: 1.0.2.2\n"
                                  "Test connection\n"
                                  "Checking whether the firmware file is suitable for the device\n"
                                  "Entering update mode\n"
                                  "\nUpdating block: 0/2\n"
                                  "Setting up update parameters\n"
                                  "Sending data. total frames:3\n"
                                  "*") +
                          WAITING +
                          "\nUpdating block: 1/2\n"
                          "Setting up update parameters\n"
                          "Sending data. total frames:2\n"
                          "*" +
                          WAITING + "\nUpdate successful\n");
    const auto blocks = scanner.Blocks();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].data, spec.blocks[0].data);
    EXPECT_EQ(blocks[1].data, spec.blocks[1].data);
    EXPECT_TRUE(scanner.ProtocolErrors().empty());
    EXPECT_NE(console.added, nullptr);
    EXPECT_EQ(console.removed, console.added);
}

}  // namespace
