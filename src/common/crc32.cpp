#include "common/crc32.h"

#include <array>
#include <cstring>

namespace {

constexpr std::uint32_t CRC32_POLYNOMIAL = 0xEDB88320u;
constexpr std::size_t SLICES = 16;

using CrcTables = std::array<std::array<std::uint32_t, 256>, SLICES>;

// Slicing-by-16 tables, built by the compiler: there is nothing to build at run time, so two
// threads that make the first call at once cannot race on them.
constexpr CrcTables MakeTables() {
    CrcTables tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1u) ? (value >> 1) ^ CRC32_POLYNOMIAL : value >> 1;
        }
        tables[0][i] = value;
    }
    for (std::uint32_t i = 0; i < 256; ++i) {
        for (std::size_t slice = 1; slice < SLICES; ++slice) {
            const std::uint32_t previous = tables[slice - 1][i];
            tables[slice][i] = (previous >> 8) ^ tables[0][previous & 0xFFu];
        }
    }
    return tables;
}

constexpr CrcTables TABLES = MakeTables();

std::uint32_t LoadLittleEndian32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

std::uint32_t Crc32(std::uint32_t previous, std::size_t length, const void* bytes) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    std::uint32_t crc = ~previous;
    while (length >= SLICES) {
        const std::uint32_t w0 = crc ^ LoadLittleEndian32(p);
        const std::uint32_t w1 = LoadLittleEndian32(p + 4);
        const std::uint32_t w2 = LoadLittleEndian32(p + 8);
        const std::uint32_t w3 = LoadLittleEndian32(p + 12);
        crc = TABLES[15][w0 & 0xFFu] ^ TABLES[14][(w0 >> 8) & 0xFFu] ^
              TABLES[13][(w0 >> 16) & 0xFFu] ^ TABLES[12][w0 >> 24] ^ TABLES[11][w1 & 0xFFu] ^
              TABLES[10][(w1 >> 8) & 0xFFu] ^ TABLES[9][(w1 >> 16) & 0xFFu] ^ TABLES[8][w1 >> 24] ^
              TABLES[7][w2 & 0xFFu] ^ TABLES[6][(w2 >> 8) & 0xFFu] ^ TABLES[5][(w2 >> 16) & 0xFFu] ^
              TABLES[4][w2 >> 24] ^ TABLES[3][w3 & 0xFFu] ^ TABLES[2][(w3 >> 8) & 0xFFu] ^
              TABLES[1][(w3 >> 16) & 0xFFu] ^ TABLES[0][w3 >> 24];
        p += SLICES;
        length -= SLICES;
    }
    while (length-- > 0) {
        crc = (crc >> 8) ^ TABLES[0][(crc ^ *p++) & 0xFFu];
    }
    return ~crc;
}
