// Serves a SimScanner on the master side of a pseudo-terminal, so that a host opens
// SlavePath() like a serial port and the real serial code talks to the simulated device.
// The line starts raw (no echo, no translation of any byte). On the HID link kinds the line
// carries 64-byte reports both ways, for a host port that stands in for a HID device over a
// pty; HidFeature then counts as switched on, since a pty has no feature channel. When the
// scanner vanishes the master is closed: the host's reads then fail with a hang-up.
#pragma once

#ifndef _WIN32

#include <atomic>
#include <mutex>
#include <string>

#include "common/sync.h"
#include "sim/hid_framing.h"
#include "sim/sim_scanner.h"

class PtyScanner {
  public:
    explicit PtyScanner(SimScanner& scanner);
    // Stops serving and closes the pty; the scanner is detached.
    ~PtyScanner();
    PtyScanner(const PtyScanner&) = delete;
    PtyScanner& operator=(const PtyScanner&) = delete;

    // Opens the pty pair and starts serving. False when it cannot be set up (errno says why).
    bool Start();
    // The path a host opens, e.g. /dev/pts/5; empty before a successful Start.
    const std::string& SlavePath() const { return slavePath_; }

  private:
    bool OpenLine();
    static void ReaderEntry(void* self);
    void ReaderLoop();
    void WriteToMaster(const std::uint8_t* bytes, std::size_t length);
    void RequestVanish();
    void CloseLine();
    void Wake();

    SimScanner& scanner_;
    const bool hid_;
    HidOutputReader reader_;
    std::string slavePath_;
    std::mutex fdMutex_;  // guards master_ and holdSlave_ against the reader closing them
    int master_ = -1;
    // The slave held open by the scanner itself: the line is raw before the host opens it, and
    // the master's reads do not fail while no host has the slave open.
    int holdSlave_ = -1;
    // The wake pipe lives until destruction: the worker and the destructor may write to it.
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> vanishRequested_{false};
    Thread readerThread_;
};

#endif
