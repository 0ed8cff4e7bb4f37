#include "emulated_nodes.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

namespace {

constexpr std::size_t INPUT_REPORT_SIZE = 64;
constexpr std::size_t OUTPUT_REPORT_SIZE = 64;

void Complete(UMockdevIoctlClient* client, long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
}

void Fail(UMockdevIoctlClient* client, int error) {
    Complete(client, -1, error);
}

// The program's memory behind the ioctl argument (a pointer), length bytes of it; nullptr
// when it cannot be reached. The caller releases it.
UMockdevIoctlData* Resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length) {
    GError* error = nullptr;
    UMockdevIoctlData* resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
    if (error != nullptr) {
        std::fprintf(stderr, "umockdev cannot reach the program's memory: %s\n", error->message);
        g_error_free(error);
    }
    return resolved;
}

UMockdevIoctlData* ResolveArgument(UMockdevIoctlClient* client, std::size_t length) {
    return Resolve(umockdev_ioctl_client_get_arg(client), 0, length);
}

unsigned long RequestOf(UMockdevIoctlClient* client) {
    return umockdev_ioctl_client_get_request(client);
}

bool IsRequest(unsigned long request, unsigned long expected) {
    return request == (expected & 0xFFFFFFFFul);
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t length) {
    std::string text;
    for (std::size_t at = 0; at < length; ++at) {
        char hex[4];
        std::snprintf(hex, sizeof hex, at == 0 ? "%02x" : " %02x", bytes[at]);
        text += hex;
    }
    return text;
}

std::string UnknownIoctl(unsigned long request) {
    char text[32];
    std::snprintf(text, sizeof text, "ioctl 0x%08lx", request);
    return text;
}

// Makes the program's own call on the real file; error is its errno when it failed.
int RunOnFile(UMockdevIoctlClient* client, int& error) {
    GError* failure = nullptr;
    const int result = umockdev_ioctl_client_execute(client, &error, &failure);
    if (failure != nullptr) {
        g_error_free(failure);
        error = EIO;
        return -1;
    }
    if (result >= 0) {
        error = 0;
    }
    return result;
}

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer calls) {
    return static_cast<NodeCalls*>(calls)->OnIoctl(client) ? TRUE : FALSE;
}

gboolean HandleRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer calls) {
    return static_cast<NodeCalls*>(calls)->OnRead(client) ? TRUE : FALSE;
}

gboolean HandleWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer calls) {
    return static_cast<NodeCalls*>(calls)->OnWrite(client) ? TRUE : FALSE;
}

}  // namespace

void CallLog::Add(std::string line) {
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.push_back(std::move(line));
}

std::vector<std::string> CallLog::Lines() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_;
}

std::size_t CallLog::Count(const std::string& prefix) const {
    std::lock_guard<std::mutex> hold(mutex_);
    return static_cast<std::size_t>(
        std::count_if(lines_.begin(), lines_.end(), [&prefix](const std::string& line) {
            return line.compare(0, prefix.size(), prefix) == 0;
        }));
}

NodeHandler::NodeHandler(ScannerTestbed& testbed, std::string devnode, NodeCalls& calls)
    : testbed_(testbed),
      devnode_(std::move(devnode)),
      calls_(calls),
      handler_(umockdev_ioctl_base_new()) {
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(HandleIoctl), &calls_);
    g_signal_connect(handler_, "handle-read", G_CALLBACK(HandleRead), &calls_);
    g_signal_connect(handler_, "handle-write", G_CALLBACK(HandleWrite), &calls_);
    GError* error = nullptr;
    attached_ = umockdev_testbed_attach_ioctl(testbed_.Get(), devnode_.c_str(), handler_, &error);
    if (error != nullptr) {
        std::fprintf(stderr, "umockdev cannot attach to %s: %s\n", devnode_.c_str(),
                     error->message);
        g_error_free(error);
        attached_ = false;
    }
}

