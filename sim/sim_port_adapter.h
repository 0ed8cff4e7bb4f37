// Puts a SimScanner behind a SimPort: what the host writes reaches the scanner and the
// scanner's answers become the port's read chunks. On the HID link kinds (Hid, HidFeature)
// every write must be one 64-byte output report, whose data bytes go on, and every answer is
// delivered as 64-byte input reports, one read chunk each; on the other kinds bytes pass as
// they are. Feature reports the port accepts reach the scanner. When the scanner vanishes,
// the port's reads fail.
#pragma once

#include <memory>

#include "sim/sim_port.h"
#include "sim/sim_scanner.h"

class SimPortAdapter {
  public:
    SimPortAdapter(SimScanner& scanner, SimPort& port);
    // Unhooks from both; no call between them is under way once it returns.
    ~SimPortAdapter();
    SimPortAdapter(const SimPortAdapter&) = delete;
    SimPortAdapter& operator=(const SimPortAdapter&) = delete;

  private:
    struct Bridge;

    SimScanner& scanner_;
    SimPort& port_;
    // Shared with the port's hooks, which may still be running on the host's thread while
    // the adapter goes away.
    std::shared_ptr<Bridge> bridge_;
};
