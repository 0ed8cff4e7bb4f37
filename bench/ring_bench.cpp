// ReceiveRing put + get throughput with 4096-byte chunks.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "link/receive_ring.h"

namespace {

void BM_RingPutGet4096(benchmark::State& state) {
    ReceiveRing ring;
    ring.Allocate(RING_CAPACITY);
    std::vector<std::uint8_t> in(4096, 0x5A);
    std::vector<std::uint8_t> out(4096);
    // Start part-full so that the positions keep crossing the end of the storage.
    std::vector<std::uint8_t> prefill(1000, 1);
    ring.Put(static_cast<std::uint32_t>(prefill.size()), prefill.data());
    for (auto _ : state) {
        ring.Put(4096, in.data());
        benchmark::DoNotOptimize(ring.Get(4096, out.data()));
    }
    state.SetBytesProcessed(state.iterations() * 4096);
}

}  // namespace

BENCHMARK(BM_RingPutGet4096);
BENCHMARK_MAIN();