NodeHandler::~NodeHandler() {
    if (attached_) {
        GError* error = nullptr;
        umockdev_testbed_detach_ioctl(testbed_.Get(), devnode_.c_str(), &error);
        if (error != nullptr) {
            g_error_free(error);
        }
    }
    // A call that still came in would find no node behind it.
    g_signal_handlers_disconnect_by_data(handler_, &calls_);
    g_object_unref(handler_);
}

ReadinessFifo::ReadinessFifo(const std::string& path, bool onePage, bool holding) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    if (mkfifo(path.c_str(), 0600) != 0) {
        return;
    }
    fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ >= 0 && onePage && fcntl(fd_, F_SETPIPE_SZ, 4096) < 0) {
        close(fd_);
        fd_ = -1;
    }
    Hold(holding);
}

ReadinessFifo::~ReadinessFifo() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void ReadinessFifo::Hold(bool byte) {
    if (fd_ < 0 || byte == holding_) {
        return;
    }
    std::uint8_t token = 1;
    const ssize_t moved = byte ? write(fd_, &token, 1) : read(fd_, &token, 1);
    holding_ = moved == 1 ? byte : holding_;
}

TtyNode::TtyNode(ScannerTestbed& testbed, const std::string& name, SimScanner& scanner)
    : pty_(scanner), handler_(testbed, "/dev/" + name, *this) {
    const std::filesystem::path node = testbed.NodePath("/dev/" + name);
    std::error_code error;
    std::filesystem::create_directories(node.parent_path(), error);
    ok_ = pty_.Start() && StartCooked() && symlink(pty_.SlavePath().c_str(), node.c_str()) == 0;
}

bool TtyNode::StartCooked() const {
    const int line = open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    bool cooked = line >= 0 && tcgetattr(line, &settings) == 0;
    settings.c_iflag = ICRNL | IXON;
    settings.c_oflag = OPOST | ONLCR;
    settings.c_cflag = CS8 | CREAD | HUPCL | CLOCAL;
    settings.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE | IEXTEN;
    cooked = cooked && cfsetispeed(&settings, B9600) == 0 && cfsetospeed(&settings, B9600) == 0 &&
             tcsetattr(line, TCSANOW, &settings) == 0;
    if (line >= 0) {
        close(line);
    }
    return cooked;
}

std::string TtyNode::LineSettings() const {
    const int line = open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    const bool read = line >= 0 && tcgetattr(line, &settings) == 0;
    if (line >= 0) {
        close(line);
    }
    if (!read) {
        return "unreadable";
    }
    std::string text = cfgetospeed(&settings) == B9600 ? "9600" : "not 9600";
    const struct {
        tcflag_t flags;
        tcflag_t flag;
        const char* name;
    } NAMED[] = {{settings.c_lflag, ICANON, " icanon"}, {settings.c_lflag, ECHO, " echo"},
                 {settings.c_iflag, ICRNL, " icrnl"},   {settings.c_iflag, IXON, " ixon"},
                 {settings.c_oflag, OPOST, " opost"},   {settings.c_lflag, ISIG, " isig"}};
    for (const auto& named : NAMED) {
        if ((named.flags & named.flag) != 0) {
            text += named.name;
        }
    }
    return text;
}

bool TtyNode::OnIoctl(UMockdevIoctlClient* client) {
    const unsigned long request = RequestOf(client);
    if (IsRequest(request, TIOCEXCL) || IsRequest(request, TIOCNXCL)) {
        log_.Add(IsRequest(request, TIOCEXCL) ? "TIOCEXCL" : "TIOCNXCL");
        Complete(client, 0, 0);
        return true;
    }
    if (IsRequest(request, TIOCMBIS)) {
        UMockdevIoctlData* lines = ResolveArgument(client, sizeof(int));
        if (lines == nullptr) {
            Fail(client, EFAULT);
            return true;
        }
        char line[32];
        std::snprintf(line, sizeof line, "TIOCMBIS 0x%03x", *reinterpret_cast<int*>(lines->data));
        log_.Add(line);
        Complete(client, 0, 0);
        g_object_unref(lines);
        return true;
    }
    log_.Add(UnknownIoctl(request));
    int error = 0;
    const int result = RunOnFile(client, error);
    Complete(client, result, error);
    return true;
}

