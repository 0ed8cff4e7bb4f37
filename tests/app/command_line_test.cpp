#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "app/entry.h"
#include "common/wide_string.h"
#include "discovery/selection.h"
#include "fwwriter/firmware_writer.h"
#include "link/device_link.h"
#include "sim/sim_device_database.h"
#include "sim/sim_port.h"
#include "sim/sim_port_adapter.h"
#include "sim/sim_scanner.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

constexpr char BANNER[] = "scanflash  Version: 1.0.2.2\n";
constexpr char USAGE[] =
    "Usage: \"scanflash\" [-force] -file:xxx.bin2\n"
    "Options:\n"
    "  -force                   Optional. Not check whether the firmware file is suitable for "
    "the device.\n"
    "  -file:firmware_filename  Specify the firmware file to use\n";

// One attached bulk scanner reporting model "OTHER", and a bin file made for "EM7" in the
// current folder.
class CommandLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder =
            std::filesystem::temp_directory_path() /
            ("scanflash-cli-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder);
        FirmwareSpec spec;
        spec.layout = FirmwareLayout::Bin;
        spec.model = "EM7";
        spec.blocks.push_back({"kern", Bytes(1500, 0x5A), 0});
        Bytes bytes;
        ASSERT_TRUE(WriteFirmware(spec, bytes, nullptr));
        firmwarePath = (folder / "fw.bin").string();
        ASSERT_TRUE(SaveBytes(firmwarePath, bytes, nullptr));
        port.SetExpectedPath(AddSimScanner(database, VENDOR_B, 0x0006, 1));
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    // Runs the command line with "scanflash" as the program, argument text {FILE} standing
    // for the firmware file's path. Returns the result; output receives what was printed.
    ResultCode Run(std::vector<std::string> arguments, std::string& output,
                   const std::string& program = "scanflash") {
        std::vector<std::u16string> wide = {Utf8ToUtf16(program)};
        for (std::string& argument : arguments) {
            const std::size_t at = argument.find("{FILE}");
            if (at != std::string::npos) {
                argument.replace(at, 6, firmwarePath);
            }
            wide.push_back(Utf8ToUtf16(argument));
        }
        std::vector<const char16_t*> argv;
        for (const auto& w : wide) {
            argv.push_back(w.c_str());
        }
        SimScannerConfig config;
        config.model = "OTHER";
        SimScanner scanner(config);
        SimPortAdapter adapter(scanner, port);
        DeviceLink link(port);
        DatabaseDeviceSource devices(database);
        CaptureStdout();
        const ResultCode result =
            RunCommandLine(argv.data(), static_cast<int>(argv.size()), devices, link);
        output = GetCapturedStdout();
        return result;
    }

    std::filesystem::path folder;
    std::string firmwarePath;
    SimDeviceDatabase database;
    SimPort port;
};

