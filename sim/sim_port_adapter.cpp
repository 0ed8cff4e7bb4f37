#include "sim/sim_port_adapter.h"

#include <mutex>
#include <string>
#include <vector>

#include "sim/hid_framing.h"

namespace {

bool IsHid(LinkKind kind) {
    return kind == LinkKind::Hid || kind == LinkKind::HidFeature;
}

}  // namespace

struct SimPortAdapter::Bridge {
    std::mutex mutex;
    SimScanner* scanner = nullptr;  // null once the adapter has gone
    bool hid = false;
    HidOutputReader reader;

    void FromHost(const std::uint8_t* bytes, std::uint32_t length) {
        std::lock_guard<std::mutex> hold(mutex);
        if (scanner == nullptr) {
            return;
        }
        if (!hid) {
            scanner->OnHostBytes(bytes, length);
            return;
        }
        if (length != SIM_HID_REPORT_SIZE) {
            scanner->NoteProtocolError("HID write of " + std::to_string(length) + " bytes");
            return;
        }
        reader.Feed(bytes, length, *scanner);
    }

    void Feature(const std::uint8_t* report, std::uint32_t length) {
        std::lock_guard<std::mutex> hold(mutex);
        if (scanner != nullptr) {
            scanner->OnFeatureReport(report, length);
        }
    }
};

SimPortAdapter::SimPortAdapter(SimScanner& scanner, SimPort& port)
    : scanner_(scanner), port_(port), bridge_(std::make_shared<Bridge>()) {
    const bool hid = IsHid(scanner.Config().linkKind);
    bridge_->scanner = &scanner;
    bridge_->hid = hid;
    std::shared_ptr<Bridge> bridge = bridge_;
    port.SetWriteHook([bridge](const std::uint8_t* bytes, std::uint32_t length) {
        bridge->FromHost(bytes, length);
    });
    port.SetFeatureHook([bridge](const std::uint8_t* report, std::uint32_t length) {
        bridge->Feature(report, length);
    });
    SimPort* target = &port;
    scanner.Attach(
        [target, hid](const std::uint8_t* bytes, std::size_t length) {
            if (!hid) {
                target->Deliver(bytes, static_cast<std::uint32_t>(length));
                return;
            }
            std::vector<std::uint8_t> reports;
            AppendInputReports(bytes, length, reports);
            for (std::size_t at = 0; at < reports.size(); at += SIM_HID_REPORT_SIZE) {
                target->Deliver(reports.data() + at, SIM_HID_REPORT_SIZE);
            }
        },
        [target] { target->FailReads(); });
}

SimPortAdapter::~SimPortAdapter() {
    port_.SetWriteHook(nullptr);
    port_.SetFeatureHook(nullptr);
    {
        std::lock_guard<std::mutex> hold(bridge_->mutex);
        bridge_->scanner = nullptr;
    }
    scanner_.Detach();
}
