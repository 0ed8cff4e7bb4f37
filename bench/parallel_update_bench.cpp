// Several scanners updated side by side, each by a scanflash process of its own naming it
// with -device:, as a production line would run them: the product binary against N tty
// scanners that umockdev emulates (tests/umockdev; each node a pty served by the simulated
// scanner), every scanner taking the same write_ms to write each block. The firmware is the
// emulated device tests' two blocks, so one update waits for two verdicts.
//
// Reported per run of N processes: the wall time from the first start to the last end (the
// benchmark's time; setting the testbed up and down is left out), vs_one, that time against
// the mean of N = 1 (1.0 when the N updates overlap entirely), and peak_rss_kb, the largest
// peak resident set of any one scanflash process.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_run.h"
#include "emulated_nodes.h"
#include "fwwriter/firmware_writer.h"
#include "scanner_testbed.h"
#include "two_block_update.h"

namespace {

constexpr std::uint32_t WRITE_MS = 1500;

double oneAlone = 0;  // the mean wall time of N = 1, in seconds, once measured

void BM_ScannersSideBySide(benchmark::State& state) {
    const auto scanners = static_cast<std::size_t>(state.range(0));
    Bytes firmware;
    if (!WriteFirmware(TwoBlocks(), firmware, nullptr)) {
        state.SkipWithError("cannot build the firmware file");
        return;
    }
    double wallSeconds = 0;
    long peakKilobytes = 0;
    for (auto _ : state) {
        ScannerTestbed testbed;
        const std::string file = testbed.Root() + "/fw.bin";
        std::vector<std::unique_ptr<SimScanner>> simulated;
        std::vector<std::unique_ptr<TtyNode>> nodes;
        for (std::size_t i = 0; i < scanners; ++i) {
            const std::string tty = "ttyACM" + std::to_string(i);
            SimScannerConfig config;
            config.model = TWO_BLOCK_MODEL;
            config.linkKind = LinkKind::SerialPort;
            config.writeTimeMs = WRITE_MS;
            simulated.push_back(std::make_unique<SimScanner>(config));
            if (!testbed.Add(SerialScanner("1-" + std::to_string(i + 1), VENDOR_B, 0x0007, tty))) {
                state.SkipWithError("cannot describe the scanners");
                return;
            }
            nodes.push_back(std::make_unique<TtyNode>(testbed, tty, *simulated.back()));
        }
        if (!SaveBytes(file, firmware, nullptr)) {
            state.SkipWithError("cannot write the firmware file");
            return;
        }
        std::vector<ChildResult> results(scanners);
        std::vector<std::thread> runs;
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < scanners; ++i) {
            runs.emplace_back([&, i] {
                ChildCommand command;
                command.argv = {SCANFLASH_PATH, "-file:" + file,
                                "-device:usb:1-" + std::to_string(i + 1)};
                results[i] = RunUnderPreload(testbed.Root(), command);
            });
        }
        for (std::thread& run : runs) {
            run.join();
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        wallSeconds += seconds;
        for (const ChildResult& result : results) {
            if (result.exitCode != 15) {
                state.SkipWithError(
                    ("scanflash exited with " + std::to_string(result.exitCode)).c_str());
                return;
            }
            peakKilobytes = std::max(peakKilobytes, result.peakKilobytes);
        }
    }
    const double mean = wallSeconds / static_cast<double>(state.iterations());
    if (scanners == 1) {
        oneAlone = mean;
    }
    state.counters["vs_one"] = oneAlone > 0 ? mean / oneAlone : 0;
    state.counters["peak_rss_kb"] = static_cast<double>(peakKilobytes);
}

BENCHMARK(BM_ScannersSideBySide)
    ->ArgName("scanners")
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
