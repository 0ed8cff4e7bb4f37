#include "sim/scripted_device.h"

#include <algorithm>

#include "sim/hid_framing.h"

namespace {

constexpr std::size_t HID_CONTINUATION = SIM_HID_REPORT_SIZE - 1;

}  // namespace

// Shared with the port's write hook and with the pieces waiting on the clock, which may
// outlive the device object.
struct ScriptedDevice::Shared {
    std::mutex mutex;
    SimPort* port = nullptr;  // null once the device has gone
    bool hid = false;
    std::deque<Answer> script;
    Responder responder;
    std::vector<std::vector<std::uint8_t>> requests;
    std::vector<std::uint8_t> partial;  // HID: data of the reports of an unfinished write
    std::uint32_t delivered = 0;

    void Send(const std::vector<std::uint8_t>& bytes, bool raw) {
        SimPort* target = nullptr;
        {
            std::lock_guard<std::mutex> hold(mutex);
            if (port == nullptr || bytes.empty()) {
                return;
            }
            target = port;
            ++delivered;
        }
        if (!hid || raw) {
            target->Deliver(bytes);
            return;
        }
        std::vector<std::uint8_t> reports;
        AppendInputReports(bytes.data(), bytes.size(), reports);
        for (std::size_t at = 0; at < reports.size(); at += SIM_HID_REPORT_SIZE) {
            target->Deliver(reports.data() + at, SIM_HID_REPORT_SIZE);
        }
    }
};

ScriptedDevice::ScriptedDevice(SimPort& port, VirtualClock* clock, bool hid)
    : port_(port), clock_(clock), shared_(std::make_shared<Shared>()) {
    shared_->port = &port;
    shared_->hid = hid;
    std::shared_ptr<Shared> shared = shared_;
    port.SetWriteHook([shared, clock](const std::uint8_t* bytes, std::uint32_t length) {
        Answer answer;
        Responder responder;
        std::vector<std::uint8_t> request;
        {
            std::lock_guard<std::mutex> hold(shared->mutex);
            if (shared->hid) {
                if (length != SIM_HID_REPORT_SIZE) {
                    return;
                }
                const std::size_t count = std::min<std::size_t>(bytes[1], HID_CONTINUATION - 2);
                shared->partial.insert(shared->partial.end(), bytes + 2, bytes + 2 + count);
                if (bytes[HID_CONTINUATION] != 0) {
                    return;
                }
                shared->requests.push_back(std::move(shared->partial));
                shared->partial.clear();
            } else {
                shared->requests.emplace_back(bytes, bytes + length);
            }
            if (!shared->script.empty()) {
                answer = std::move(shared->script.front());
                shared->script.pop_front();
            } else {
                responder = shared->responder;
                request = shared->requests.back();
            }
        }
        // Outside the lock: the responder may ask the device how far it has got.
        if (responder) {
            answer = responder(request);
        }
        if (clock == nullptr) {
            for (const AnswerPiece& piece : answer) {
                shared->Send(piece.bytes, piece.raw);
            }
            return;
        }
        std::uint64_t at = clock->Now();
        for (AnswerPiece& piece : answer) {
            at += piece.delayMs;
            clock->At(at, [shared, bytes = std::move(piece.bytes), raw = piece.raw] {
                shared->Send(bytes, raw);
            });
        }
    });
}

ScriptedDevice::~ScriptedDevice() {
    port_.SetWriteHook(nullptr);
    std::lock_guard<std::mutex> hold(shared_->mutex);
    shared_->port = nullptr;
}

void ScriptedDevice::Reply(Answer answer) {
    std::lock_guard<std::mutex> hold(shared_->mutex);
    shared_->script.push_back(std::move(answer));
}

void ScriptedDevice::SetResponder(Responder responder) {
    std::lock_guard<std::mutex> hold(shared_->mutex);
    shared_->responder = std::move(responder);
}

void ScriptedDevice::SendAt(std::uint64_t timeMs, std::vector<std::uint8_t> bytes, bool raw) {
    std::shared_ptr<Shared> shared = shared_;
    if (clock_ == nullptr) {
        shared->Send(bytes, raw);
        return;
    }
    clock_->At(timeMs, [shared, bytes = std::move(bytes), raw] { shared->Send(bytes, raw); });
}

std::vector<std::vector<std::uint8_t>> ScriptedDevice::Requests() {
    std::lock_guard<std::mutex> hold(shared_->mutex);
    return shared_->requests;
}

std::uint32_t ScriptedDevice::PiecesDelivered() {
    std::lock_guard<std::mutex> hold(shared_->mutex);
    return shared_->delivered;
}
