// What the Linux scanflash costs while its bulk port waits, measured on the product binary
// against a usbfs node that umockdev emulates (tests/umockdev): one update of one 1500-byte
// block whose verdict the scanner gives after write_ms. The node signals a reapable URB the way
// the kernel does (POLLOUT), so a port that waits in poll sleeps until an URB completes.
//
// Reported per run: child_cpu_ms, the processor time of the scanflash process (user and
// system), and empty_reaps, the USBDEVFS_REAPURBNDELAY calls that found nothing. The difference
// between write_ms 2000 and 0 is what 2 s of waiting for the verdict costs.
#include <benchmark/benchmark.h>

#include <string>

#include "child_run.h"
#include "emulated_nodes.h"
#include "fwwriter/firmware_writer.h"
#include "scanner_testbed.h"

namespace {

constexpr char PORT[] = "1-4";

void BM_UsbfsVerdictWait(benchmark::State& state) {
    FirmwareSpec source;
    source.layout = FirmwareLayout::Bin;
    source.model = "EM7";
    source.blocks.push_back({"kern", Bytes(1500, 0x11), 0});
    Bytes firmware;
    if (!WriteFirmware(source, firmware, nullptr)) {
        state.SkipWithError("cannot build the firmware file");
        return;
    }
    double cpuSeconds = 0;
    double emptyReaps = 0;
    for (auto _ : state) {
        ScannerTestbed testbed;
        const std::string file = testbed.Root() + "/fw.bin";
        SimScannerConfig config;
        config.model = source.model;
        config.writeTimeMs = static_cast<std::uint32_t>(state.range(0));
        SimScanner scanner(config);
        if (!testbed.Add(BulkScanner(PORT, VENDOR_A, 0x0001)) ||
            !SaveBytes(file, firmware, nullptr)) {
            state.SkipWithError("cannot set the testbed up");
            return;
        }
        UsbfsNode node(testbed, PORT, 0, scanner);
        ChildCommand command;
        command.argv = {SCANFLASH_PATH, "-file:" + file};
        const ChildResult run = RunUnderPreload(testbed.Root(), command);
        if (run.exitCode != 15) {
            state.SkipWithError(("scanflash exited with " + std::to_string(run.exitCode)).c_str());
            return;
        }
        cpuSeconds += run.cpuSeconds;
        emptyReaps += node.EmptyReaps();
    }
    state.counters["child_cpu_ms"] =
        benchmark::Counter(cpuSeconds * 1000, benchmark::Counter::kAvgIterations);
    state.counters["empty_reaps"] =
        benchmark::Counter(emptyReaps, benchmark::Counter::kAvgIterations);
}

BENCHMARK(BM_UsbfsVerdictWait)
    ->ArgName("write_ms")
    ->Arg(0)
    ->Arg(2000)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
