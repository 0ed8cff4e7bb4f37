// CRC-32 throughput over 100 MiB, next to zlib's crc32 in the same run.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "common/crc32.h"

namespace {

constexpr std::size_t BUFFER_SIZE = 100u * 1024u * 1024u;

const std::vector<std::uint8_t>& Buffer() {
    static const std::vector<std::uint8_t> buffer = [] {
        std::vector<std::uint8_t> bytes(BUFFER_SIZE);
        std::mt19937 random(1);
        for (auto& b : bytes) {
            b = static_cast<std::uint8_t>(random());
        }
        return bytes;
    }();
    return buffer;
}

void BM_ScanflashCrc32(benchmark::State& state) {
    const auto& buffer = Buffer();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Crc32(0, buffer.size(), buffer.data()));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(buffer.size()));
}

void BM_ZlibCrc32(benchmark::State& state) {
    const auto& buffer = Buffer();
    for (auto _ : state) {
        uLong crc = crc32(0L, Z_NULL, 0);
        benchmark::DoNotOptimize(crc = crc32(crc, buffer.data(), static_cast<uInt>(buffer.size())));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(buffer.size()));
}

// The loaders feed the CRC in 4096-byte pieces.
void BM_ScanflashCrc32In4096BytePieces(benchmark::State& state) {
    const auto& buffer = Buffer();
    for (auto _ : state) {
        std::uint32_t crc = 0;
        for (std::size_t at = 0; at < buffer.size(); at += 4096) {
            crc = Crc32(crc, 4096, buffer.data() + at);
        }
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(buffer.size()));
}

}  // namespace

BENCHMARK(BM_ScanflashCrc32)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ZlibCrc32)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ScanflashCrc32In4096BytePieces)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_MAIN();
