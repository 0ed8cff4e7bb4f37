// A DeviceLink opened on a SimPort, for tests that drive the device's side by hand.
#pragma once

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "link/device_link.h"
#include "sim/sim_port.h"

inline DeviceRecord MakeRecord(LinkKind kind,
                               const char16_t* path = u"\\\\?\\usb#vid_6666&pid_0006#1") {
    DeviceRecord record;
    std::memset(&record, 0, sizeof record);
    CopyWide(record.path, path);
    record.linkKind = kind;
    return record;
}

// Polls until the ring holds at least n bytes (or 5 s pass).
inline bool WaitForRingCount(DeviceLink& link, std::uint32_t n) {
    for (int i = 0; i < 5000; ++i) {
        if (link.Ring().Count() >= n) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

inline long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}
