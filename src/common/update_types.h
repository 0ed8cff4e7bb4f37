// The records that travel from the command line through the loader to the update session.
#pragma once

#include <cstdint>

// What a block is, as the device knows it.
using BlockType = std::uint32_t;
constexpr BlockType BLOCK_TYPE_BOOT = 1;
constexpr BlockType BLOCK_TYPE_KERN = 2;
constexpr BlockType BLOCK_TYPE_FLAH = 3;
constexpr BlockType BLOCK_TYPE_APPL = 4;

// The four names in type order, four letters and a zero byte each.
inline constexpr char BLOCK_TYPE_NAMES[4][5] = {"boot", "kern", "flah", "appl"};

constexpr std::uint32_t UPDATE_FLAG_CHECK_MODEL = 1;

// 32 bytes, all zero but flags; bit 0 of flags asks the session to compare the file's model
// with the device's (no "-force" on the command line).
struct UpdateOptions {
    std::uint32_t reserved0 = 0;
    std::uint32_t flags = 0;
    std::uint32_t reserved[6] = {};
};
static_assert(sizeof(UpdateOptions) == 32);

// One block to send. data points into the loader's copy of the file and is not owned.
struct UpdateBlock {
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
    BlockType type = 0;
    std::uint32_t extra = 0;  // sent with blocks of type 3
};
