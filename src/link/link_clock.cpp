#include "link/link_clock.h"

namespace {

class RealClock final : public LinkClock {
  public:
    bool WaitForEvent(ManualResetEvent& event, std::uint32_t waitMs) override {
        return event.Wait(waitMs);
    }
    void Pause(std::uint32_t milliseconds) override { SleepMs(milliseconds); }
};

}  // namespace

LinkClock& RealLinkClock() {
    static RealClock clock;
    return clock;
}
