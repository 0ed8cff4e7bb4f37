#include "platform/linux/usbfs_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "common/sync.h"
#include "common/wide_string.h"
#include "platform/linux/linux_fd_io.h"

namespace {

constexpr std::uint32_t INTERFACE_NUMBER_MAX = 255;

int ErrnoOf(int result) {
    return result < 0 ? errno : 0;
}

class SystemUsbfs final : public UsbfsCalls {
  public:
    int OpenNode(const char* path, int& fd) override {
        fd = open(path, O_RDWR | O_CLOEXEC);
        return ErrnoOf(fd);
    }
    int ClaimInterface(int fd, unsigned int interface) override {
        return ErrnoOf(ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface));
    }
    int ReleaseInterface(int fd, unsigned int interface) override {
        return ErrnoOf(ioctl(fd, USBDEVFS_RELEASEINTERFACE, &interface));
    }
    int SubmitUrb(int fd, usbdevfs_urb& urb) override {
        return ErrnoOf(ioctl(fd, USBDEVFS_SUBMITURB, &urb));
    }
    int DiscardUrb(int fd, usbdevfs_urb& urb) override {
        return ErrnoOf(ioctl(fd, USBDEVFS_DISCARDURB, &urb));
    }
    int ReapUrbNoDelay(int fd, usbdevfs_urb*& urb) override {
        void* completed = nullptr;
        const int error = ErrnoOf(ioctl(fd, USBDEVFS_REAPURBNDELAY, &completed));
        urb = static_cast<usbdevfs_urb*>(completed);
        return error;
    }
};

// 1 to maxDigits decimal digits and nothing else.
bool ParseDecimal(const std::string& text, std::size_t maxDigits, std::uint32_t& value) {
    if (text.empty() || text.size() > maxDigits) {
        return false;
    }
    std::uint32_t parsed = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        parsed = parsed * 10 + static_cast<std::uint32_t>(c - '0');
    }
    value = parsed;
    return true;
}

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

}  // namespace

UsbfsCalls& SystemUsbfsCalls() {
    static SystemUsbfs calls;
    return calls;
}

bool ParseUsbfsPath(const std::string& path, UsbfsAddress& address) {
    const std::size_t mark = path.rfind("#if");
    std::uint32_t interface = 0;
    if (mark == std::string::npos || !ParseDecimal(path.substr(mark + 3), 3, interface) ||
        interface > INTERFACE_NUMBER_MAX) {
        return false;
    }
    const std::string node = path.substr(0, mark);
    const std::size_t deviceSlash = node.rfind('/');
    if (deviceSlash == std::string::npos || deviceSlash == 0) {
        return false;
    }
    const std::size_t busSlash = node.rfind('/', deviceSlash - 1);
    if (busSlash == std::string::npos) {
        return false;
    }
    UsbfsAddress parsed;
    if (!ParseDecimal(node.substr(busSlash + 1, deviceSlash - busSlash - 1), 3, parsed.busNumber) ||
        !ParseDecimal(node.substr(deviceSlash + 1), 3, parsed.deviceNumber)) {
        return false;
    }
    parsed.node = node;
    parsed.interfaceNumber = static_cast<std::uint8_t>(interface);
    address = std::move(parsed);
    return true;
}

void PrepareBulkUrb(usbdevfs_urb& urb, std::uint8_t endpoint, std::uint8_t* buffer,
                    std::uint32_t length) {
    std::memset(&urb, 0, sizeof urb);
    urb.type = USBDEVFS_URB_TYPE_BULK;
    urb.endpoint = endpoint;
    urb.buffer = buffer;
    urb.buffer_length = static_cast<int>(length);
}

UsbfsPort::UsbfsPort(std::string sysRoot, UsbfsCalls& calls)
    : sysRoot_(std::move(sysRoot)), calls_(calls) {
    for (UrbSlot* slot : {&read_, &write_}) {
        slot->urb = std::make_unique<usbdevfs_urb>();
    }
}

UsbfsPort::~UsbfsPort() {
    Close();
}

PortError UsbfsPort::Open(const char16_t* path, bool) {
    if (fd_ >= 0) {
        return PORT_ERROR_GEN_FAILURE;
    }
    UsbfsAddress address;
    if (!ParseUsbfsPath(Utf16ToUtf8(path), address)) {
        return PORT_ERROR_FILE_NOT_FOUND;
    }
    int fd = -1;
    int error = calls_.OpenNode(address.node.c_str(), fd);
    if (error != 0) {
        return PortErrorFromErrno(error);
    }
    UsbDeviceInfo device;
    BulkEndpoints endpoints;
    bool found = false;
    if (FindUsbDeviceByAddress(sysRoot_, address.busNumber, address.deviceNumber, device)) {
        for (const UsbInterfaceInfo& interface : ListUsbInterfaces(device)) {
            if (interface.number == address.interfaceNumber) {
                found = FindBulkEndpoints(interface.directory, endpoints);
                break;
            }
        }
    }
    if (!found) {
        close(fd);
        return PORT_ERROR_GEN_FAILURE;
    }
    error = calls_.ClaimInterface(fd, address.interfaceNumber);
    if (error != 0) {
        close(fd);
        return PortErrorFromErrno(error);
    }
    fd_ = fd;
    interface_ = address.interfaceNumber;
    endpoints_ = endpoints;
    wake_.Drain();
    return PORT_ERROR_NONE;
}