TEST_F(CommandLineTest, Table) {
    struct Case {
        std::vector<std::string> arguments;
        ResultCode result;
        bool usage;
        bool searched;  // the device database was read
    };
    const Case cases[] = {
        {{}, RESULT_BAD_REQUEST, true, false},
        {{"-force"}, RESULT_BAD_REQUEST, false, false},
        {{"-FORCE"}, RESULT_BAD_REQUEST, false, false},
        {{"-unknown"}, RESULT_BAD_REQUEST, false, false},
        {{"-force", "-unknown"}, RESULT_BAD_REQUEST, false, false},
        {{"-fil:{FILE}"}, RESULT_BAD_REQUEST, false, false},
        // The model is compared unless -force comes first.
        {{"-file:{FILE}"}, RESULT_MODEL_MISMATCH, false, true},
        {{"-FILE:{FILE}"}, RESULT_MODEL_MISMATCH, false, true},
        {{"-file:{FILE}", "-force"}, RESULT_MODEL_MISMATCH, false, true},
        {{"-force", "-file:{FILE}"}, RESULT_SUCCESS, false, true},
        {{"-FORCE", "-File:{FILE}"}, RESULT_SUCCESS, false, true},
        {{"-forced", "-file:{FILE}", "ignored"}, RESULT_SUCCESS, false, true},
        // The name after "-file:" reaches the loader as it stands.
        {{"-file:"}, RESULT_BAD_EXTENSION, false, true},
        {{"-file:missing.pak"}, RESULT_FILE_OPEN_FAILED, false, true},
        {{"-file:missing.txt"}, RESULT_BAD_EXTENSION, false, true},
        // "-device:" after the file argument, where the command line ignored it before;
        // anywhere else it is what it was.
        {{"-force", "-file:{FILE}", "x", "-DEVICE:usb:port_#0001.hub_#0001"},
         RESULT_SUCCESS,
         false,
         true},
        {{"-file:{FILE}", "-device:usb:Port_#0001.Hub_#0001"}, RESULT_MODEL_MISMATCH, false, true},
        {{"-force", "-file:{FILE}", "-device:usb:Port_#0002.Hub_#0001"},
         RESULT_NO_DEVICE,
         false,
         true},
        {{"-device:COM7", "-file:{FILE}"}, RESULT_BAD_REQUEST, false, false},
        {{"-force", "-device:COM7", "-file:{FILE}"}, RESULT_BAD_REQUEST, false, false},
    };
    for (const Case& c : cases) {
        database = SimDeviceDatabase();
        port.SetExpectedPath(AddSimScanner(database, VENDOR_B, 0x0006, 1));
        std::string output;
        const ResultCode result = Run(c.arguments, output);
        const std::string label = c.arguments.empty() ? "(none)" : c.arguments[0];
        EXPECT_EQ(result, c.result) << label;
        EXPECT_EQ(output.rfind(BANNER, 0), 0u) << label;
        EXPECT_EQ(output.find(USAGE) != std::string::npos, c.usage) << label;
        EXPECT_EQ(database.ClassDevicesCalls(USB_DEVICE_INTERFACE_CLASS) > 0, c.searched) << label;
    }
}

// A malformed "-device:" costs one line on standard error and no device search.
TEST_F(CommandLineTest, MalformedDeviceSelectors) {
    const struct {
        std::vector<std::string> arguments;
        const char* error;
    } cases[] = {
        {{"-file:{FILE}", "-device:"}, "scanflash: -device: selector names no scanner\n"},
        {{"-force", "-file:{FILE}", "-device:usb:"},
         "scanflash: -device: selector has nothing after usb:\n"},
        {{"-file:{FILE}", "-device:COM7", "-device:COM8"},
         "scanflash: -device: is given more than once\n"},
    };
    for (const auto& c : cases) {
        std::string output;
        CaptureStderr();
        EXPECT_EQ(Run(c.arguments, output), RESULT_BAD_REQUEST) << c.error;
        EXPECT_EQ(GetCapturedStderr(), c.error);
        EXPECT_EQ(output, BANNER);
        EXPECT_EQ(database.ClassDevicesCalls(USB_DEVICE_INTERFACE_CLASS), 0u) << c.error;
    }
}

TEST_F(CommandLineTest, NoArgumentsPrintBannerAndUsageOnly) {
    std::string output;
    EXPECT_EQ(Run({}, output), RESULT_BAD_REQUEST);
    EXPECT_EQ(output, std::string(BANNER) + USAGE);
}

TEST_F(CommandLineTest, BannerShowsTheProgramsBaseName) {
    struct Case {
        const char* program;
        const char* banner;
    };
    const Case cases[] = {
        {"C:\\tools\\upd.exe", "upd.exe  Version: 1.0.2.2\n"},
        {"/usr/local/bin/scanflash", "scanflash  Version: 1.0.2.2\n"},
        {"mixed/dir\\tool", "tool  Version: 1.0.2.2\n"},
        {"plain", "plain  Version: 1.0.2.2\n"},
        {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9  Version: 1.0.2.2\n"},
        {"odd\xFF", "odd\xFF  Version: 1.0.2.2\n"},
    };
    for (const Case& c : cases) {
        std::string output;
        Run({"-force"}, output, c.program);
        EXPECT_EQ(output, c.banner);
    }
}

TEST_F(CommandLineTest, NoDeviceMeansTheFileIsNeverTouched) {
    database = SimDeviceDatabase();
    std::string output;
    EXPECT_EQ(Run({"-file:missing.pak"}, output), RESULT_NO_DEVICE);
    EXPECT_EQ(output, BANNER);
}

// Sets or clears an environment variable of this process.
void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    if (value.empty()) {
        unsetenv(name);
    } else {
        setenv(name, value.c_str(), 1);
    }
#endif
}

