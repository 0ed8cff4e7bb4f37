#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim/pty_scanner.h"
#include "sim_test_support.h"

namespace {

// The host's end: the slave opened and made raw, as a serial port would be.
class SlaveLine {
  public:
    explicit SlaveLine(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        termios settings{};
        if (fd_ >= 0 && tcgetattr(fd_, &settings) == 0) {
            cfmakeraw(&settings);
            tcsetattr(fd_, TCSANOW, &settings);
        }
    }
    ~SlaveLine() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    bool Ok() const { return fd_ >= 0; }
    bool Write(const Bytes& bytes) {
        return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // Reads exactly n bytes unless the line stays quiet for timeoutMs or fails.
    Bytes Read(std::size_t n, int timeoutMs = 5000) {
        Bytes got;
        while (got.size() < n) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0 || (p.revents & POLLIN) == 0) {
                break;
            }
            std::uint8_t buffer[1024];
            const ssize_t k = read(fd_, buffer, std::min(sizeof buffer, n - got.size()));
            if (k <= 0) {
                break;
            }
            got.insert(got.end(), buffer, buffer + k);
        }
        return got;
    }
    // True when the line hangs up (or reads fail) within the time.
    bool HangsUp(int timeoutMs) {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) {
            return false;
        }
        std::uint8_t byte = 0;
        return (p.revents & (POLLHUP | POLLERR)) != 0 || read(fd_, &byte, 1) <= 0;
    }

  private:
    int fd_ = -1;
};

TEST(PtyScanner, WholeSessionOverTheLineIncludingNewlineBytes) {
    SimScannerConfig config;
    config.linkKind = LinkKind::SerialPort;
    config.model = "EM7\r\n";
    SimScanner scanner(config);
    PtyScanner pty(scanner);
    ASSERT_TRUE(pty.Start());
    SlaveLine line(pty.SlavePath());
    ASSERT_TRUE(line.Ok());
    // Line-discipline bytes (CR, LF, ^C, ^D, ^S, ^Q, DEL) must pass unchanged both ways.
    Bytes block = Pattern(900, 9);
    const Bytes controls = {0x0D, 0x0A, 0x03, 0x04, 0x13, 0x11, 0x7F, 0x1A};
    std::copy(controls.begin(), controls.end(), block.begin());
    const std::vector<Exchange> script = SessionScript(config.model, {{block, "appl"}});
    for (std::size_t i = 0; i < script.size(); ++i) {
        ASSERT_TRUE(line.Write(script[i].request));
        EXPECT_EQ(line.Read(script[i].answer.size()), script[i].answer) << "exchange " << i;
    }
    const std::vector<SimBlock> blocks = scanner.Blocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].data, block);
    EXPECT_TRUE(scanner.ProtocolErrors().empty());
}

TEST(PtyScanner, HidKindCarriesReportsOverTheLine) {
    SimScannerConfig config;
    config.linkKind = LinkKind::HidFeature;
    SimScanner scanner(config);
    PtyScanner pty(scanner);
    ASSERT_TRUE(pty.Start());
    SlaveLine line(pty.SlavePath());
    ASSERT_TRUE(line.Ok());
    Bytes report(64, 0);
    report[0] = 0x04;
    report[1] = 1;
    report[2] = '?';
    ASSERT_TRUE(line.Write(report));
    const Bytes answer = line.Read(64);
    ASSERT_EQ(answer.size(), 64u);
    EXPECT_EQ(answer[0], 0x02);
    EXPECT_EQ(answer[1], 1);
    EXPECT_EQ(answer[2], '!');
}

TEST(PtyScanner, VanishingHangsTheLineUp) {
    SimScannerConfig config;
    config.fault = {SimStep::UpdateMode, SimFaultKind::Vanish};
    SimScanner scanner(config);
    PtyScanner pty(scanner);
    ASSERT_TRUE(pty.Start());
    SlaveLine line(pty.SlavePath());
    ASSERT_TRUE(line.Ok());
    ASSERT_TRUE(line.Write({'?'}));
    EXPECT_EQ(line.Read(1), Bytes{'!'});
    ASSERT_TRUE(line.Write(UPDATE_MODE));
    EXPECT_TRUE(line.HangsUp(5000));
    EXPECT_TRUE(scanner.WaitUntilQuiet(5000));
    EXPECT_TRUE(scanner.Vanished());
}

}  // namespace
