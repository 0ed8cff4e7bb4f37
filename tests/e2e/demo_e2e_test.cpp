// The built scanflash-demo run as a user would: a child process whose standard output and
// exit code are compared with transcripts written out by hand.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "fwwriter/firmware_writer.h"

extern char** environ;

namespace {

constexpr char BANNER[] = "scanflash-demo  Version: 1.0.2.2\n";
constexpr char WAITING[] = "\nWating update to complete. It make take dozens of seconds.\n";

struct ChildResult {
    std::string output;
    std::string errors;        // standard error, less the simulated scanner's notes
    std::string scannerNotes;  // what the simulated scanner saw the host do to the port
    int exitCode = -1;         // when it exited
    int signal = 0;            // when a signal ended it
};

constexpr char NON_UTF8_NAME[] = "fw\xFF\xED\xA0\x80.bin";

constexpr char SCANNER_NOTE[] = "scanflash-demo: the scanner ";
constexpr char STOPPED_AND_CLOSED[] =
    "scanflash-demo: the scanner saw the host stop reading and close the port\n";

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// How the child runs: where it may write (home and the temporary folder point at an empty
// folder of the test's own), where its standard error goes, and the trace file, if any.
struct ChildSetting {
    std::string home;
    std::string errorsPath;
    std::string trace;            // SCANFLASH_TRACE; empty: not set
    std::uint64_t fileLimit = 0;  // bytes any file may reach (RLIMIT_FSIZE); 0: no limit
};

// Not a signal: the reader of the child's output goes away at the marker.
constexpr int OUTPUT_READER_LEAVES = -1;

// Runs the demo with arguments in folder; when signal is given, sends it once the output
// contains the marker text.
ChildResult RunDemo(const std::vector<std::string>& arguments, const std::string& folder,
                    const ChildSetting& setting, int signal = 0, const std::string& marker = "") {
    // Everything the child needs is built before the fork: it only calls what is safe there.
    std::string program = SCANFLASH_DEMO_PATH;
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    argv.push_back(program.data());
    for (std::string& argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        if (variable.rfind("SCANFLASH_TRACE=", 0) != 0 && variable.rfind("HOME=", 0) != 0 &&
            variable.rfind("TMPDIR=", 0) != 0) {
            environment.push_back(variable);
        }
    }
    environment.push_back("HOME=" + setting.home);
    environment.push_back("TMPDIR=" + setting.home);
    if (!setting.trace.empty()) {
        environment.push_back("SCANFLASH_TRACE=" + setting.trace);
    }
    std::vector<char*> envp;
    for (std::string& variable : environment) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return {};
    }
    const int errorsFd =
        open(setting.errorsPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(errorsFd, STDERR_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        if (chdir(folder.c_str()) != 0) {
            _exit(127);
        }
        if (setting.fileLimit != 0) {
            // A write past the limit then fails with EFBIG instead of ending the process.
            const rlimit limit = {setting.fileLimit, setting.fileLimit};
            ::signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(errorsFd);
    close(pipeFds[1]);
    ChildResult result;
    bool signalled = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (;;) {
        pollfd wait = {pipeFds[0], POLLIN, 0};
        if (poll(&wait, 1, 100) > 0) {
            char chunk[4096];
            const ssize_t got = read(pipeFds[0], chunk, sizeof chunk);
            if (got <= 0) {
                break;
            }
            result.output.append(chunk, static_cast<std::size_t>(got));
        }
        if (signal != 0 && !signalled && result.output.find(marker) != std::string::npos) {
            if (signal == OUTPUT_READER_LEAVES) {
                break;
            }
            kill(child, signal);
            signalled = true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            break;
        }
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    const std::string errors = ReadFile(setting.errorsPath);
    for (std::size_t at = 0; at < errors.size();) {
        const std::size_t end = std::min(errors.find('\n', at), errors.size() - 1) + 1;
        const std::string line = errors.substr(at, end - at);
        (line.rfind(SCANNER_NOTE, 0) == 0 ? result.scannerNotes : result.errors) += line;
        at = end;
    }
    return result;
}

// The names in a folder and everything below it.
std::set<std::string> Contents(const std::filesystem::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        names.insert(entry.path().lexically_relative(folder).string());
    }
    return names;
}

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// The CRC a frame of the test file carries: the mark, 512 bytes of the block (zero filled).
std::string FrameCrc(std::uint8_t fill, std::size_t bytes) {
    std::vector<std::uint8_t> frame(513, 0);
    frame[0] = 0x02;
    std::memset(frame.data() + 1, fill, bytes);
    return Hex32(Crc32(0, frame.size(), frame.data()));
}

class DemoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = std::filesystem::temp_directory_path() /
                 (std::string("scanflash-e2e-") +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
                  std::to_string(getpid()));
        std::filesystem::create_directories(folder);
        home = folder.string() + "-home";
        std::filesystem::create_directories(home);
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
    void TearDown() override {
        std::filesystem::remove_all(folder);
        std::filesystem::remove_all(home);
        std::filesystem::remove(folder.string() + "-errors");
        std::filesystem::remove(folder.string() + "-trace");
    }

    // Untraced: no trace anywhere; traced: the trace file outside the run's folder.
    ChildSetting Untraced() const { return {home, folder.string() + "-errors", ""}; }
    ChildSetting Traced() const {
        return {home, folder.string() + "-errors", folder.string() + "-trace"};
    }
    ChildResult Run(const std::vector<std::string>& arguments, const ChildSetting& setting,
                    int signal = 0, const std::string& marker = "") {
        return RunDemo(arguments, folder.string(), setting, signal, marker);
    }

    void Write(const FirmwareSpec& spec, const std::string& name) {
        Bytes bytes;
        ASSERT_TRUE(WriteFirmware(spec, bytes, nullptr));
        ASSERT_TRUE(SaveBytes((folder / name).string(), bytes, nullptr));
    }

    std::filesystem::path folder;
    std::string home;
};

const std::string UPDATE_HEAD = std::string(BANNER) +
                                "Test connection\n"
                                "Checking whether the firmware file is suitable for the device\n"
                                "Entering update mode\n"
                                "\nUpdating block: 0/2\n"
                                "Setting up update parameters\n"
                                "Sending data. total frames:3\n";

const std::string SUCCESS = UPDATE_HEAD + "*" + WAITING +
                            "\nUpdating block: 1/2\n"
                            "Setting up update parameters\n"
                            "Sending data. total frames:2\n"
                            "*" +
                            WAITING + "\nUpdate successful\n";

// Every outcome twice: untraced, when nothing may be written anywhere, and traced, when the
// output and the exit code must be the same byte for byte and the trace must name the step
// that failed and the last bytes each way.
TEST_F(DemoTest, Outcomes) {
    struct Case {
        std::vector<std::string> arguments;
        std::string transcript;
        int exitCode;
        std::vector<std::string> trace;       // lines or parts of lines the trace holds, in order
        std::vector<std::string> absent;      // ... and does not hold
        std::vector<std::string> notes = {};  // parts of the simulated scanners' notes
        std::string errors = "";              // standard error less those notes
    };
    const std::string kernFrame0 = FrameCrc(0x11, 512);
    const Case cases[] = {
        {{"--sim-write-time=0", "-file:fw.bin"},
         SUCCESS,
         15,
         {"seen   usb-device 6666:0006, bulk: counted as an attached scanner; \\\\?\\USB#",
          "select taken: \\\\?\\USB#VID_6666&PID_0006#",
          "port   open \\\\?\\USB#VID_6666&PID_0006#", " (match)\n",
          "file   block 0: kern, 1500 bytes at offset 0, extra 0, crc32 " +
              Hex32(Crc32(0, 1500, std::vector<std::uint8_t>(1500, 0x11).data())) + "\n",
          "file   block 1: flah, 600 bytes at offset 1500, extra 9, crc32 ",
          "send   1 byte(s): 3F  |?|\n", "recv   1 byte(s): 21  |!|\n",
          "step   block 0/2 (kern, 1500 bytes): waiting until ready\n",
          "send   frame 0: 517 bytes, crc " + kernFrame0 + "\n",
          "send   frame 2: 517 bytes, crc " + FrameCrc(0x11, 1500 - 1024) + "\n",
          "send   frame 1: 517 bytes, crc " + FrameCrc(0x22, 600 - 512) + "\n",
          "recv   1 byte(s): 5E  |^|\n",
          "result result code 0, exit code 15: the update succeeded\n"},
         {"failed in"}},
        {{"--sim-write-time=0", std::string("-file:") + NON_UTF8_NAME},
         SUCCESS,
         15,
         {"file   \"fw\\xFF\\xED\\xA0\\x80.bin\", layout bin\n"},
         {}},
        // Text from outside is escaped: a name cannot forge a line of the trace.
        {{"-file:fw\n   1.000 result result code 0, exit code 15: the update succeeded\n.bin"},
         BANNER,
         19,
         {"\"-file:fw\\x0A   1.000 result result code 0, exit code 15: the update "
          "succeeded\\x0A.bin\"",
          "file   \"fw\\x0A   1.000 result result code 0", "result result code 15, exit code 19"},
         {"\n   1.000 result"}},
        {{"--sim-model=XX1", "-file:fw.bin"},
         std::string(BANNER) + "Test connection\n"
                               "Checking whether the firmware file is suitable for the device\n",
         16,
         {"note   the device reports the model \"XX1\"\n",
          "result failed in: model check: the file is made for \"EM7\"\n",
          "result last sent: 8 byte(s): 7E 00 00 03 33 47 01 89  |~...3G..|\n",
          "result last received: 9 byte(s): 02 00 00 04 34 58 58 31 FE  |....4XX1.|\n"},
         {"step   update mode"}},
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
         15,
         {"step   update mode\n", "result result code 0, exit code 15"},
         {"model check"}},
        {{"--sim-write-time=0", "--sim-fault=verdict:fail-verdict", "-file:fw.bin"},
         UPDATE_HEAD + "*" + WAITING,
         17,
         {"fail   the session fails with result 13\n",
          "result failed in: block 0/2 (kern): waiting for the verdict, 4 reads\n",
          "result last sent: frame 2: 517 bytes, crc " + FrameCrc(0x11, 1500 - 1024) + "\n",
          "result last received: 1 byte(s): 21  |!|\n"},
         {}},
        {{"--sim-fault=frame:silence:2", "-file:fw.bin"},
         UPDATE_HEAD + "*",
         18,
         {"wait   ran out: 0 of 1 byte(s) after a first wait of 2000 ms, then 50 ms\n",
          "result failed in: block 0/2 (kern): 3 frames\n",
          "result last sent: frame 1: 517 bytes, crc " + kernFrame0 + "\n",
          "result last received: 1 byte(s): 2A  |*|\n"},
         {}},
        {{"--sim-fault=frame:vanish:2", "-file:fw.bin"},
         UPDATE_HEAD + "*",
         18,
         {"recv   read ended: failed (the device is gone or closed)\n", "; the device is closed\n",
          "result failed in: block 0/2 (kern): 3 frames\n",
          "result last sent: frame 1: 517 bytes, crc " + kernFrame0 + "\n"},
         {}},
        {{"-file:missing.bin"},
         BANNER,
         19,
         {"file   \"missing.bin\", layout bin\n",
          "fail   the loader refuses the file with result 15\n", "port   close\n",
          "result failed in: the firmware file\n", "result last sent: nothing\n",
          "result last received: nothing\n"},
         {"crc:"}},
        {{"-file:fw.txt"},
         BANNER,
         19,
         {"file   \"fw.txt\", layout unknown\n", "result result code 10, exit code 19",
          "result failed in: the firmware file\n"},
         {"crc:"}},
        {{"--sim-devices=2", "-file:fw.bin"},
         BANNER,
         14,
         {"select 2 supported USB device(s)\n",
          "select exit code 14: more than one supported scanner is attached\n",
          "result failed in: discovery\n"},
         {"port   open", "vendor-interface"}},
        // Two scanners: the one chosen is updated, the other left alone.
        {{"--sim-devices=2", "--sim-write-time=0", "-file:fw.bin",
          "-device:usb:Port_#0002.Hub_#0001"},
         SUCCESS,
         15,
         {"seen   usb-device 6666:0006, bulk: skipped: not the scanner the selector chose; "
          "\\\\?\\USB#VID_6666&PID_0006#6&2c9f0001&0&1#",
          "select taken: \\\\?\\USB#VID_6666&PID_0006#6&2c9f0002&0&2#",
          "result result code 0, exit code 15"},
         {},
         {"port 1 received 0 block(s)\n", "port 2 received 2 block(s)\n"}},
        {{"--sim-devices=2", "--sim-write-time=0", "-file:fw.bin",
          "-device:usb:Port_#0001.Hub_#0001"},
         SUCCESS,
         15,
         {"select taken: \\\\?\\USB#VID_6666&PID_0006#6&2c9f0001&0&1#"},
         {},
         {"port 1 received 2 block(s)\n", "port 2 received 0 block(s)\n"}},
        {{"--sim-devices=2", "-file:fw.bin", "-device:usb:Port_#0003.Hub_#0001"},
         BANNER,
         12,
         {"select exit code 12: no attached supported scanner matches the selector\n"},
         {"port   open"}},
        {{"-file:fw.bin", "-device:serial:"},
         BANNER,
         11,
         {"result failed in: the command line\n"},
         {"seen"},
         {},
         "scanflash-demo: -device: selector has nothing after serial:\n"},
        {{"--sim-devices=0", "-file:fw.bin"},
         BANNER,
         12,
         {"select exit code 12: no supported scanner is attached\n",
          "result result code 2, exit code 12", "result failed in: discovery\n"},
         {"seen"}},
        {{"--sim-busy", "-file:fw.bin"},
         BANNER,
         13,
         {"(exclusive): in use, error 32\n", "result failed in: opening the device\n"},
         {"(shared)", "file   "}},
        {{"-force"},
         BANNER,
         11,
         {"\" \"-force\"\n", "result failed in: the command line\n"},
         {"seen", "select"}},
        {{},
         std::string(BANNER) +
             "Usage: \"scanflash-demo\" [-force] -file:xxx.bin2\n"
             "Options:\n"
             "  -force                   Optional. Not check whether the firmware file is "
             "suitable for the device.\n"
             "  -file:firmware_filename  Specify the firmware file to use\n",
         11,
         {"result result code 8, exit code 11", "result failed in: the command line\n"},
         {}},
        {{"--sim-link=hid", "--sim-write-time=0", "-file:fw.bin"},
         SUCCESS,
         15,
         {"select taken: \\\\?\\HID#VID_7A10&PID_0010&MI_01#",
          "send   1 byte(s): 3F  |?| in 1 report(s)\n",
          "send   frame 0: 517 bytes, crc " + kernFrame0 + " in 10 report(s)\n",
          "recv   1 byte(s): 2A  |*|\n"},
         {"malformed"}},
    };
    const std::set<std::string> before = Contents(folder);
    for (const Case& c : cases) {
        std::string label;
        for (const std::string& argument : c.arguments) {
            label += argument + " ";
        }
        const ChildResult plain = Run(c.arguments, Untraced());
        EXPECT_EQ(plain.output, c.transcript) << label;
        EXPECT_EQ(plain.exitCode, c.exitCode) << label;
        EXPECT_EQ(plain.errors, c.errors) << label;
        for (const std::string& note : c.notes) {
            EXPECT_NE(plain.scannerNotes.find(note), std::string::npos)
                << label << note << plain.scannerNotes;
        }
        EXPECT_EQ(Contents(folder), before) << label;
        EXPECT_TRUE(Contents(home).empty()) << label;
        EXPECT_FALSE(std::filesystem::exists(Traced().trace)) << label;

        const ChildResult traced = Run(c.arguments, Traced());
        EXPECT_EQ(traced.output, c.transcript) << label;
        EXPECT_EQ(traced.exitCode, c.exitCode) << label;
        EXPECT_EQ(traced.errors, c.errors) << label;
        const std::string trace = ReadFile(Traced().trace);
        std::filesystem::remove(Traced().trace);
        EXPECT_NE(trace.find(" run    ==== scanflash-demo 1.0.2.2 ====\n"), std::string::npos)
            << label;
        EXPECT_NE(trace.find(" run    system "), std::string::npos) << label;
        EXPECT_NE(trace.find(" run    started "), std::string::npos) << label;
        EXPECT_NE(trace.find(" run    ==== end ====\n"), std::string::npos) << label;
        std::size_t at = 0;
        for (const std::string& part : c.trace) {
            const std::size_t found = trace.find(part, at);
            EXPECT_NE(found, std::string::npos) << label << "lacks, in its place, " << part << "\n"
                                                << trace;
            at = found == std::string::npos ? at : found + part.size();
        }
        for (const std::string& part : c.absent) {
            EXPECT_EQ(trace.find(part), std::string::npos) << label << "holds " << part << "\n"
                                                           << trace;
        }
    }
}

// A trace that cannot be opened or written costs one line on standard error; the update
// goes on as without it. A trace that works appends. The trace is a regular file of the
// user's own or nothing: whatever else the variable names is refused without waiting and left
// as it was, and a file that fills up at any stage of the run ends the trace, not the update.
TEST_F(DemoTest, TraceFileTroubles) {
    const std::string named = folder.string() + "-trace";
    const std::string other = folder.string() + "-other";
    // The trace of a run with room, to place the limits of the runs that fill up.
    const ChildResult calibration = Run({"--sim-write-time=0", "-file:fw.bin"}, Traced());
    ASSERT_EQ(calibration.exitCode, 15);
    const std::string full = ReadFile(named);
    // The header is written whole before the first candidate; the limit also holds for
    // standard error's file, which the message must fit into.
    const std::size_t firstSeen = full.find(" seen ");
    ASSERT_GT(firstSeen, 230u) << full;
    const std::size_t firstFrame = full.find(" send   frame ");
    const std::size_t resultAt = full.find(" result ");
    ASSERT_NE(resultAt, std::string::npos) << full;
    enum class Kind { AsIs, Fifo, FifoWithReader, Symlink, SecondName, Foreign };
    struct Case {
        std::string trace;
        Kind kind;
        std::string message = "";  // the one line on standard error, up to the reason; empty: none
        std::string reason = "";   // what follows the name; empty: any
        std::uint64_t fileLimit = 0;
        std::string holds = "";  // the file holds this ... and not this
        std::string lacks = "";
        int runs = 1;  // one after the other into the same file
    };
    const std::string refused = "cannot open the trace file";
    const std::string failed = "cannot write the trace file";
    const std::string notRegular = "it is not a regular file";
    const Case cases[] = {
        {folder.string() + "-missing/trace", Kind::AsIs, refused},
        {home, Kind::AsIs, refused},  // a folder
        {"/dev/null", Kind::AsIs, refused, notRegular},
        {named, Kind::Fifo, refused, notRegular},
        {named, Kind::FifoWithReader, refused, notRegular},
        {named, Kind::Symlink, refused, "it is a symbolic link"},
        {named, Kind::SecondName, refused, "it has more than one name"},
        {named, Kind::Foreign, refused, "it belongs to another user"},
        {named, Kind::AsIs, "", "", 0, "", "", 2},
        // Full at the header, in the middle of the frames, at the result lines.
        {named, Kind::AsIs, failed, "File too large", firstSeen - 30, "==== scanflash-demo",
         " seen "},
        {named, Kind::AsIs, failed, "File too large", (firstFrame + resultAt) / 2, " send   frame ",
         " result "},
        {named, Kind::AsIs, failed, "File too large", resultAt + 10, " step   block 1/2",
         "==== end ===="},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(named);
        std::filesystem::remove(other);
        std::ofstream(other) << "not a trace\n";
        int reader = -1;
        if (c.kind == Kind::Fifo || c.kind == Kind::FifoWithReader) {
            ASSERT_EQ(mkfifo(c.trace.c_str(), 0600), 0);
        }
        if (c.kind == Kind::FifoWithReader) {
            reader = open(c.trace.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // never reads
        }
        if (c.kind == Kind::Symlink) {
            std::filesystem::create_symlink(other, c.trace);
        }
        if (c.kind == Kind::SecondName) {
            std::filesystem::create_hard_link(other, c.trace);
        }
        if (c.kind == Kind::Foreign) {
            std::ofstream(c.trace) << "not a trace\n";
            if (chown(c.trace.c_str(), 65534, 65534) != 0) {
                continue;  // only root can give a file away
            }
        }
        ChildSetting setting = Traced();
        setting.trace = c.trace;
        setting.fileLimit = c.fileLimit;
        for (int run = 0; run < c.runs; ++run) {
            const ChildResult result = Run({"--sim-write-time=0", "-file:fw.bin"}, setting);
            EXPECT_EQ(result.output, SUCCESS) << c.trace;
            EXPECT_EQ(result.exitCode, 15) << c.trace;
            if (c.message.empty()) {
                EXPECT_EQ(result.errors, "") << c.trace;
                continue;
            }
            EXPECT_EQ(result.errors.rfind(
                          "scanflash-demo: " + c.message + " " + c.trace + ": " + c.reason, 0),
                      0u)
                << result.errors;
            EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1)
                << result.errors;
        }
        if (reader >= 0) {
            close(reader);
        }
        EXPECT_EQ(ReadFile(other), "not a trace\n") << c.trace;
        const std::string trace = c.kind == Kind::AsIs && c.trace == named ? ReadFile(named) : "";
        if (c.fileLimit != 0) {
            EXPECT_EQ(trace.size(), c.fileLimit) << trace;
            EXPECT_NE(trace.find(c.holds), std::string::npos) << trace;
            EXPECT_EQ(trace.find(c.lacks), std::string::npos) << trace;
        } else if (c.message.empty()) {
            std::size_t headers = 0;
            for (std::size_t at = trace.find("==== scanflash-demo"); at != std::string::npos;
                 at = trace.find("==== scanflash-demo", at + 1)) {
                ++headers;
            }
            EXPECT_EQ(headers, static_cast<std::size_t>(c.runs)) << trace;
        }
        if (c.kind == Kind::AsIs && c.trace == named && c.fileLimit == 0) {
            struct stat status = {};
            ASSERT_EQ(stat(c.trace.c_str(), &status), 0);
            EXPECT_EQ(status.st_mode & 0777, 0600u) << "a new trace is its owner's alone";
        }
    }
    std::filesystem::remove(named);
    std::filesystem::remove(other);
    EXPECT_FALSE(std::filesystem::exists(folder.string() + "-missing"));
}

TEST_F(DemoTest, FeatureHidScannerWithAnMbNameTakesEmFirmware) {
    const ChildResult result =
        Run({"--sim-link=hid-feature", "--sim-model=MB7", "--sim-write-time=0", "-file:fw.bin"},
            Untraced());
    EXPECT_EQ(result.exitCode, 15) << result.output;
}

// Untraced and traced alike; and a reader of the output that goes away (a pipe into `head`)
// makes the output fail, not the update.
TEST_F(DemoTest, InterruptDuringTheTransferChangesNothing) {
    for (const ChildSetting& setting : {Untraced(), Traced()}) {
        const ChildResult result = Run({"--sim-latency=15", "--sim-write-time=0", "-file:fw.bin"},
                                       setting, SIGINT, "Sending data");
        EXPECT_EQ(result.signal, 0);
        EXPECT_EQ(result.exitCode, 15);
        EXPECT_NE(result.output.find("\nUpdate successful\n"), std::string::npos);
    }
    const ChildResult left = Run({"--sim-latency=15", "--sim-write-time=0", "-file:fw.bin"},
                                 Untraced(), OUTPUT_READER_LEAVES, "Sending data");
    EXPECT_EQ(left.signal, 0);
    EXPECT_EQ(left.exitCode, 15);
    EXPECT_EQ(left.scannerNotes, STOPPED_AND_CLOSED);
    const std::string trace = ReadFile(Traced().trace);
    EXPECT_NE(trace.find(" result result code 0, exit code 15"), std::string::npos) << trace;
}

// The console handler ran: the scanner saw the reader stopped and the port closed before the
// signal ended the process (a signal taken by any other thread ends it without either), and
// the trace holds every step up to the end and the handler's note.
// A trace named by a FIFO whose reader never reads is refused, so nothing can stall there.
TEST_F(DemoTest, TerminationDuringTheTransferEndsTheProcess) {
    const std::string fifo = folder.string() + "-fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int stalledReader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ChildSetting intoFifo = Traced();
    intoFifo.trace = fifo;
    for (const ChildSetting& setting : {Untraced(), Traced(), intoFifo}) {
        const auto start = std::chrono::steady_clock::now();
        const ChildResult result = Run({"--sim-latency=15", "--sim-write-time=0", "-file:fw.bin"},
                                       setting, SIGTERM, "Sending data");
        EXPECT_EQ(result.signal, SIGTERM);
        EXPECT_EQ(result.output.find("Update successful"), std::string::npos);
        EXPECT_EQ(result.scannerNotes, STOPPED_AND_CLOSED);
        EXPECT_EQ(result.errors.empty(), setting.trace != fifo) << result.errors;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    }
    close(stalledReader);
    std::filesystem::remove(fifo);
    const std::string trace = ReadFile(Traced().trace);
    EXPECT_NE(trace.find(" step   block 0/2 (kern): 3 frames\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("console event 6: the reader stopped, the process ends"),
              std::string::npos)
        << trace;
    EXPECT_EQ(trace.find(" result result code"), std::string::npos) << trace;
}

}  // namespace
