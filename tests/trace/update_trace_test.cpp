// What the update trace makes of the port's traffic and the core's reports, line by line:
// the cases the whole-program runs cannot pin down (an answer that arrives while its question
// is still being written, HID writes that fail halfway, malformed input reports) and the
// closing summary of a failed run.
#include "trace/update_trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "common/wide_string.h"
#include "firmware/firmware_file.h"
#include "fwwriter/firmware_writer.h"
#include "link/device_link.h"
#include "sim/sim_port.h"
#include "trace/trace_platform.h"
#include "trace/tracing_port.h"

namespace {

constexpr std::uint32_t NO_WAIT = 0;

// A traced port over a SimPort, the trace in a file of the test's own.
class TraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path =
            std::filesystem::temp_directory_path() /
            ("scanflash-trace-" +
             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".log");
        std::filesystem::remove(path);
    }
    void TearDown() override { std::filesystem::remove(path); }

    std::string Contents() const {
        std::ifstream file(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    std::filesystem::path path;
};

bool Write(TracingPort& port, const std::vector<std::uint8_t>& bytes) {
    std::uint32_t written = 0;
    return port.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), NO_WAIT, written);
}

// The HID output reports of one write, as the link frames them.
std::vector<std::vector<std::uint8_t>> HidReports(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::vector<std::uint8_t>> reports;
    for (std::size_t at = 0; at < bytes.size(); at += 56) {
        std::vector<std::uint8_t> report(64, 0);
        const std::size_t take = std::min<std::size_t>(56, bytes.size() - at);
        report[0] = 0x04;
        report[1] = static_cast<std::uint8_t>(take);
        std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                  bytes.begin() + static_cast<std::ptrdiff_t>(at + take), report.begin() + 2);
        report[63] = at + take < bytes.size() ? 1 : 0;
        reports.push_back(report);
    }
    return reports;
}