bool TtyNode::OnRead(UMockdevIoctlClient* client) {
    int error = 0;
    const int result = RunOnFile(client, error);
    if (result == 0 || (result < 0 && error != EAGAIN)) {
        log_.Add("read failed");
    }
    Complete(client, result, error);
    return true;
}

HidrawNode::HidrawNode(ScannerTestbed& testbed, const std::string& name, SimScanner& scanner,
                       HidrawFaults faults)
    : testbed_(testbed),
      name_(name),
      scanner_(scanner),
      faults_(faults),
      fifo_(testbed.NodePath("/dev/" + name), false, false),
      handler_(testbed, "/dev/" + name, *this) {
    scanner_.Attach(
        [this](const std::uint8_t* bytes, std::size_t length) { Deliver(bytes, length); },
        [this] { Vanish(); });
}

HidrawNode::~HidrawNode() {
    scanner_.Detach();
}

void HidrawNode::Deliver(const std::uint8_t* bytes, std::size_t length) {
    std::vector<std::uint8_t> reports;
    AppendInputReports(bytes, length, reports);
    std::lock_guard<std::mutex> hold(mutex_);
    for (std::size_t at = 0; at < reports.size(); at += INPUT_REPORT_SIZE) {
        reports_.emplace_back(
            reports.begin() + static_cast<std::ptrdiff_t>(at),
            reports.begin() + static_cast<std::ptrdiff_t>(at + INPUT_REPORT_SIZE));
    }
    fifo_.Hold(!reports_.empty());
}

void HidrawNode::Vanish() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        vanished_ = true;
        fifo_.Hold(true);
    }
    if (faults_.removalUevent) {
        testbed_.Uevent("/sys/class/hidraw/" + name_, "remove");
    }
}

bool HidrawNode::OnRead(UMockdevIoctlClient* client) {
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> hold(mutex_);
    if (vanished_) {
        log_.Add("read failed");
        Fail(client, faults_.error);
        return true;
    }
    if (reports_.empty()) {
        Fail(client, EAGAIN);
        return true;
    }
    const std::vector<std::uint8_t> report = std::move(reports_.front());
    reports_.pop_front();
    fifo_.Hold(!reports_.empty());
    ++reportsRead_;
    std::size_t length = report.size();
    if (faults_.shortRead == ShortRead::Trimmed) {
        length = 2u + report[1];
    } else if (faults_.shortRead == ShortRead::CutPayload && reportsRead_ == faults_.cutReport) {
        length = 2;
        log_.Add("read cut");
    }
    length = std::min(length, static_cast<std::size_t>(buffer->data_len));
    std::memcpy(buffer->data, report.data(), length);
    Complete(client, static_cast<long>(length), 0);
    return true;
}

bool HidrawNode::OnWrite(UMockdevIoctlClient* client) {
    UMockdevIoctlData* written = umockdev_ioctl_client_get_arg(client);
    const std::size_t length = static_cast<std::size_t>(written->data_len);
    {
        std::lock_guard<std::mutex> hold(mutex_);
        ++writes_;
        const bool failing = faults_.failWritesFrom != 0 && writes_ >= faults_.failWritesFrom;
        if (vanished_ || failing) {
            log_.Add("write failed");
            Fail(client, faults_.error);
            return true;
        }
    }
    if (length == OUTPUT_REPORT_SIZE) {
        reader_.Feed(written->data, length, scanner_);
    } else {
        scanner_.NoteProtocolError("hidraw write of " + std::to_string(length) + " bytes");
    }
    Complete(client, static_cast<long>(length + faults_.writeCountExcess), 0);
    return true;
}

