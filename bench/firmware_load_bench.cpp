// Loading and checking a 100 MiB bin image next to plain reads of the same file in the same
// run. The loader reads the file twice (the parser's CRC pass in 4096-byte pieces, then the
// whole file into its buffer), so the fair yardstick is two plain reads of that shape.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "common/wide_string.h"
#include "firmware/firmware_file.h"
#include "firmware_bench_image.h"

namespace {

// The image is written once per run and removed at exit.
class BenchFile {
  public:
    BenchFile() {
        path_ = std::filesystem::temp_directory_path() /
                ("scanflash-load-bench-" + std::to_string(std::random_device{}()) + ".bin");
        std::string error;
        if (!WriteBenchImage(path_.string(), &error)) {
            std::fprintf(stderr, "cannot write the bench file: %s\n", error.c_str());
            std::abort();
        }
    }
    ~BenchFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

const BenchFile& File() {
    static const BenchFile file;
    return file;
}

void BM_LoadFirmwareFile(benchmark::State& state) {
    const std::u16string name = Utf8ToUtf16(File().Path().string());
    for (auto _ : state) {
        PackageInfo info;
        FirmwareBuffer buffer;
        if (LoadFirmwareFile(name.c_str(), &info, buffer) != RESULT_SUCCESS) {
            state.SkipWithError("the bench file did not load");
            return;
        }
        benchmark::DoNotOptimize(buffer.Data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(BENCH_IMAGE_SIZE));
}

// What the loader does without the checks: one pass in 4096-byte pieces, one whole read.
void BM_PlainFreadTwice(benchmark::State& state) {
    const std::string path = File().Path().string();
    for (auto _ : state) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        std::uint8_t piece[4096];
        std::size_t total = 0;
        std::size_t got = 0;
        while ((got = std::fread(piece, 1, sizeof(piece), file)) > 0) {
            total += got;
        }
        std::rewind(file);
        std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[BENCH_IMAGE_SIZE]);
        total += std::fread(buffer.get(), 1, BENCH_IMAGE_SIZE, file);
        std::fclose(file);
        benchmark::DoNotOptimize(total);
        benchmark::DoNotOptimize(buffer.get());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(BENCH_IMAGE_SIZE));
}

// Two whole-file reads: the cheapest way to read it twice.
void BM_PlainWholeReadTwice(benchmark::State& state) {
    const std::string path = File().Path().string();
    for (auto _ : state) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[BENCH_IMAGE_SIZE]);
        std::size_t total = std::fread(buffer.get(), 1, BENCH_IMAGE_SIZE, file);
        std::rewind(file);
        total += std::fread(buffer.get(), 1, BENCH_IMAGE_SIZE, file);
        std::fclose(file);
        benchmark::DoNotOptimize(total);
        benchmark::DoNotOptimize(buffer.get());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(BENCH_IMAGE_SIZE));
}

}  // namespace

BENCHMARK(BM_LoadFirmwareFile)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_PlainFreadTwice)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_PlainWholeReadTwice)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_MAIN();
