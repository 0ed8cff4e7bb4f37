#include "sim/pty_scanner.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

constexpr std::size_t READ_CHUNK = 4096;
constexpr int WRITE_RETRY_MS = 100;

void CloseFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

PtyScanner::PtyScanner(SimScanner& scanner)
    : scanner_(scanner),
      hid_(scanner.Config().linkKind == LinkKind::Hid ||
           scanner.Config().linkKind == LinkKind::HidFeature) {}

PtyScanner::~PtyScanner() {
    // Stopping first lets a write that waits for room give up, so Detach cannot hang on it.
    stopping_.store(true);
    scanner_.Detach();
    Wake();
    readerThread_.Join();
    CloseLine();
    CloseFd(wakeRead_);
    CloseFd(wakeWrite_);
}

bool PtyScanner::OpenLine() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        return false;
    }
    char name[128] = {};
    if (ptsname_r(master_, name, sizeof name) != 0) {
        return false;
    }
    holdSlave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (holdSlave_ < 0 || tcgetattr(holdSlave_, &settings) != 0) {
        return false;
    }
    cfmakeraw(&settings);
    if (tcsetattr(holdSlave_, TCSANOW, &settings) != 0 ||
        fcntl(master_, F_SETFL, O_NONBLOCK) != 0) {
        return false;
    }
    int pipeFds[2] = {-1, -1};
    if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    slavePath_ = name;
    return true;
}

bool PtyScanner::Start() {
    if (master_ >= 0 || readerThread_.Held()) {
        return false;
    }
    if (!OpenLine()) {
        const int error = errno;
        CloseLine();
        CloseFd(wakeRead_);
        CloseFd(wakeWrite_);
        slavePath_.clear();
        errno = error;
        return false;
    }
    if (scanner_.Config().linkKind == LinkKind::HidFeature) {
        const std::uint8_t on[2] = {0xFE, 0x01};
        scanner_.OnFeatureReport(on, sizeof on);
    }
    scanner_.Attach(
        [this](const std::uint8_t* bytes, std::size_t length) {
            if (!hid_) {
                WriteToMaster(bytes, length);
                return;
            }
            std::vector<std::uint8_t> reports;
            AppendInputReports(bytes, length, reports);
            WriteToMaster(reports.data(), reports.size());
        },
        [this] { RequestVanish(); });
    if (!readerThread_.Start(&PtyScanner::ReaderEntry, this)) {
        scanner_.Detach();
        CloseLine();
        slavePath_.clear();
        errno = EAGAIN;
        return false;
    }
    return true;
}

void PtyScanner::ReaderEntry(void* self) {
    static_cast<PtyScanner*>(self)->ReaderLoop();
}

void PtyScanner::ReaderLoop() {
    std::uint8_t buffer[READ_CHUNK];
    for (;;) {
        pollfd fds[2] = {{master_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            while (read(wakeRead_, buffer, sizeof buffer) > 0) {
            }
            if (stopping_.load()) {
                return;
            }
            if (vanishRequested_.load()) {
                // Only this thread polls the master, so only it may close it.
                CloseLine();
                return;
            }
        }
        if (fds[0].revents == 0) {
            continue;
        }
        const ssize_t got = read(master_, buffer, sizeof buffer);
        if (got > 0) {
            const std::size_t count = static_cast<std::size_t>(got);
            if (hid_) {
                reader_.Feed(buffer, count, scanner_);
            } else {
                scanner_.OnHostBytes(buffer, count);
            }
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        return;
    }
}

void PtyScanner::WriteToMaster(const std::uint8_t* bytes, std::size_t length) {
    std::lock_guard<std::mutex> hold(fdMutex_);
    while (length > 0 && master_ >= 0 && !stopping_.load()) {
        const ssize_t sent = write(master_, bytes, length);
        if (sent > 0) {
            bytes += sent;
            length -= static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && errno == EAGAIN) {
            // The host is not reading; wait for room, but look at stopping_ now and then.
            pollfd room = {master_, POLLOUT, 0};
            poll(&room, 1, WRITE_RETRY_MS);
            continue;
        }
        return;
    }
}

void PtyScanner::RequestVanish() {
    vanishRequested_.store(true);
    Wake();
}

void PtyScanner::Wake() {
    if (wakeWrite_ >= 0) {
        const std::uint8_t signal = 1;
        // A write that fails finds the pipe full, which already holds a wake-up.
        const ssize_t written = write(wakeWrite_, &signal, 1);
        static_cast<void>(written);
    }
}

void PtyScanner::CloseLine() {
    std::lock_guard<std::mutex> hold(fdMutex_);
    CloseFd(master_);
    CloseFd(holdSlave_);
}