bool HidrawNode::OnIoctl(UMockdevIoctlClient* client) {
    const unsigned long request = RequestOf(client);
    if (_IOC_TYPE(request) == 'H' && _IOC_NR(request) == _IOC_NR(HIDIOCSFEATURE(0))) {
        const std::size_t length = _IOC_SIZE(request);
        UMockdevIoctlData* report = ResolveArgument(client, length);
        if (report == nullptr) {
            Fail(client, EFAULT);
            return true;
        }
        log_.Add("HIDIOCSFEATURE " + HexBytes(report->data, length));
        if (faults_.refuseFeature) {
            Fail(client, EPIPE);
        } else {
            scanner_.OnFeatureReport(report->data, length);
            Complete(client, static_cast<long>(length), 0);
        }
        g_object_unref(report);
        return true;
    }
    const std::vector<std::uint8_t>& descriptor = ScannerReportDescriptor();
    if (IsRequest(request, HIDIOCGRDESCSIZE)) {
        UMockdevIoctlData* size = ResolveArgument(client, sizeof(int));
        if (size == nullptr) {
            Fail(client, EFAULT);
            return true;
        }
        *reinterpret_cast<int*>(size->data) = static_cast<int>(descriptor.size());
        log_.Add("HIDIOCGRDESCSIZE");
        Complete(client, 0, 0);
        g_object_unref(size);
        return true;
    }
    if (IsRequest(request, HIDIOCGRDESC)) {
        UMockdevIoctlData* answer = ResolveArgument(client, sizeof(hidraw_report_descriptor));
        if (answer == nullptr) {
            Fail(client, EFAULT);
            return true;
        }
        auto* value = reinterpret_cast<hidraw_report_descriptor*>(answer->data);
        if (value->size > HID_MAX_DESCRIPTOR_SIZE) {
            Fail(client, EINVAL);
        } else {
            std::memcpy(value->value, descriptor.data(),
                        std::min<std::size_t>(value->size, descriptor.size()));
            log_.Add("HIDIOCGRDESC");
            Complete(client, 0, 0);
        }
        g_object_unref(answer);
        return true;
    }
    log_.Add(UnknownIoctl(request));
    Fail(client, ENOTTY);
    return true;
}

UsbfsNode::UsbfsNode(ScannerTestbed& testbed, const std::string& port, std::uint8_t interfaceNumber,
                     SimScanner& scanner, UsbfsFaults faults)
    : scanner_(scanner),
      interfaceNumber_(interfaceNumber),
      faults_(faults),
      fifo_(testbed.NodePath(UsbfsNodePath(testbed.DeviceNumber(port))), true, true),
      handler_(testbed, UsbfsNodePath(testbed.DeviceNumber(port)), *this) {
    scanner_.Attach(
        [this](const std::uint8_t* bytes, std::size_t length) {
            std::lock_guard<std::mutex> hold(mutex_);
            answers_.insert(answers_.end(), bytes, bytes + length);
            UpdateReadiness();
        },
        [this] { Vanish(); });
}

UsbfsNode::~UsbfsNode() {
    scanner_.Detach();
    for (Urb& urb : urbs_) {
        g_object_unref(urb.buffer);
        g_object_unref(urb.urb);
    }
}

std::uint32_t UsbfsNode::EmptyReaps() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return emptyReaps_;
}

bool UsbfsNode::OnRead(UMockdevIoctlClient* client) {
    Fail(client, EINVAL);
    return true;
}

bool UsbfsNode::OnWrite(UMockdevIoctlClient* client) {
    Fail(client, EINVAL);
    return true;
}

