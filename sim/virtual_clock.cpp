#include "sim/virtual_clock.h"

#include <algorithm>

void VirtualClock::SetSettle(Settle settle) {
    std::lock_guard<std::mutex> hold(mutex_);
    settle_ = std::move(settle);
}

std::uint64_t VirtualClock::Now() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return now_;
}

void VirtualClock::At(std::uint64_t timeMs, Action action) {
    std::lock_guard<std::mutex> hold(mutex_);
    actions_.emplace(timeMs, std::move(action));
}

std::size_t VirtualClock::Scheduled() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return actions_.size();
}

bool VirtualClock::WaitForEvent(ManualResetEvent& event, std::uint32_t waitMs) {
    Settle settle;
    std::uint64_t deadline = 0;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        settle = settle_;
        deadline = now_ + waitMs;
    }
    for (;;) {
        const bool present = !settle || settle();
        if (event.IsSignalled()) {
            return true;
        }
        if (!present) {
            return false;
        }
        Action next;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            const auto due = actions_.begin();
            if (due == actions_.end() || due->first > deadline) {
                now_ = std::max(now_, deadline);
                return false;
            }
            now_ = std::max(now_, due->first);
            next = std::move(due->second);
            actions_.erase(due);
        }
        next();
    }
}

void VirtualClock::Pause(std::uint32_t milliseconds) {
    std::lock_guard<std::mutex> hold(mutex_);
    now_ += milliseconds;
}
