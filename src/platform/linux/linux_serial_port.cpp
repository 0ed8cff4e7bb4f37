#include "platform/linux/linux_serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "common/sync.h"
#include "common/wide_string.h"

PortError PortErrorFromErrno(int error) {
    switch (error) {
        case 0:
            return PORT_ERROR_NONE;
        case ENOENT:
        case ENOTDIR:
        case ENODEV:
        case ENXIO:
            return PORT_ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
            return PORT_ERROR_ACCESS_DENIED;
        case EBUSY:
        case EWOULDBLOCK:
            return PORT_ERROR_SHARING_VIOLATION;
        default:
            return PORT_ERROR_GEN_FAILURE;
    }
}

LinuxSerialPort::LinuxSerialPort() : wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

LinuxSerialPort::~LinuxSerialPort() {
    Close();
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
}

PortError LinuxSerialPort::Open(const char16_t* path, bool shared) {
    if (fd_ >= 0) {
        return PORT_ERROR_GEN_FAILURE;
    }
    const std::string narrow = Utf16ToUtf8(path);
    const int fd = open(narrow.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return PortErrorFromErrno(errno);
    }
    if (!shared) {
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            close(fd);
            return PortErrorFromErrno(error == EWOULDBLOCK ? EBUSY : error);
        }
        // Keeps other opens of the tty out while we hold it; ptys and some drivers refuse the
        // request, and the lock above still stands then.
        ioctl(fd, TIOCEXCL);
    }
    fd_ = fd;
    DrainWake();
    return PORT_ERROR_NONE;
}

void LinuxSerialPort::Close() {
    if (fd_ < 0) {
        return;
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

void LinuxSerialPort::DrainWake() {
    eventfd_t value = 0;
    eventfd_read(wakeFd_, &value);
}

void LinuxSerialPort::WakeRead() {
    eventfd_write(wakeFd_, 1);
}

bool LinuxSerialPort::Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& count,
                           const std::atomic<bool>& cancelRead) {
    count = 0;
    if (fd_ < 0) {
        return false;
    }
    for (;;) {
        const ssize_t got = read(fd_, buffer, capacity);
        if (got > 0) {
            count = static_cast<std::uint32_t>(got);
            return true;
        }
        if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            return false;  // hang-up or a failed device
        }
        if (cancelRead.load(std::memory_order_acquire)) {
            DrainWake();
            return false;
        }
        pollfd waits[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0 && errno != EINTR) {
            return false;
        }
        if ((waits[1].revents & POLLIN) != 0) {
            DrainWake();
            // Bytes that arrived together with the stop request are still delivered.
            const ssize_t last = read(fd_, buffer, capacity);
            if (last > 0) {
                count = static_cast<std::uint32_t>(last);
                return true;
            }
            return false;
        }
    }
}

bool LinuxSerialPort::Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
                            std::uint32_t& written) {
    written = 0;
    if (fd_ < 0) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (written < length) {
        const ssize_t put = write(fd_, data + written, length - written);
        if (put > 0) {
            written += static_cast<std::uint32_t>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        int timeout = -1;
        if (waitMs != INFINITE_WAIT) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            timeout = static_cast<int>(left.count());
        }
        pollfd wait = {fd_, POLLOUT, 0};
        if (poll(&wait, 1, timeout) < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}