bool UsbfsNode::OnIoctl(UMockdevIoctlClient* client) {
    const unsigned long request = RequestOf(client);
    if (IsRequest(request, USBDEVFS_CLAIMINTERFACE) ||
        IsRequest(request, USBDEVFS_RELEASEINTERFACE)) {
        const bool claim = IsRequest(request, USBDEVFS_CLAIMINTERFACE);
        UMockdevIoctlData* number = ResolveArgument(client, sizeof(unsigned int));
        if (number == nullptr) {
            Fail(client, EFAULT);
            return true;
        }
        const unsigned int interface = *reinterpret_cast<unsigned int*>(number->data);
        std::lock_guard<std::mutex> hold(mutex_);
        const bool heldElsewhere = claimant_ != nullptr && claimant_ != client;
        log_.Add((claim ? "CLAIMINTERFACE " : "RELEASEINTERFACE ") + std::to_string(interface) +
                 (heldElsewhere ? " busy" : ""));
        if (interface != interfaceNumber_) {
            Fail(client, claim ? ENOENT : EINVAL);
        } else if (heldElsewhere) {
            Fail(client, claim ? EBUSY : EINVAL);
        } else {
            claimant_ = claim ? client : nullptr;
            Complete(client, 0, 0);
        }
        g_object_unref(number);
        return true;
    }
    if (IsRequest(request, USBDEVFS_SUBMITURB)) {
        Submit(client);
    } else if (IsRequest(request, USBDEVFS_DISCARDURB)) {
        Discard(client);
    } else if (IsRequest(request, USBDEVFS_REAPURBNDELAY)) {
        Reap(client);
    } else {
        log_.Add(UnknownIoctl(request));
        Fail(client, ENOTTY);
    }
    return true;
}

void UsbfsNode::Submit(UMockdevIoctlClient* client) {
    UMockdevIoctlData* urbData = ResolveArgument(client, sizeof(usbdevfs_urb));
    if (urbData == nullptr) {
        Fail(client, EFAULT);
        return;
    }
    const usbdevfs_urb& view = *reinterpret_cast<const usbdevfs_urb*>(urbData->data);
    const bool in = view.endpoint == BULK_IN_ENDPOINT;
    if (view.type != USBDEVFS_URB_TYPE_BULK || (!in && view.endpoint != BULK_OUT_ENDPOINT) ||
        view.buffer_length <= 0) {
        log_.Add("SUBMITURB refused");
        Fail(client, EINVAL);
        g_object_unref(urbData);
        return;
    }
    const std::uint32_t length = static_cast<std::uint32_t>(view.buffer_length);
    UMockdevIoctlData* buffer = Resolve(urbData, offsetof(usbdevfs_urb, buffer), length);
    if (buffer == nullptr) {
        Fail(client, EFAULT);
        g_object_unref(urbData);
        return;
    }
    std::unique_lock<std::mutex> hold(mutex_);
    if (!in && faults_.urb == UrbFault::SubmitFails && outUrbs_ + 1 == faults_.occurrence) {
        submissionsFail_ = true;
    }
    if (submissionsFail_ || (vanished_ && faults_.vanish == UsbfsVanish::UrbsShutDown)) {
        log_.Add("SUBMITURB failed");
        Fail(client, submissionsFail_ ? faults_.error : ENODEV);
        g_object_unref(buffer);
        g_object_unref(urbData);
        return;
    }
    urbs_.push_back({client, urbData->client_addr, urbData, buffer, in, length});
    Urb& urb = urbs_.back();
    log_.Add(std::string("SUBMITURB ") + (in ? "in " : "out ") + std::to_string(length));
    if (!in) {
        ++outUrbs_;
        const bool hit = faults_.occurrence == outUrbs_;
        if (hit && faults_.urb == UrbFault::OutNeverCompletes) {
            log_.Add("OUT URB held " + std::to_string(length));
        } else if (hit && faults_.urb == UrbFault::OutStatus) {
            Finish(urb, faults_.status, 0);
        } else {
            const std::vector<std::uint8_t> bytes(buffer->data, buffer->data + length);
            Finish(urb, 0, length);
            hold.unlock();
            scanner_.OnHostBytes(bytes.data(), bytes.size());
            hold.lock();
        }
    }
    UpdateReadiness();
    Complete(client, 0, 0);
}

