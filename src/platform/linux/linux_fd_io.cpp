#include "platform/linux/linux_fd_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
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
        case EROFS:
            return PORT_ERROR_ACCESS_DENIED;
        case EBUSY:
        case EWOULDBLOCK:
            return PORT_ERROR_SHARING_VIOLATION;
        default:
            return PORT_ERROR_GEN_FAILURE;
    }
}

PortError OpenDeviceNode(const char16_t* path, int& fd) {
    const std::string narrow = Utf16ToUtf8(path);
    fd = open(narrow.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    return fd < 0 ? PortErrorFromErrno(errno) : PORT_ERROR_NONE;
}

namespace {

PortError TakeLock(int fd, int operation) {
    if (flock(fd, operation | LOCK_NB) == 0) {
        return PORT_ERROR_NONE;
    }
    const int error = errno;
    return PortErrorFromErrno(error == EWOULDBLOCK ? EBUSY : error);
}

}  // namespace

PortError LockExclusive(int fd) {
    return TakeLock(fd, LOCK_EX);
}

PortError LockShared(int fd) {
    return TakeLock(fd, LOCK_SH);
}

EventFd::EventFd() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

EventFd::~EventFd() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void EventFd::Signal() const {
    eventfd_write(fd_, 1);
}

void EventFd::Drain() const {
    eventfd_t value = 0;
    eventfd_read(fd_, &value);
}

bool ReadOrWake(int fd, const EventFd& wake, std::uint8_t* buffer, std::uint32_t capacity,
                std::uint32_t& count, const std::atomic<bool>& cancelRead) {
    count = 0;
    for (;;) {
        const ssize_t got = read(fd, buffer, capacity);
        if (got > 0) {
            count = static_cast<std::uint32_t>(got);
            return true;
        }
        if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            return false;  // hang-up or a failed device
        }
        if (cancelRead.load(std::memory_order_acquire)) {
            wake.Drain();
            return false;
        }
        pollfd waits[2] = {{fd, POLLIN, 0}, {wake.Fd(), POLLIN, 0}};
        if (poll(waits, 2, -1) < 0 && errno != EINTR) {
            return false;
        }
        if ((waits[1].revents & POLLIN) != 0) {
            wake.Drain();
            // Bytes that arrived together with the stop request are still delivered.
            const ssize_t last = read(fd, buffer, capacity);
            if (last > 0) {
                count = static_cast<std::uint32_t>(last);
                return true;
            }
            return false;
        }
    }
}

bool WriteWithin(int fd, const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
                 std::uint32_t& written) {
    written = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (written < length) {
        const ssize_t put = write(fd, data + written, length - written);
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
        pollfd wait = {fd, POLLOUT, 0};
        if (poll(&wait, 1, timeout) < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}
