// The file-descriptor primitives the Linux device ports share: errno to Win32 error numbers,
// opening a device node, a read that another thread can end through an eventfd, and a write
// bounded by poll.
#pragma once

#include <atomic>
#include <cstdint>

#include "link/device_port.h"

// Translates an errno value into the Win32 error number the portable code maps: missing
// paths, access problems and a device held by another process (a sharing violation, which
// the portable code retries shared for HID kinds) keep their meaning; anything else is a
// general failure.
PortError PortErrorFromErrno(int error);

// Opens a device node for reading and writing, non-blocking, not as a controlling terminal.
// fd receives the descriptor; the result is PORT_ERROR_NONE or the mapped errno.
PortError OpenDeviceNode(const char16_t* path, int& fd);

// Takes flock(LOCK_EX | LOCK_NB) on fd; a lock held through another open file is a sharing
// violation.
PortError LockExclusive(int fd);
// Takes flock(LOCK_SH | LOCK_NB) on fd: it coexists with other shared locks and with opens
// that take none, but not with an exclusive lock, which is then a sharing violation.
PortError LockShared(int fd);

// A non-blocking eventfd that lives as long as its owner: the wake-up a poll waits on next to
// a device. The descriptor is -1 when the kernel refused one; a poll then never sees it set.
class EventFd {
  public:
    EventFd();
    ~EventFd();
    EventFd(const EventFd&) = delete;
    EventFd& operator=(const EventFd&) = delete;

    int Fd() const { return fd_; }
    void Signal() const;
    // Empties a wake-up that may still be pending.
    void Drain() const;

  private:
    int fd_;
};

// One read of up to capacity bytes from the non-blocking fd, waiting in poll for input or
// for wake to be signalled. A wake-up or cancelRead found set before any byte arrived fails
// the read; bytes that arrived together with the wake-up are delivered. A hang-up (end of
// file) or a failed device fails it too.
bool ReadOrWake(int fd, const EventFd& wake, std::uint8_t* buffer, std::uint32_t capacity,
                std::uint32_t& count, const std::atomic<bool>& cancelRead);

// Writes length bytes to the non-blocking fd, waiting in poll for room until waitMs have
// passed (INFINITE_WAIT: without limit). written receives how many went out.
bool WriteWithin(int fd, const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
                 std::uint32_t& written);