std::string ReadWhole(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// A console whose events come from a thread of the test's own, as the system sends them: once
// the trace shows the frames going out, the interrupt key, then the close. What the trace file
// holds the moment the close event's handler returns is kept.
class EventConsole : public ConsoleSeam {
  public:
    explicit EventConsole(std::filesystem::path trace) : trace_(std::move(trace)) {}
    ~EventConsole() override { Join(); }

    void* GetConsoleWindow() override { return nullptr; }
    void EnableWindow(void*, bool) override {}
    bool AddControlHandler(ConsoleControlFunction handler) override {
        events_ = std::thread([this, handler] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (ReadWhole(trace_).find("step   block 0/1 (kern): 3 frames") ==
                       std::string::npos &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            interruptHandled = handler(CONSOLE_CTRL_C);
            closeHandled = handler(CONSOLE_CTRL_CLOSE);
            atClose = ReadWhole(trace_);
        });
        return true;
    }
    void RemoveControlHandler(ConsoleControlFunction) override { Join(); }

    bool interruptHandled = false;
    bool closeHandled = true;
    std::string atClose;

  private:
    void Join() {
        if (events_.joinable()) {
            events_.join();
        }
    }

    std::filesystem::path trace_;
    std::thread events_;
};

// The console handler's notes are in the trace before a close ends the process.
TEST_F(CommandLineTest, ConsoleEventsReachTheTraceAtOnce) {
    const std::filesystem::path trace = folder / "trace.log";
    SetEnvironment("SCANFLASH_TRACE", trace.string());
    SimScannerConfig config;
    config.model = "EM7";
    config.fault.step = SimStep::Frame;  // frame 1 goes unanswered: 2 s to close the console
    config.fault.occurrence = 2;
    SimScanner scanner(config);
    SimPortAdapter adapter(scanner, port);
    DatabaseDeviceSource devices(database);
    EventConsole console(trace);
    const std::u16string file = Utf8ToUtf16("-file:" + firmwarePath);
    const char16_t* argv[] = {u"scanflash", file.c_str()};
    CaptureStdout();
    const int exitCode = RunEntry(devices, port, console, 2, argv);
    const std::string output = GetCapturedStdout();
    SetEnvironment("SCANFLASH_TRACE", "");
    EXPECT_EQ(exitCode, 18);
    EXPECT_EQ(output.rfind(BANNER, 0), 0u);
    EXPECT_TRUE(console.interruptHandled);
    EXPECT_FALSE(console.closeHandled);
    const std::size_t swallowed = console.atClose.find(" note   console event 0: swallowed\n");
    EXPECT_NE(swallowed, std::string::npos) << console.atClose;
    EXPECT_NE(console.atClose.find(
                  " note   console event 2: the reader stopped, the process ends\n", swallowed),
              std::string::npos)
        << console.atClose;
    const std::string whole = ReadWhole(trace);
    EXPECT_NE(whole.find("result result code 11, exit code 18"), std::string::npos) << whole;
    EXPECT_NE(whole.find("result failed in: block 0/1 (kern): 3 frames\n"), std::string::npos)
        << whole;
}

TEST(ConsoleControl, EventsAndTheirAnswers) {
    EXPECT_TRUE(ConsoleControlHandler(CONSOLE_CTRL_C));
    EXPECT_TRUE(ConsoleControlHandler(CONSOLE_CTRL_BREAK));
    EXPECT_FALSE(ConsoleControlHandler(CONSOLE_CTRL_CLOSE));
    EXPECT_FALSE(ConsoleControlHandler(CONSOLE_CTRL_LOGOFF));
    EXPECT_FALSE(ConsoleControlHandler(CONSOLE_CTRL_SHUTDOWN));
    EXPECT_FALSE(ConsoleControlHandler(3));
    EXPECT_FALSE(ConsoleControlHandler(7));
}

}  // namespace