void UsbfsNode::Discard(UMockdevIoctlClient* client) {
    const gulong address =
        *reinterpret_cast<const gulong*>(umockdev_ioctl_client_get_arg(client)->data);
    std::lock_guard<std::mutex> hold(mutex_);
    for (Urb& urb : urbs_) {
        if (urb.client == client && urb.address == address && !urb.done) {
            log_.Add(std::string("DISCARDURB ") + (urb.in ? "in " : "out ") +
                     std::to_string(urb.length));
            Finish(urb, -ENOENT, 0);
            UpdateReadiness();
            Complete(client, 0, 0);
            return;
        }
    }
    Fail(client, EINVAL);
}

void UsbfsNode::Reap(UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (vanished_ && faults_.vanish == UsbfsVanish::ReapFails) {
        log_.Add("REAPURBNDELAY failed");
        Fail(client, faults_.error);
        return;
    }
    Urb* reaped = nullptr;
    for (auto at = completed_.begin(); at != completed_.end(); ++at) {
        if ((*at)->client == client) {
            reaped = *at;
            completed_.erase(at);
            break;
        }
    }
    std::vector<std::uint8_t> data;
    if (reaped == nullptr && !answers_.empty()) {
        for (Urb& urb : urbs_) {
            if (urb.client == client && urb.in && !urb.done) {
                reaped = &urb;
                break;
            }
        }
        if (reaped != nullptr) {
            reaped->done = true;
            if (faults_.urb == UrbFault::InStatus && faults_.occurrence == ++inCompletions_) {
                reaped->status = faults_.status;
            } else {
                const std::size_t take = std::min<std::size_t>(answers_.size(), reaped->length);
                data.assign(answers_.begin(), answers_.begin() + static_cast<std::ptrdiff_t>(take));
                answers_.erase(answers_.begin(),
                               answers_.begin() + static_cast<std::ptrdiff_t>(take));
                reaped->actual = static_cast<std::uint32_t>(take);
            }
        }
    }
    if (reaped == nullptr) {
        ++emptyReaps_;
        Fail(client, vanished_ && faults_.vanish == UsbfsVanish::UrbsShutDown ? ENODEV : EAGAIN);
        return;
    }
    UMockdevIoctlData* slot = ResolveArgument(client, sizeof(gpointer));
    if (slot == nullptr) {
        Fail(client, EFAULT);
        return;
    }
    auto& view = *reinterpret_cast<usbdevfs_urb*>(reaped->urb->data);
    view.status = reaped->status;
    view.actual_length = static_cast<int>(reaped->actual);
    std::copy(data.begin(), data.end(), reaped->buffer->data);
    umockdev_ioctl_data_set_ptr(slot, 0, reaped->urb);
    char line[64];
    std::snprintf(line, sizeof line, "REAPURBNDELAY %s %u status %d actual %u",
                  reaped->in ? "in" : "out", reaped->length, reaped->status, reaped->actual);
    log_.Add(line);
    Complete(client, 0, 0);
    g_object_unref(slot);
    g_object_unref(reaped->buffer);
    g_object_unref(reaped->urb);
    urbs_.remove_if([reaped](const Urb& urb) { return &urb == reaped; });
    UpdateReadiness();
}

void UsbfsNode::Finish(Urb& urb, int status, std::uint32_t actual) {
    urb.done = true;
    urb.status = status;
    urb.actual = actual;
    completed_.push_back(&urb);
}

void UsbfsNode::UpdateReadiness() {
    bool reapable = !completed_.empty() || vanished_;
    if (!answers_.empty()) {
        reapable = reapable || std::any_of(urbs_.begin(), urbs_.end(),
                                           [](const Urb& urb) { return urb.in && !urb.done; });
    }
    fifo_.Hold(!reapable);
}

void UsbfsNode::Vanish() {
    std::lock_guard<std::mutex> hold(mutex_);
    vanished_ = true;
    answers_.clear();
    if (faults_.vanish == UsbfsVanish::UrbsShutDown) {
        for (Urb& urb : urbs_) {
            if (!urb.done) {
                Finish(urb, -ESHUTDOWN, 0);
            }
        }
    }
    UpdateReadiness();
}
