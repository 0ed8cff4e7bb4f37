// The update both hosts run against the emulated scanners: a bin image of two blocks for the
// simulated scanner's model, and what the product prints while it sends them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fwwriter/firmware_writer.h"

constexpr char TWO_BLOCK_MODEL[] = "EM7";

// Two blocks of 1500 and 600 bytes: three and two frames, the last of each partial.
inline FirmwareSpec TwoBlocks() {
    FirmwareSpec spec;
    spec.layout = FirmwareLayout::Bin;
    spec.model = TWO_BLOCK_MODEL;
    Bytes kern(1500);
    for (std::size_t at = 0; at < kern.size(); ++at) {
        kern[at] = static_cast<std::uint8_t>(at * 7 + 3);
    }
    spec.blocks.push_back({"kern", kern, 0});
    spec.blocks.push_back({"flah", Bytes(600, 0x5A), 9});
    return spec;
}

// The banner and the first block up to its frames.
inline std::string TwoBlockUpdateHead(const std::string& banner) {
    return banner +
           "Test connection\n"
           "Checking whether the firmware file is suitable for the device\n"
           "Entering update mode\n"
           "\nUpdating block: 0/2\n"
           "Setting up update parameters\n"
           "Sending data. total frames:3\n";
}

inline std::string TwoBlockTranscript(const std::string& banner) {
    const std::string waiting = "\nWating update to complete. It make take dozens of seconds.\n";
    return TwoBlockUpdateHead(banner) + "*" + waiting +
           "\nUpdating block: 1/2\n"
           "Setting up update parameters\n"
           "Sending data. total frames:2\n"
           "*" +
           waiting + "\nUpdate successful\n";
}
