// The host's side of the exchanges, built by hand from the wire formats, and a collector for
// what the simulated scanner answers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/crc32.h"
#include "sim/sim_scanner.h"

using Bytes = std::vector<std::uint8_t>;

inline void PutCrcBe(Bytes& out) {
    const std::uint32_t crc = Crc32(0, out.size(), out.data());
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(crc >> shift));
    }
}

inline Bytes TextCommand(std::string_view text) {
    Bytes packet = {0x02, 0x05, static_cast<std::uint8_t>(text.size() >> 8),
                    static_cast<std::uint8_t>(text.size() & 0xFF)};
    packet.insert(packet.end(), text.begin(), text.end());
    PutCrcBe(packet);
    return packet;
}

inline Bytes TextReply(std::string_view payload) {
    Bytes reply = {0x02, 0x05, 0x00, static_cast<std::uint8_t>(payload.size())};
    reply.insert(reply.end(), payload.begin(), payload.end());
    PutCrcBe(reply);
    return reply;
}

inline std::uint8_t XorCheck(const Bytes& packet) {
    std::uint8_t check = 0xFF;
    for (std::size_t i = 2; i < packet.size(); ++i) {
        check ^= packet[i];
    }
    return check;
}

inline Bytes Tilde(std::uint8_t first, std::string_view payload) {
    Bytes packet = {first, 0x00, static_cast<std::uint8_t>(payload.size() >> 8),
                    static_cast<std::uint8_t>(payload.size() & 0xFF)};
    packet.insert(packet.end(), payload.begin(), payload.end());
    packet.push_back(XorCheck(packet));
    return packet;
}

inline const Bytes MODEL_QUERY = {0x7E, 0x00, 0x00, 0x03, 0x33, 0x47, 0x01, 0x89};
inline const Bytes UPDATE_MODE = Tilde(0x7E, "~goFlash~");
inline Bytes ModelReply(const std::string& model) {
    return Tilde(0x02, "4" + model);
}

// Frame k of a block: 0x02, 512 bytes (the rest of the block padded with fill), CRC-32.
inline Bytes Frame(const Bytes& block, std::size_t k, std::uint8_t fill = 0) {
    Bytes frame(513, fill);
    frame[0] = 0x02;
    for (std::size_t i = 0; i < 512 && k * 512 + i < block.size(); ++i) {
        frame[1 + i] = block[k * 512 + i];
    }
    PutCrcBe(frame);
    return frame;
}

inline Bytes Pattern(std::size_t length, std::uint32_t seed) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<std::uint8_t>(seed >> 16);
    }
    return bytes;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// One request of a scripted exchange and the answer a well-behaved device gives.
struct Exchange {
    SimStep step;
    Bytes request;
    Bytes answer;
};

// The set-up, frames, stars and verdict of one block; name may carry ":extra".
inline std::vector<Exchange> BlockScript(const Bytes& block, const std::string& name, bool last) {
    const std::size_t frames = (block.size() + 511) / 512;
    const Bytes ok = TextReply("0");
    std::vector<Exchange> script = {
        {SimStep::ReadinessPoll, {'?', '?', '?'}, {'<'}},
        {SimStep::DataLens, TextCommand("!DataLens:" + std::to_string(block.size())), ok},
        {SimStep::FileType, TextCommand("!FileType:" + name), ok},
        {SimStep::FrameSize, TextCommand("!FrameSize:512"), ok},
        {SimStep::Frames, TextCommand("!Frames:" + std::to_string(frames)), ok},
        {SimStep::Start, TextCommand(">Start"), ok},
    };
    for (std::size_t k = 0; k < frames; ++k) {
        script.push_back({SimStep::Frame, Frame(block, k), {'*'}});
    }
    // The closing star and the verdict follow the last frame unasked.
    script.back().answer = {'*', '*', '^'};
    script.push_back(
        {last ? SimStep::Exit : SimStep::NextDown, TextCommand(last ? "@Exit" : "@NextDown"), ok});
    return script;
}

inline std::vector<Exchange> SessionScript(
    const std::string& model, const std::vector<std::pair<Bytes, std::string>>& blocks) {
    std::vector<Exchange> script = {
        {SimStep::Connection, {'?'}, {'!'}},
        {SimStep::ModelReply, MODEL_QUERY, ModelReply(model)},
        {SimStep::UpdateMode, UPDATE_MODE, {0x06}},
    };
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const std::vector<Exchange> part =
            BlockScript(blocks[i].first, blocks[i].second, i + 1 == blocks.size());
        script.insert(script.end(), part.begin(), part.end());
    }
    return script;
}

// Gathers what the scanner sends. Declared after the scanner, so it detaches (waiting for a
// delivery under way) before the scanner goes.
class Collector {
  public:
    ~Collector() {
        if (scanner_ != nullptr) {
            scanner_->Detach();
        }
    }
    void Attach(SimScanner& scanner, SimScanner::VanishHandler vanish = nullptr) {
        scanner_ = &scanner;
        scanner.Attach(
            [this](const std::uint8_t* bytes, std::size_t length) {
                {
                    std::lock_guard<std::mutex> hold(mutex_);
                    bytes_.insert(bytes_.end(), bytes, bytes + length);
                }
                arrived_.notify_all();
            },
            std::move(vanish));
    }
    // Everything gathered so far, which is then forgotten.
    Bytes Take() {
        std::lock_guard<std::mutex> hold(mutex_);
        Bytes taken;
        taken.swap(bytes_);
        return taken;
    }
    bool WaitFor(std::size_t count, std::uint32_t timeoutMs = 5000) {
        std::unique_lock<std::mutex> hold(mutex_);
        return arrived_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                 [&] { return bytes_.size() >= count; });
    }

  private:
    SimScanner* scanner_ = nullptr;
    std::mutex mutex_;
    std::condition_variable arrived_;
    Bytes bytes_;
};

// Plays the script one request at a time and returns the answer to each.
inline std::vector<Bytes> Play(SimScanner& scanner, Collector& collector,
                               const std::vector<Exchange>& script) {
    std::vector<Bytes> answers;
    for (const Exchange& exchange : script) {
        scanner.OnHostBytes(exchange.request.data(), exchange.request.size());
        scanner.WaitUntilQuiet(10000);
        answers.push_back(collector.Take());
    }
    return answers;
}
