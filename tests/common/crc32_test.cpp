#include "common/crc32.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

// Bit-by-bit reference, independent of the table scheme.
std::uint32_t ReferenceCrc32(const std::vector<std::uint8_t>& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
    }
    return ~crc;
}

TEST(Crc32, KnownVectors) {
    struct Case {
        std::string text;
        std::uint32_t crc;
    };
    const Case cases[] = {
        {"", 0x00000000u},
        {"a", 0xE8B7BE43u},
        {"123456789", 0xCBF43926u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Crc32(0, c.text.size(), c.text.data()), c.crc) << c.text;
    }
}

TEST(Crc32, MatchesBitwiseReferenceForEveryLengthAndAlignment) {
    std::mt19937 random(7);
    std::vector<std::uint8_t> bytes(300);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(random());
    }
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t length = 0; length + offset <= bytes.size(); length += 7) {
            std::vector<std::uint8_t> piece(bytes.begin() + static_cast<long>(offset),
                                            bytes.begin() + static_cast<long>(offset + length));
            ASSERT_EQ(Crc32(0, length, bytes.data() + offset), ReferenceCrc32(piece))
                << "offset " << offset << " length " << length;
        }
    }
}

TEST(Crc32, PiecesGiveTheValueOfOneCall) {
    std::mt19937 random(11);
    std::vector<std::uint8_t> bytes(100000);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(random());
    }
    const std::uint32_t whole = Crc32(0, bytes.size(), bytes.data());
    for (int round = 0; round < 50; ++round) {
        std::uint32_t crc = 0;
        std::size_t at = 0;
        while (at < bytes.size()) {
            const std::size_t piece = std::min<std::size_t>(random() % 5000, bytes.size() - at);
            crc = Crc32(crc, piece, bytes.data() + at);
            at += piece;
        }
        ASSERT_EQ(crc, whole) << "round " << round;
    }
}

}  // namespace