std::vector<std::uint8_t> Frame(std::uint8_t fill) {
    std::vector<std::uint8_t> frame(517, fill);
    frame[0] = 0x02;
    const std::uint32_t crc = Crc32(0, 513, frame.data());
    for (int i = 0; i < 4; ++i) {
        frame[513 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    }
    return frame;
}

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

void SelectHid(UpdateTrace& trace) {
    SelectionOutcome outcome;
    outcome.result = RESULT_SUCCESS;
    outcome.usbDevices = 1;
    outcome.record.linkKind = LinkKind::Hid;
    CopyWide(outcome.record.path, u"hid-path");
    trace.OnOutcome(outcome);
}

TEST_F(TraceTest, Lines) {
    struct Case {
        const char* name;
        std::function<void(UpdateTrace&, SimPort&, TracingPort&)> run;
        std::vector<std::string> lines;  // in this order, each one whole line after its time
    };
    const std::vector<std::uint8_t> frame = Frame(0x5A);
    const std::string frameCrc = Hex32(Crc32(0, 513, frame.data()));
    const Case cases[] = {
        {"an answer that comes while its question is written follows it",
         [](UpdateTrace& trace, SimPort& inner, TracingPort& port) {
             inner.SetWriteHook([&trace](const std::uint8_t*, std::uint32_t) {
                 const std::uint8_t answer = '!';
                 trace.BytesRead(&answer, 1, true, false);
             });
             port.Open(u"bulk-path", false);
             Write(port, {'?'});
             trace.Finish(RESULT_SUCCESS, 15);
         },
         {"port   open bulk-path (exclusive): ok", "send   1 byte(s): 3F  |?|",
          "recv   1 byte(s): 21  |!|", "result result code 0, exit code 15: the update succeeded",
          "run    ==== end ===="}},
        {"HID reports make one message again; frames count from the last step",
         [&frame](UpdateTrace& trace, SimPort& inner, TracingPort& port) {
             SelectHid(trace);
             port.Open(u"hid-path", true);
             for (int round = 0; round < 2; ++round) {
                 TraceReport(&trace, TraceTopic::Step, "frames %d", round);
                 for (const auto& report : HidReports(frame)) {
                     Write(port, report);
                 }
                 for (const auto& report : HidReports(frame)) {
                     Write(port, report);
                 }
             }
             for (const auto& report : HidReports({'?', '?', '?'})) {
                 Write(port, report);
             }
             EXPECT_EQ(inner.Writes().size(), 41u);
         },
         {"select taken: hid-path as HID (0000:0000, no interface number)",
          "port   open hid-path (shared): ok", "step   frames 0",
          "send   frame 0: 517 bytes, crc " + frameCrc + " in 10 report(s)",
          "send   frame 1: 517 bytes, crc " + frameCrc + " in 10 report(s)", "step   frames 1",
          "send   frame 0: 517 bytes, crc " + frameCrc + " in 10 report(s)",
          "send   frame 1: 517 bytes, crc " + frameCrc + " in 10 report(s)",
          "send   3 byte(s): 3F 3F 3F  |???| in 1 report(s)"}},
        {"a HID write that fails halfway shows what went out",
         [&frame](UpdateTrace& trace, SimPort& inner, TracingPort& port) {
             SelectHid(trace);
             port.Open(u"hid-path", false);
             inner.StallWritesFrom(2);
             const auto reports = HidReports(frame);
             for (std::size_t i = 0; i < reports.size() && Write(port, reports[i]); ++i) {
             }
             trace.Finish(RESULT_PROTOCOL_ERROR, 18);
         },
         {"send   FAILED: 0 of 64 byte(s) went out in report 3; the write so far: 168 byte(s): "
          "02 5A 5A",
          "result result code 11, exit code 18: the device did not answer as the protocol "
          "requires",
          "result failed in: opening the device",
          "result last sent: FAILED: 0 of 64 byte(s) went out in report 3; the write so far: "
          "168 byte(s): 02 5A"}},
        {"HID input reports are unwrapped; others are shown as they came",
         [](UpdateTrace& trace, SimPort&, TracingPort&) {
             SelectHid(trace);
             std::vector<std::uint8_t> report(64, 0);
             report[0] = 0x02;
             report[1] = 1;
             report[2] = '*';
             trace.BytesRead(report.data(), 64, true, false);
             report[1] = 63;
             trace.BytesRead(report.data(), 64, true, false);
             const std::uint8_t shortReport[3] = {0x02, 0x01, 0x2A};
             trace.BytesRead(shortReport, 3, true, false);
             trace.BytesRead(nullptr, 0, false, true);
             trace.BytesRead(nullptr, 0, false, false);
         },
         {"recv   1 byte(s): 2A  |*|", "recv   malformed input report: 64 byte(s): 02 3F 2A 00",
          "recv   malformed input report: 3 byte(s): 02 01 2A  |..*|",
          "recv   read ended: a stop was requested",
          "recv   read ended: failed (the device is gone or closed)"}},
        {"a failure names its step and bytes, not those of the closing @Exit",
         [](UpdateTrace& trace, SimPort&, TracingPort& port) {
             port.Open(u"bulk-path", false);
             TraceReport(&trace, TraceTopic::Step, "connection test");
             Write(port, {'?'});
             const std::uint8_t wrong = 'x';
             trace.BytesRead(&wrong, 1, true, false);
             TraceReport(&trace, TraceTopic::Failure, "the session fails with result %u", 11u);
             TraceReport(&trace, TraceTopic::Step, "text command \"@Exit\"");
             Write(port, {'@', 'E'});
             const std::uint8_t reply = '0';
             trace.BytesRead(&reply, 1, true, false);
             TraceReport(&trace, TraceTopic::Failure, "a second failure changes nothing");
             trace.Finish(RESULT_PROTOCOL_ERROR, 18);
         },
         {"fail   the session fails with result 11", "step   text command \"@Exit\"",
          "result failed in: connection test", "result last sent: 1 byte(s): 3F  |?|",
          "result last received: 1 byte(s): 78  |x|"}},
        {"a serial set-up, and a blank among the bytes",
         [](UpdateTrace& trace, SimPort&, TracingPort& port) {
             port.Open(u"com-path", false);
             port.ConfigureSerial();
             Write(port, {' ', 'a', 0x7F});
             trace.Finish(RESULT_SUCCESS, 15);
         },
         {"port   serial set-up: 9600 8N1, done", "send   3 byte(s): 20 61 7F  | a.|"}},
        {"a HID write that fails at its first report",
         [&frame](UpdateTrace& trace, SimPort& inner, TracingPort& port) {
             SelectHid(trace);
             port.Open(u"hid-path", false);
             inner.StallWritesFrom(0);
             Write(port, HidReports(frame)[0]);
             trace.Finish(RESULT_PROTOCOL_ERROR, 18);
         },
         {"send   FAILED: 0 of 64 byte(s) went out in report 1"}},
        {"a file's blocks by their names, boot among them",
         [this](UpdateTrace& trace, SimPort&, TracingPort& port) {
             FirmwareSpec spec;
             spec.layout = FirmwareLayout::Bin;
             spec.blocks.push_back({"boot", Bytes(100, 0x11), 0});
             spec.blocks.push_back({"appl", Bytes(50, 0x22), 0});
             Bytes bytes;
             ASSERT_TRUE(WriteFirmware(spec, bytes, nullptr));
             const std::filesystem::path file = path.string() + ".bin";
             std::ofstream(file, std::ios::binary)
                 .write(reinterpret_cast<const char*>(bytes.data()),
                        static_cast<std::streamsize>(bytes.size()));
             DeviceLink link(port);
             link.SetTrace(&trace);
             // The link is not open: the session refuses at once, after the file's lines.
             EXPECT_EQ(UpdateFromFile(&link, file.u16string().c_str(), nullptr),
                       RESULT_NOT_CONNECTED);
             std::filesystem::remove(file);
         },
         {"file   block 0: boot, 100 bytes at offset 0", "file   block 1: appl, 50 bytes"}},
        {"a file refused before the session",
         [](UpdateTrace& trace, SimPort&, TracingPort&) {
             TraceReport(&trace, TraceTopic::File, "\"fw.bin\", layout bin");
             TraceReport(&trace, TraceTopic::Failure, "the loader refuses the file with result %u",
                         9u);
             trace.Finish(RESULT_BAD_FILE, 19);
         },
         {"file   \"fw.bin\", layout bin", "result failed in: the firmware file",
          "result last sent: nothing", "result last received: nothing"}},
    };
    // Arguments are text from outside: a line feed cannot start a line of its own, and an
    // unpaired surrogate is a broken character on Windows, an escaped byte elsewhere.
#ifdef _WIN32
    const std::string thirdArgument = "\"x\\x0A\xEF\xBF\xBD\"";
#else
    const std::string thirdArgument = "\"x\\x0A\\x80\"";
#endif
    for (const Case& c : cases) {
        std::filesystem::remove(path);
        {
            const char16_t* argv[] = {u"scanflash", u"-file:fw.bin", u"x\n\xDC80"};
            UpdateTrace trace;
            trace.Start(path.u16string(), "scanflash", "1.0.2.2", 3, argv);
            ASSERT_TRUE(trace.Active());
            SimPort inner;
            TracingPort port(inner, trace);
            c.run(trace, inner, port);
        }
        const std::string text = Contents();
        EXPECT_NE(text.find(" run    command line: \"scanflash\" \"-file:fw.bin\" " +
                            thirdArgument + "\n"),
                  std::string::npos)
            << c.name;
        std::size_t at = 0;
        for (const std::string& line : c.lines) {
            const std::size_t found = text.find(" " + line, at);
            EXPECT_NE(found, std::string::npos)
                << c.name << ": lacks, in its place, " << line << "\n"
                << text;
            at = found == std::string::npos ? at : found + line.size();
        }
    }
}

#ifndef _WIN32
// An empty variable asks for no trace, as an unset one does (POSIX environment calls).
TEST(TraceEnvironment, OnlyANonEmptyVariableNamesTheFile) {
    const char* before = std::getenv("SCANFLASH_TRACE");
    const std::string saved = before == nullptr ? "" : before;
    std::u16string path;
    setenv("SCANFLASH_TRACE", "", 1);
    EXPECT_FALSE(TraceFileFromEnvironment(path));
    setenv("SCANFLASH_TRACE", "t.log", 1);
    EXPECT_TRUE(TraceFileFromEnvironment(path));
    EXPECT_EQ(path, u"t.log");
    unsetenv("SCANFLASH_TRACE");
    EXPECT_FALSE(TraceFileFromEnvironment(path));
    if (before != nullptr) {
        setenv("SCANFLASH_TRACE", saved.c_str(), 1);
    }
}
#endif

}  // namespace
