// The built scanflash-demo run as a user would: a child process whose standard output and
// exit code are compared with transcripts written out by hand.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "fwwriter/firmware_writer.h"

namespace {

constexpr char BANNER[] = "scanflash-demo  Version: 1.0.2.2\n";
constexpr char WAITING[] = "\nWating update to complete. It make take dozens of seconds.\n";

struct ChildResult {
    std::string output;
    std::string errors;  // standard error, where the simulated scanner reports
    int exitCode = -1;   // when it exited
    int signal = 0;      // when a signal ended it
};

constexpr char NON_UTF8_NAME[] = "fw\xFF\xED\xA0\x80.bin";

constexpr char STOPPED_AND_CLOSED[] =
    "scanflash-demo: the scanner saw the host stop reading and close the port\n";

// Runs the demo with arguments; when signalAfter is given, sends that signal once the
// output contains the marker text.
ChildResult RunDemo(const std::vector<std::string>& arguments, const std::string& folder,
                    int signal = 0, const std::string& marker = "") {
    // Everything the child needs is built before the fork: it only calls what is safe there.
    std::string program = SCANFLASH_DEMO_PATH;
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    argv.push_back(program.data());
    for (std::string& argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    int outFds[2];
    int errFds[2];
    if (pipe(outFds) != 0) {
        return {};
    }
    if (pipe(errFds) != 0) {
        close(outFds[0]);
        close(outFds[1]);
        return {};
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(outFds[1], STDOUT_FILENO);
        dup2(errFds[1], STDERR_FILENO);
        close(outFds[0]);
        close(outFds[1]);
        close(errFds[0]);
        close(errFds[1]);
        if (chdir(folder.c_str()) != 0) {
            _exit(127);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(outFds[1]);
    close(errFds[1]);
    ChildResult result;
    bool signalled = false;
    // Until both pipes reach their end: the child has exited (or was killed).
    pollfd waits[2] = {{outFds[0], POLLIN, 0}, {errFds[0], POLLIN, 0}};
    std::string* texts[2] = {&result.output, &result.errors};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (waits[0].fd >= 0 || waits[1].fd >= 0) {
        if (poll(waits, 2, 100) > 0) {
            for (int i = 0; i < 2; ++i) {
                if (waits[i].fd < 0 || waits[i].revents == 0) {
                    continue;
                }
                char chunk[4096];
                const ssize_t got = read(waits[i].fd, chunk, sizeof chunk);
                if (got <= 0) {
                    close(waits[i].fd);
                    waits[i].fd = -1;
                    continue;
                }
                texts[i]->append(chunk, static_cast<std::size_t>(got));
            }
        }
        if (signal != 0 && !signalled && result.output.find(marker) != std::string::npos) {
            kill(child, signal);
            signalled = true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            break;
        }
    }
    for (const pollfd& wait : waits) {
        if (wait.fd >= 0) {
            close(wait.fd);
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

class DemoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = std::filesystem::temp_directory_path() /
                 (std::string("scanflash-e2e-") +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
                  std::to_string(getpid()));
        std::filesystem::create_directories(folder);
        // Two blocks: 3 frames and 2 frames.
        FirmwareSpec spec;
        spec.layout = FirmwareLayout::Bin;
        spec.model = "EM7";
        spec.blocks.push_back({"kern", Bytes(1500, 0x11), 0});
        spec.blocks.push_back({"flah", Bytes(600, 0x22), 9});
        Write(spec, "fw.bin");
        // A name with bytes that are not UTF-8 must reach the file system unchanged.
        Write(spec, NON_UTF8_NAME);
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    void Write(const FirmwareSpec& spec, const std::string& name) {
        Bytes bytes;
        ASSERT_TRUE(WriteFirmware(spec, bytes, nullptr));
        ASSERT_TRUE(SaveBytes((folder / name).string(), bytes, nullptr));
    }

    std::filesystem::path folder;
};

const std::string UPDATE_HEAD = std::string(BANNER) +
                                "Test connection\n"
                                "Checking whether the firmware file is suitable for the device\n"
                                "Entering update mode\n"
                                "\nUpdating block: 0/2\n"
                                "Setting up update parameters\n"
                                "Sending data. total frames:3\n";

TEST_F(DemoTest, Outcomes) {
    struct Case {
        std::vector<std::string> arguments;
        std::string transcript;
        int exitCode;
    };
    const Case cases[] = {
        {{"--sim-write-time=0", "-file:fw.bin"},
         UPDATE_HEAD + "*" + WAITING +
             "\nUpdating block: 1/2\n"
             "Setting up update parameters\n"
             "Sending data. total frames:2\n"
             "*" +
             WAITING + "\nUpdate successful\n",
         15},
        {{"--sim-write-time=0", std::string("-file:") + NON_UTF8_NAME},
         UPDATE_HEAD + "*" + WAITING +
             "\nUpdating block: 1/2\n"
             "Setting up update parameters\n"
             "Sending data. total frames:2\n"
             "*" +
             WAITING + "\nUpdate successful\n",
         15},
        {{"--sim-model=XX1", "-file:fw.bin"},
         std::string(BANNER) + "Test connection\n"
                               "Checking whether the firmware file is suitable for the device\n",
         16},
        {{"--sim-write-time=0", "--sim-model=XX1", "-force", "-file:fw.bin"},
         std::string(BANNER) +
             "Test connection\n"
             "Entering update mode\n"
             "\nUpdating block: 0/2\n"
             "Setting up update parameters\n"
             "Sending data. total frames:3\n"
             "*" +
             WAITING +
             "\nUpdating block: 1/2\n"
             "Setting up update parameters\n"
             "Sending data. total frames:2\n"
             "*" +
             WAITING + "\nUpdate successful\n",
         15},
        {{"--sim-write-time=0", "--sim-fault=verdict:fail-verdict", "-file:fw.bin"},
         UPDATE_HEAD + "*" + WAITING,
         17},
        {{"--sim-fault=frame:silence:2", "-file:fw.bin"}, UPDATE_HEAD + "*", 18},
        {{"--sim-fault=frame:vanish:2", "-file:fw.bin"}, UPDATE_HEAD + "*", 18},
        {{"-file:missing.bin"}, BANNER, 19},
        {{"-file:fw.txt"}, BANNER, 19},
        {{"--sim-devices=2", "-file:fw.bin"}, BANNER, 14},
        {{"--sim-devices=0", "-file:fw.bin"}, BANNER, 12},
        {{"--sim-busy", "-file:fw.bin"}, BANNER, 13},
        {{"-force"}, BANNER, 11},
        {{},
         std::string(BANNER) +
             "Usage: \"scanflash-demo\" [-force] -file:xxx.bin2\n"
             "Options:\n"
             "  -force                   Optional. Not check whether the firmware file is "
             "suitable for the device.\n"
             "  -file:firmware_filename  Specify the firmware file to use\n",
         11},
    };
    for (const Case& c : cases) {
        const ChildResult result = RunDemo(c.arguments, folder.string());
        const std::string label = c.arguments.empty() ? "(none)" : c.arguments.back();
        EXPECT_EQ(result.output, c.transcript) << label;
        EXPECT_EQ(result.exitCode, c.exitCode) << label;
    }
}

TEST_F(DemoTest, FeatureHidScannerWithAnMbNameTakesEmFirmware) {
    const ChildResult result =
        RunDemo({"--sim-link=hid-feature", "--sim-model=MB7", "--sim-write-time=0", "-file:fw.bin"},
                folder.string());
    EXPECT_EQ(result.exitCode, 15) << result.output;
}

TEST_F(DemoTest, InterruptDuringTheTransferChangesNothing) {
    const ChildResult result = RunDemo({"--sim-latency=15", "--sim-write-time=0", "-file:fw.bin"},
                                       folder.string(), SIGINT, "Sending data");
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exitCode, 15);
    EXPECT_NE(result.output.find("\nUpdate successful\n"), std::string::npos);
}

// The console handler ran: the scanner saw the reader stopped and the port closed before the
// signal ended the process. A signal taken by any other thread ends it without either.
TEST_F(DemoTest, TerminationDuringTheTransferEndsTheProcess) {
    const auto start = std::chrono::steady_clock::now();
    const ChildResult result = RunDemo({"--sim-latency=15", "--sim-write-time=0", "-file:fw.bin"},
                                       folder.string(), SIGTERM, "Sending data");
    EXPECT_EQ(result.signal, SIGTERM);
    EXPECT_EQ(result.output.find("Update successful"), std::string::npos);
    EXPECT_EQ(result.errors, STOPPED_AND_CLOSED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

}  // namespace
