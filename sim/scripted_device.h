// A device with no protocol of its own, for exact answer timing: it answers each request of
// the host with the next scripted answer (or with what its responder makes of the request)
// and sends unsolicited bytes at given times. Every answer is a list of pieces, each arriving
// a given time after the one before, so a test or the fuzzer decides to the millisecond when
// each byte reaches the host. The protocol itself lives in SimScanner; this device only
// replays.
//
// On the HID link kinds a request is the data of the host's output reports up to the report
// whose last byte is 0, and answers go out as input reports; on the other kinds a request is
// one write and answers go out as they are. Without a clock every answer goes out at once.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/sim_port.h"
#include "sim/virtual_clock.h"

struct AnswerPiece {
    std::uint32_t delayMs = 0;  // after the previous piece; the first: after the request
    std::vector<std::uint8_t> bytes;
    // HID links: one read chunk exactly as it stands, not wrapped into input reports.
    bool raw = false;
};
using Answer = std::vector<AnswerPiece>;

class ScriptedDevice {
  public:
    using Responder = std::function<Answer(const std::vector<std::uint8_t>& request)>;

    explicit ScriptedDevice(SimPort& port, VirtualClock* clock = nullptr, bool hid = false);
    // Unhooks from the port. Pieces still scheduled on the clock are dropped.
    ~ScriptedDevice();
    ScriptedDevice(const ScriptedDevice&) = delete;
    ScriptedDevice& operator=(const ScriptedDevice&) = delete;

    // Queues the answer to the next request that has none yet.
    void Reply(const std::vector<std::uint8_t>& bytes) { Reply(Answer{{0, bytes, false}}); }
    void Reply(Answer answer);
    // Asked for the answer when no scripted one is queued, on the writing thread; without one
    // such a request goes unanswered.
    void SetResponder(Responder responder);
    // Sends bytes at timeMs on the clock, whatever the host does.
    void SendAt(std::uint64_t timeMs, std::vector<std::uint8_t> bytes, bool raw = false);

    // Every request so far, in order.
    std::vector<std::vector<std::uint8_t>> Requests();
    // How many pieces (and unsolicited sends) have reached the port so far.
    std::uint32_t PiecesDelivered();

  private:
    struct Shared;

    SimPort& port_;
    VirtualClock* clock_;
    std::shared_ptr<Shared> shared_;
};
