// Byte builders written from the wire formats, independent of the code under test.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "link/device_link.h"
#include "sim/scripted_device.h"
#include "sim/sim_port.h"
#include "sim/virtual_clock.h"

using Bytes = std::vector<std::uint8_t>;

inline void AppendBigEndian32(Bytes& bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

// 02 05 N(BE16) payload CRC-32(BE) over header and payload.
inline Bytes TextFrame(const std::string& payload, bool goodCrc = true) {
    Bytes bytes = {0x02, 0x05, static_cast<std::uint8_t>(payload.size() >> 8),
                   static_cast<std::uint8_t>(payload.size() & 0xFF)};
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    std::uint32_t crc = Crc32(0, bytes.size(), bytes.data());
    if (!goodCrc) {
        crc ^= 1;
    }
    AppendBigEndian32(bytes, crc);
    return bytes;
}

// first byte, second byte, N(BE16), payload, 0xFF XOR length bytes and payload.
inline Bytes TildeFrame(std::uint8_t first, const std::string& payload, bool goodSum = true) {
    Bytes bytes = {first, 0x00, static_cast<std::uint8_t>(payload.size() >> 8),
                   static_cast<std::uint8_t>(payload.size() & 0xFF)};
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    std::uint8_t sum = 0xFF;
    for (std::size_t i = 2; i < bytes.size(); ++i) {
        sum = static_cast<std::uint8_t>(sum ^ bytes[i]);
    }
    bytes.push_back(goodSum ? sum : static_cast<std::uint8_t>(sum ^ 0x5A));
    return bytes;
}

inline DeviceRecord BulkRecord() {
    DeviceRecord record{};
    CopyWide(record.path, u"\\\\?\\usb#vid_6666&pid_0006#1");
    record.linkKind = LinkKind::VendorBulk;
    return record;
}
