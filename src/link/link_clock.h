// How the link waits: the ring's data event with a time limit in the timed reads, and the
// pauses around the HID feature switch. Production runs on the real clock; the simulated
// device side hands in a clock of its own so that every wait can be driven to the
// millisecond without the wall clock passing.
#pragma once

#include <cstdint>

#include "common/sync.h"

class LinkClock {
  public:
    virtual ~LinkClock() = default;

    // Waits up to waitMs (INFINITE_WAIT: no limit) for the event; true when it is signalled.
    virtual bool WaitForEvent(ManualResetEvent& event, std::uint32_t waitMs) = 0;
    // Holds the calling thread for the given milliseconds.
    virtual void Pause(std::uint32_t milliseconds) = 0;
};

// The wall clock: the event's own wait and the OS sleep. It holds no state.
LinkClock& RealLinkClock();