void UsbfsPort::Close() {
    if (fd_ < 0) {
        return;
    }
    // Closing the node also discards any URB still in flight.
    calls_.ReleaseInterface(fd_, interface_);
    close(fd_);
    fd_ = -1;
}

bool UsbfsPort::SendFeatureReport(const std::uint8_t*, std::uint32_t) {
    return false;
}

bool UsbfsPort::ConfigureSerial() {
    return false;
}

void UsbfsPort::WakeRead() {
    wake_.Signal();
}

bool UsbfsPort::ReapCompleted() {
    std::lock_guard<std::mutex> hold(reapLock_);
    for (;;) {
        usbdevfs_urb* urb = nullptr;
        const int error = calls_.ReapUrbNoDelay(fd_, urb);
        if (error == EAGAIN) {
            return true;
        }
        if (error != 0) {
            return false;
        }
        UrbSlot* owner = urb == read_.urb.get()    ? &read_
                         : urb == write_.urb.get() ? &write_
                                                   : nullptr;
        if (owner != nullptr) {
            owner->reaped.store(true, std::memory_order_release);
            owner->reapedWake.Signal();
        }
    }
}

bool UsbfsPort::RunUrb(UrbSlot& slot, int timeoutMs, const std::atomic<bool>* cancelRead,
                       bool& discarded) {
    discarded = false;
    slot.reaped.store(false, std::memory_order_release);
    slot.reapedWake.Drain();
    if (calls_.SubmitUrb(fd_, *slot.urb) != 0) {
        return false;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    bool stop = false;
    while (!slot.reaped.load(std::memory_order_acquire)) {
        int wait = -1;
        if (!discarded) {
            stop = stop || (cancelRead != nullptr && cancelRead->load(std::memory_order_acquire));
            if (timeoutMs >= 0) {
                wait = MillisecondsLeft(deadline);
                stop = stop || wait == 0;
            }
            if (stop) {
                // The URB comes back (completed or cancelled) and is reaped like any other.
                calls_.DiscardUrb(fd_, *slot.urb);
                discarded = true;
                wait = -1;
            }
        }
        pollfd waits[3] = {
            {fd_, POLLOUT, 0}, {slot.reapedWake.Fd(), POLLIN, 0}, {wake_.Fd(), POLLIN, 0}};
        const nfds_t watched = cancelRead != nullptr && !discarded ? 3 : 2;
        if (poll(waits, watched, wait) < 0 && errno != EINTR) {
            return false;
        }
        if (watched == 3 && (waits[2].revents & POLLIN) != 0) {
            wake_.Drain();
            stop = true;
        }
        if ((waits[1].revents & POLLIN) != 0) {
            slot.reapedWake.Drain();
        }
        if ((waits[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            const bool present = ReapCompleted() && (waits[0].revents & (POLLERR | POLLHUP)) == 0;
            if (!present && !slot.reaped.load(std::memory_order_acquire)) {
                return false;
            }
        }
    }
    return true;
}

bool UsbfsPort::Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& count,
                     const std::atomic<bool>& cancelRead) {
    count = 0;
    if (fd_ < 0) {
        return false;
    }
    const std::uint32_t length = std::min(capacity, PORT_READ_CHUNK);
    PrepareBulkUrb(*read_.urb, endpoints_.in, read_.buffer, length);
    bool stopped = false;
    if (!RunUrb(read_, -1, &cancelRead, stopped)) {
        return false;
    }
    const usbdevfs_urb& urb = *read_.urb;
    if (urb.actual_length > 0) {
        count = std::min(static_cast<std::uint32_t>(urb.actual_length), length);
        std::memcpy(buffer, read_.buffer, count);
        return true;
    }
    return urb.status == 0 && !stopped;
}

bool UsbfsPort::Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
                      std::uint32_t& written) {
    written = 0;
    if (fd_ < 0) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (written < length) {
        int timeout = -1;
        if (waitMs != INFINITE_WAIT) {
            timeout = MillisecondsLeft(deadline);
            if (timeout == 0) {
                return false;
            }
        }
        const std::uint32_t chunk = std::min(length - written, USBFS_URB_MAX);
        std::memcpy(write_.buffer, data + written, chunk);
        PrepareBulkUrb(*write_.urb, endpoints_.out, write_.buffer, chunk);
        bool timedOut = false;
        if (!RunUrb(write_, timeout, nullptr, timedOut)) {
            return false;
        }
        const usbdevfs_urb& urb = *write_.urb;
        const std::uint32_t sent =
            std::min(static_cast<std::uint32_t>(std::max(urb.actual_length, 0)), chunk);
        written += sent;
        if (urb.status != 0 || sent != chunk) {
            return false;
        }
    }
    return true;
}
