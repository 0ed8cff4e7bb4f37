#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/wide_string.h"
#include "link/device_link.h"
#include "platform/linux/linux_serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;

// The far end of a pty stands in for the device.
class Pty {
  public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
            slavePath_ = ptsname(master_);
            termios raw{};
            tcgetattr(master_, &raw);
            cfmakeraw(&raw);
            tcsetattr(master_, TCSANOW, &raw);
        }
    }
    ~Pty() { CloseMaster(); }
    void CloseMaster() {
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
    }
    bool Ready() const { return !slavePath_.empty(); }
    int Master() const { return master_; }
    std::u16string SlavePath() const { return Utf8ToUtf16(slavePath_); }

    // Reads from the master until n bytes came or 5 s passed.
    std::vector<std::uint8_t> Receive(std::size_t n) const {
        std::vector<std::uint8_t> bytes;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (bytes.size() < n && Clock::now() < deadline) {
            pollfd wait = {master_, POLLIN, 0};
            if (poll(&wait, 1, 100) > 0) {
                std::uint8_t chunk[4096];
                const ssize_t got = read(master_, chunk, sizeof chunk);
                if (got > 0) {
                    bytes.insert(bytes.end(), chunk, chunk + got);
                }
            }
        }
        return bytes;
    }

  private:
    int master_ = -1;
    std::string slavePath_;
};

DeviceRecord SerialRecord(const std::u16string& path) {
    DeviceRecord record{};
    CopyWide(record.path, path.c_str());
    record.linkKind = LinkKind::SerialPort;
    return record;
}

TEST(LinuxSerialPort, ErrnoMapsLikeWin32Errors) {
    struct Case {
        int error;
        ResultCode expected;
    };
    const Case cases[] = {{0, RESULT_SUCCESS},           {ENOENT, RESULT_NO_DEVICE},
                          {ENOTDIR, RESULT_NO_DEVICE},   {ENODEV, RESULT_NO_DEVICE},
                          {ENXIO, RESULT_NO_DEVICE},     {EACCES, RESULT_ACCESS_DENIED},
                          {EPERM, RESULT_ACCESS_DENIED}, {EROFS, RESULT_ACCESS_DENIED},
                          {EBUSY, RESULT_ACCESS_DENIED}, {EWOULDBLOCK, RESULT_ACCESS_DENIED},
                          {EIO, RESULT_OPEN_FAILED},     {ENOTTY, RESULT_OPEN_FAILED},
                          {EINVAL, RESULT_OPEN_FAILED}};
    for (const Case& c : cases) {
        EXPECT_EQ(MapWin32Error(PortErrorFromErrno(c.error)), c.expected) << c.error;
    }
}

TEST(LinuxSerialPort, MissingPathGivesNoDevice) {
    LinuxSerialPort port;
    DeviceLink link(port);
    ResultCode result = 0;
    EXPECT_FALSE(link.Open(SerialRecord(u"/dev/scanflash-no-such-tty"), &result));
    EXPECT_EQ(result, RESULT_NO_DEVICE);
}

TEST(LinuxSerialPort, SetUpWriteAndReadThroughTheLink) {
    Pty pty;
    ASSERT_TRUE(pty.Ready());
    LinuxSerialPort port;
    DeviceLink link(port);
    ResultCode result = 99;
    ASSERT_TRUE(link.Open(SerialRecord(pty.SlavePath()), &result));
    ASSERT_EQ(result, RESULT_SUCCESS);

    // The pty pair shares its line settings, so the master shows what the set-up chose.
    termios settings{};
    ASSERT_EQ(tcgetattr(pty.Master(), &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);

    // Bytes that mean something to a cooked tty pass unchanged.
    std::vector<std::uint8_t> out(5000);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(i * 13);
    }
    ASSERT_TRUE(link.Send(out.data(), static_cast<std::uint32_t>(out.size())));
    EXPECT_EQ(pty.Receive(out.size()), out);

    const std::uint8_t answer[] = {0x02, 0x05, 0x00, 0x01, '0', 0x03, 0x11, 0x7F, 0x0D, 0x0A};
    ASSERT_EQ(write(pty.Master(), answer, sizeof answer), static_cast<ssize_t>(sizeof answer));
    std::uint8_t in[sizeof answer] = {};
    EXPECT_EQ(link.ReadTimed(5000, in, sizeof in, 500), sizeof answer);
    EXPECT_EQ(std::vector<std::uint8_t>(in, in + sizeof in),
              std::vector<std::uint8_t>(answer, answer + sizeof answer));
    link.StopReader();
}

TEST(LinuxSerialPort, StopEndsABlockedReadAtOnce) {
    Pty pty;
    ASSERT_TRUE(pty.Ready());
    LinuxSerialPort port;
    DeviceLink link(port);
    ASSERT_TRUE(link.Open(SerialRecord(pty.SlavePath()), nullptr));
    usleep(100 * 1000);  // the reader is waiting in poll by now, or soon will be
    const auto start = Clock::now();
    link.StopReader();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(link.ReaderHeld());
}

TEST(LinuxSerialPort, AnExclusiveOpenKeepsASecondOneOut) {
    Pty pty;
    ASSERT_TRUE(pty.Ready());
    LinuxSerialPort first;
    ASSERT_EQ(first.Open(pty.SlavePath().c_str(), false), PORT_ERROR_NONE);
    LinuxSerialPort second;
    DeviceLink link(second);
    ResultCode result = 0;
    EXPECT_FALSE(link.Open(SerialRecord(pty.SlavePath()), &result));
    EXPECT_EQ(result, RESULT_ACCESS_DENIED);
    first.Close();
    EXPECT_TRUE(link.Open(SerialRecord(pty.SlavePath()), &result));
    link.StopReader();
}

TEST(LinuxSerialPort, HangUpEndsTheReader) {
    Pty pty;
    ASSERT_TRUE(pty.Ready());
    LinuxSerialPort port;
    DeviceLink link(port);
    ASSERT_TRUE(link.Open(SerialRecord(pty.SlavePath()), nullptr));
    const std::uint8_t last[] = {'^'};
    ASSERT_EQ(write(pty.Master(), last, 1), 1);
    std::uint8_t got = 0;
    ASSERT_TRUE(link.ReadByte(5000, &got));
    EXPECT_EQ(got, '^');
    pty.CloseMaster();
    for (int i = 0; i < 5000 && link.IsOpen(); ++i) {
        usleep(1000);
    }
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(link.Send(last, 1));
}

}  // namespace
