#include "platform/linux/linux_serial_port.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

LinuxSerialPort::LinuxSerialPort() = default;

LinuxSerialPort::~LinuxSerialPort() {
    Close();
}

PortError LinuxSerialPort::Open(const char16_t* path, bool shared) {
    if (fd_ >= 0) {
        return PORT_ERROR_GEN_FAILURE;
    }
    int fd = -1;
    const PortError opened = OpenDeviceNode(path, fd);
    if (opened != PORT_ERROR_NONE) {
        return opened;
    }
    if (!shared) {
        const PortError locked = LockExclusive(fd);
        if (locked != PORT_ERROR_NONE) {
            close(fd);
            return locked;
        }
        // Keeps other opens of the tty out while we hold it; ptys and some drivers refuse the
        // request, and the lock above still stands then.
        ioctl(fd, TIOCEXCL);
    }
    fd_ = fd;
    wake_.Drain();
    return PORT_ERROR_NONE;
}

void LinuxSerialPort::Close() {
    if (fd_ < 0) {
        return;
    }
    // The kernel keeps a tty's settings after the last close, so the line goes back to what
    // its previous user left. A hung-up line refuses this, and then nobody needs it.
    if (settingsSaved_) {
        tcsetattr(fd_, TCSANOW, &savedSettings_);
        settingsSaved_ = false;
    }
    ioctl(fd_, TIOCNXCL);
    close(fd_);
    fd_ = -1;
}

bool LinuxSerialPort::SendFeatureReport(const std::uint8_t*, std::uint32_t) {
    return false;
}

bool LinuxSerialPort::ConfigureSerial() {
    if (fd_ < 0) {
        return false;
    }
    termios settings{};
    if (tcgetattr(fd_, &settings) != 0) {
        return false;
    }
    if (!settingsSaved_) {
        savedSettings_ = settings;
        settingsSaved_ = true;
    }
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    // VMIN 1: with no byte waiting a non-blocking read says EAGAIN, so that 0 means hang-up.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, B9600) != 0 || cfsetospeed(&settings, B9600) != 0 ||
        tcsetattr(fd_, TCSANOW, &settings) != 0) {
        return false;
    }
    // DTR and RTS on. A pty has no modem lines and refuses this; the line works all the same.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd_, TIOCMBIS, &lines);
    tcflush(fd_, TCIOFLUSH);
    return true;
}

void LinuxSerialPort::WakeRead() {
    wake_.Signal();
}

bool LinuxSerialPort::Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& count,
                           const std::atomic<bool>& cancelRead) {
    count = 0;
    return fd_ >= 0 && ReadOrWake(fd_, wake_, buffer, capacity, count, cancelRead);
}

bool LinuxSerialPort::Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
                            std::uint32_t& written) {
    written = 0;
    return fd_ >= 0 && WriteWithin(fd_, data, length, waitMs, written);
}
