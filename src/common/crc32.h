// Reflected CRC-32 of IEEE 802.3 (polynomial 0xEDB88320, preset all ones, result inverted),
// computed in pieces: pass the previous result (0 to start) and get the next one, so any
// split of the input gives the value of one call over the whole.
#pragma once

#include <cstddef>
#include <cstdint>

std::uint32_t Crc32(std::uint32_t previous, std::size_t length, const void* bytes);
