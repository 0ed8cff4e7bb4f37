// Simulated time for the link and the simulated devices. Time stands still while the host
// works and moves only when it waits or pauses: a wait runs the device actions that fall due
// up to its deadline, in time order, and after each one lets the device side settle (the
// reader thread has taken every delivered byte into the ring) before it looks at the ring's
// event again. So a test decides to the millisecond when each byte arrives, and a session
// that takes minutes on the wall clock runs in milliseconds.
//
// One thread waits (the host's); any thread may pause (the reader pauses after the feature
// switch-off as it closes the device) and any thread may schedule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "link/link_clock.h"

class VirtualClock final : public LinkClock {
  public:
    using Action = std::function<void()>;
    // Waits until the device side is still. False when the device has gone: the reader's
    // close releases a waiting read at once, so the wait ends there.
    using Settle = std::function<bool()>;

    void SetSettle(Settle settle);

    std::uint64_t Now() const;
    // Runs action when time reaches timeMs (at once at the next wait when that has passed).
    // Actions due at the same time run in the order they were scheduled.
    void At(std::uint64_t timeMs, Action action);
    // How many actions have not run yet.
    std::size_t Scheduled() const;

    bool WaitForEvent(ManualResetEvent& event, std::uint32_t waitMs) override;
    // Moves time on. Actions that fall due meanwhile run at the next wait, in their order:
    // nobody reads while the host pauses.
    void Pause(std::uint32_t milliseconds) override;

  private:
    mutable std::mutex mutex_;
    std::uint64_t now_ = 0;
    std::multimap<std::uint64_t, Action> actions_;
    Settle settle_;
};
