#include "common/crc32.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define SCANFLASH_CRC32_CLMUL 1
#endif

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

std::uint32_t UpdateTables(std::uint32_t crc, const std::uint8_t* p, std::size_t length) {
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
    return crc;
}

#ifdef SCANFLASH_CRC32_CLMUL

// Folding with carry-less multiplication, 64 bytes a round, for processors that have it.
// The constants are x^n mod P for the folding distances (bit-reflected, shifted left by one)
// and the Barrett pair for P; the result is the same register value the tables give.
constexpr std::size_t CLMUL_MIN_LENGTH = 64;

__attribute__((target("pclmul,sse4.1"))) inline __m128i Load(const std::uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// value times the two constants, halves apart, plus the next 128 bits.
__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i value, __m128i constants,
                                                             __m128i next) {
    const __m128i low = _mm_clmulepi64_si128(value, constants, 0x00);
    const __m128i high = _mm_clmulepi64_si128(value, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

__attribute__((target("pclmul,sse4.1"))) std::uint32_t UpdateClmul(std::uint32_t crc,
                                                                   const std::uint8_t* p,
                                                                   std::size_t length) {
    const __m128i fold4 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i fold1 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i fold64 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i barrett = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

    __m128i x1 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = Load(p + 16);
    __m128i x3 = Load(p + 32);
    __m128i x4 = Load(p + 48);
    p += 64;
    length -= 64;
    while (length >= 64) {
        x1 = Fold(x1, fold4, Load(p));
        x2 = Fold(x2, fold4, Load(p + 16));
        x3 = Fold(x3, fold4, Load(p + 32));
        x4 = Fold(x4, fold4, Load(p + 48));
        p += 64;
        length -= 64;
    }
    x1 = Fold(x1, fold1, x2);
    x1 = Fold(x1, fold1, x3);
    x1 = Fold(x1, fold1, x4);
    while (length >= 16) {
        x1 = Fold(x1, fold1, Load(p));
        p += 16;
        length -= 16;
    }
    // 128 bits to 64, then the Barrett reduction to 32.
    __m128i x2r = _mm_clmulepi64_si128(x1, fold1, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2r);
    x2r = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), fold64, 0x00), x2r);
    x2r = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), barrett, 0x10);
    x2r = _mm_clmulepi64_si128(_mm_and_si128(x2r, low32), barrett, 0x00);
    x1 = _mm_xor_si128(x1, x2r);
    crc = static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
    return UpdateTables(crc, p, length);
}

bool HasClmul() {
    static const bool available =
        __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return available;
}

#endif

}  // namespace

std::uint32_t Crc32(std::uint32_t previous, std::size_t length, const void* bytes) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
#ifdef SCANFLASH_CRC32_CLMUL
    if (length >= CLMUL_MIN_LENGTH && HasClmul()) {
        return ~UpdateClmul(~previous, p, length);
    }
#endif
    return ~UpdateTables(~previous, p, length);
}
