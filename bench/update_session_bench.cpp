// What the update session costs the host, measured against the simulated scanner on two
// transports: in process (SimPort + SimPortAdapter, a vendor bulk link) and over a pty
// (PtyScanner on the master, LinuxSerialPort on the slave, a serial link).
//
// BM_UpdateVsPingPong runs, in every iteration and on the same transport, a bare ping-pong, the
// same ping-pong with the host's frame work, and a whole update of one 4 MiB block (8192 frames)
// against a scanner that answers at once. The bare ping-pong is 8192 times DeviceLink::Send of
// 517 bytes and DeviceLink::ReadByte of the one-byte answer. Its far end is the SimScanner itself
// in echo mode: each 517 bytes are answered through the same queue, worker thread, adapter and
// transport as the real answers, so both pay the same thread hand-overs on the far side, and
// what the update adds is the host's protocol work plus the scanner's parsing of a frame, which
// BM_ScannerTakesFrame measures apart. Interleaving the runs keeps them under the same load on a
// shared machine; the counters are medians over the iterations. All three go through the same
// observing port (two clock reads per write), which splits the update into its set-up (up to the
// first frame; drain_ms of it are the link's timed flushes), the frame stream, and the rest.
// Reported per frame: the whole update over 8192, the stream alone, both ping-pongs, and the ratios
// update/bare (target at most 1.25) and stream/bare.
//
// Each iteration also runs the same update traced (SCANFLASH_TRACE's trace, written to a
// temporary file, with its tracing port between the link and the observing port), and reports
// it per frame beside the untraced one: traced_us and traced_stream_us, and the ratios
// trace_ratio and trace_stream_ratio, traced over untraced (target at most 1.1).
//
// BM_VerdictWaitCpu runs one session whose scanner takes 5 s to write the block and reports the
// process CPU time burnt between the last frame and the verdict, less what the scanner's own
// threads used, per second of waiting. The block is 192 KiB: the host allows a block 20 ms per
// KiB plus 3 s for its verdict, so anything under 100 KiB would time out before a 5 s write ends.
//
// The session's progress lines go to /dev/null while it runs.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/crc32.h"
#include "common/wide_string.h"
#include "link/device_link.h"
#include "platform/linux/linux_serial_port.h"
#include "protocol/packets.h"
#include "protocol/update_session.h"
#include "sim/pty_scanner.h"
#include "sim/sim_port.h"
#include "sim/sim_port_adapter.h"
#include "sim/sim_scanner.h"
#include "trace/tracing_port.h"
#include "trace/update_trace.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t FRAME_DATA = 512;
constexpr std::uint32_t FRAME_SIZE = FRAME_DATA + 5;
constexpr std::uint32_t BIG_BLOCK = 4u << 20;
constexpr std::uint32_t BIG_FRAMES = BIG_BLOCK / FRAME_DATA;
constexpr std::uint32_t SLOW_BLOCK = 192u << 10;
constexpr std::uint32_t SLOW_WRITE_MS = 5000;
constexpr std::uint32_t ANSWER_WAIT_MS = 2000;

enum class Transport { InProcess, Pty };

double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

std::vector<std::uint8_t> RandomBytes(std::size_t n) {
    std::mt19937 random(7);
    std::vector<std::uint8_t> bytes(n);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

// Sends standard output to /dev/null for its lifetime.
class QuietStdout {
  public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) {
            dup2(null, STDOUT_FILENO);
        }
        if (null >= 0) {
            close(null);
        }
    }
    ~QuietStdout() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
        }
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

  private:
    int saved_ = -1;
};

std::vector<long> Tasks() {
    std::vector<long> tids;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return tids;
    }
    while (const dirent* entry = readdir(dir)) {
        const long tid = std::strtol(entry->d_name, nullptr, 10);
        if (tid > 0) {
            tids.push_back(tid);
        }
    }
    closedir(dir);
    std::sort(tids.begin(), tids.end());
    return tids;
}

// Nanoseconds the thread has run, from the scheduler's own accounting.
std::uint64_t TaskCpuNs(long tid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%ld/schedstat", tid);
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return 0;
    }
    unsigned long long ran = 0;
    if (std::fscanf(file, "%llu", &ran) != 1) {
        ran = 0;
    }
    std::fclose(file);
    return ran;
}

std::uint64_t ProcessCpuNs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

// Forwards to the real port and notes when frames go out and when the verdict comes in.
// Writes happen on the session's thread, reads on the link's reader thread.
class ObservedPort : public DevicePort {
  public:
    using Moment = std::function<void()>;

    ObservedPort(DevicePort& inner, std::uint32_t frames) : inner_(inner), frames_(frames) {}

    Moment onLastFrame;  // on the writing thread, once the last frame went out
    Moment onVerdict;    // on the reading thread, once a read after it brought "^"

    std::uint32_t framesSeen = 0;
    Clock::time_point firstFrame{};
    Clock::time_point lastFrame{};
    // Every other write: when it began and its first byte.
    std::vector<std::pair<Clock::time_point, std::uint8_t>> others;

    PortError Open(const char16_t* path, bool shared) override { return inner_.Open(path, shared); }
    void Close() override { inner_.Close(); }
    bool SendFeatureReport(const std::uint8_t* report, std::uint32_t length) override {
        return inner_.SendFeatureReport(report, length);
    }
    bool ConfigureSerial() override { return inner_.ConfigureSerial(); }
    bool Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& count,
              const std::atomic<bool>& cancelRead) override {
        const bool read = inner_.Read(buffer, capacity, count, cancelRead);
        if (read && lastFrameSent_.load(std::memory_order_acquire) && !verdictSeen_ &&
            std::find(buffer, buffer + count, '^') != buffer + count) {
            verdictSeen_ = true;
            if (onVerdict) {
                onVerdict();
            }
        }
        return read;
    }
    void WakeRead() override { inner_.WakeRead(); }
    bool Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs,
               std::uint32_t& written) override {
        const Clock::time_point start = Clock::now();
        const bool wrote = inner_.Write(data, length, waitMs, written);
        if (length != FRAME_SIZE) {
            others.emplace_back(start, length > 0 ? data[0] : 0);
            return wrote;
        }
        lastFrame = Clock::now();
        if (++framesSeen == 1) {
            firstFrame = start;
        }
        if (framesSeen == frames_) {
            if (onLastFrame) {
                onLastFrame();
            }
            lastFrameSent_.store(true, std::memory_order_release);
        }
        return wrote;
    }

  private:
    DevicePort& inner_;
    const std::uint32_t frames_;
    std::atomic<bool> lastFrameSent_{false};
    bool verdictSeen_ = false;
};

// A simulated scanner behind one transport and a link opened on it. The threads started for
// the scanner's side are noted, so that their CPU time can be told apart from the host's.
class Rig {
  public:
    // With a trace, the link sees the device through the trace's port and reports to it.
    Rig(Transport transport, SimScannerConfig config, std::uint32_t observedFrames = 0,
        UpdateTrace* trace = nullptr)
        : transport_(transport) {
        config.linkKind =
            transport == Transport::InProcess ? LinkKind::VendorBulk : LinkKind::SerialPort;
        const std::vector<long> before = Tasks();
        scanner_ = std::make_unique<SimScanner>(config);
        DevicePort* port = &simPort_;
        if (transport == Transport::InProcess) {
            adapter_ = std::make_unique<SimPortAdapter>(*scanner_, simPort_);
        } else {
            pty_ = std::make_unique<PtyScanner>(*scanner_);
            ready_ = pty_->Start();
            port = &serialPort_;
        }
        const std::vector<long> after = Tasks();
        std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                            std::back_inserter(scannerTasks_));
        if (observedFrames != 0) {
            observed_ = std::make_unique<ObservedPort>(*port, observedFrames);
            port = observed_.get();
        }
        if (trace != nullptr) {
            tracing_ = std::make_unique<TracingPort>(*port, *trace);
            port = tracing_.get();
        }
        link_ = std::make_unique<DeviceLink>(*port);
        link_->SetTrace(trace);
    }
    ~Rig() {
        link_.reset();  // the reader stops and the port closes before the far end goes
        adapter_.reset();
        pty_.reset();
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    bool Open() {
        if (!ready_) {
            return false;
        }
        DeviceRecord record{};
        if (transport_ == Transport::InProcess) {
            CopyWide(record.path, u"sim-bulk");
            record.linkKind = LinkKind::VendorBulk;
        } else {
            CopyWide(record.path, Utf8ToUtf16(pty_->SlavePath()).c_str());
            record.linkKind = LinkKind::SerialPort;
        }
        return link_->Open(record, nullptr);
    }

    std::uint64_t ScannerCpuNs() const {
        std::uint64_t total = 0;
        for (const long tid : scannerTasks_) {
            total += TaskCpuNs(tid);
        }
        return total;
    }

    DeviceLink& Link() { return *link_; }
    SimScanner& Scanner() { return *scanner_; }
    ObservedPort* Observed() { return observed_.get(); }

  private:
    const Transport transport_;
    bool ready_ = true;
    std::unique_ptr<SimScanner> scanner_;
    SimPort simPort_;
    LinuxSerialPort serialPort_;
    std::unique_ptr<SimPortAdapter> adapter_;
    std::unique_ptr<PtyScanner> pty_;
    std::unique_ptr<ObservedPort> observed_;
    std::unique_ptr<TracingPort> tracing_;
    std::unique_ptr<DeviceLink> link_;
    std::vector<long> scannerTasks_;
};

// What the host does for each frame besides the exchange: build it from the block (copy, zero
// fill, CRC-32) and print a progress star every 64 frames.
class FrameBuilder {
  public:
    explicit FrameBuilder(const std::vector<std::uint8_t>& block) : block_(block) {}

    const std::uint8_t* Build(std::uint32_t k) {
        const std::uint32_t offset = k * FRAME_DATA;
        const std::uint32_t take =
            std::min<std::uint32_t>(FRAME_DATA, static_cast<std::uint32_t>(block_.size()) - offset);
        frame_[0] = 0x02;
        std::memcpy(frame_ + 1, block_.data() + offset, take);
        std::memset(frame_ + 1 + take, 0, FRAME_DATA - take);
        const std::uint32_t crc = Crc32(0, FRAME_DATA + 1, frame_);
        for (std::uint32_t i = 0; i < 4; ++i) {
            frame_[FRAME_DATA + 1 + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
        }
        if (k % 64 == 0) {
            std::printf("*");
            std::fflush(stdout);
        }
        return frame_;
    }

  private:
    const std::vector<std::uint8_t>& block_;
    std::uint8_t frame_[FRAME_SIZE] = {};
};

struct PingPongRun {
    bool ok = false;
    double seconds = 0;
    double streamSeconds = 0;  // first frame's write to last frame's, as the update's stream
};

// 8192 exchanges with the echoing scanner; each frame the same, or built as the session builds
// it when buildFrom is given.
PingPongRun PingPong(Transport transport, const std::vector<std::uint8_t>* buildFrom) {
    PingPongRun run;
    SimScannerConfig config;
    config.echoEvery = FRAME_SIZE;
    Rig rig(transport, config, BIG_FRAMES);
    if (!rig.Open()) {
        return run;
    }
    std::vector<std::uint8_t> fixed = RandomBytes(FRAME_SIZE);
    fixed[0] = 0x02;
    std::unique_ptr<FrameBuilder> builder;
    if (buildFrom != nullptr) {
        builder = std::make_unique<FrameBuilder>(*buildFrom);
    }
    DeviceLink& link = rig.Link();
    QuietStdout quiet;
    const Clock::time_point start = Clock::now();
    for (std::uint32_t k = 0; k < BIG_FRAMES; ++k) {
        const std::uint8_t* frame = builder ? builder->Build(k) : fixed.data();
        std::uint8_t answer = 0;
        if (!link.Send(frame, FRAME_SIZE) || !link.ReadByte(ANSWER_WAIT_MS, &answer) ||
            answer != '*') {
            return run;
        }
    }
    run.seconds = Seconds(Clock::now() - start);
    const ObservedPort& port = *rig.Observed();
    run.streamSeconds = Seconds(port.lastFrame - port.firstFrame);
    run.ok = true;
    link.StopReader();
    return run;
}

struct SessionRun {
    bool ok = false;
    Clock::time_point start{};
    double seconds = 0;
};

// One whole update session of the block; ok only when it succeeded and the block arrived whole.
SessionRun RunSession(Rig& rig, const std::vector<std::uint8_t>& data) {
    SessionRun run;
    if (!rig.Open()) {
        return run;
    }
    const UpdateBlock block{data.data(), static_cast<std::uint32_t>(data.size()), BLOCK_TYPE_APPL,
                            0};
    UpdateOptions options;
    options.flags = UPDATE_FLAG_CHECK_MODEL;
    ResultCode result = RESULT_BAD_REQUEST;
    {
        QuietStdout quiet;
        run.start = Clock::now();
        result = RunUpdateSession(&block, &rig.Link(), 1, true, &options, 0, "EM7");
        run.seconds = Seconds(Clock::now() - run.start);
    }
    const std::vector<SimBlock> blocks = rig.Scanner().Blocks();
    run.ok = result == RESULT_SUCCESS && blocks.size() == 1 && blocks[0].data == data;
    return run;
}

const std::vector<std::uint8_t>& BigFirmware() {
    static const std::vector<std::uint8_t> firmware = RandomBytes(BIG_BLOCK);
    return firmware;
}

// The set-up's idle drains, from the writes around them: the connection flush before "?", the
// block's flush before its first readiness poll, and the one after the poll was answered.
double DrainSeconds(const ObservedPort& port, Clock::time_point start) {
    const auto& writes = port.others;
    if (writes.empty()) {
        return 0;
    }
    double drains = Seconds(writes.front().first - start);
    for (std::size_t i = 1; i + 1 < writes.size(); ++i) {
        const bool poll = writes[i].second == '?' && writes[i - 1].second != '?';
        if (poll) {
            drains += Seconds(writes[i + 1].first - writes[i - 1].first);
            break;
        }
    }
    return drains;
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct TracedRun {
    SessionRun run;
    double streamSeconds = 0;
};

// The update once more with the trace on, into a fresh temporary file.
TracedRun RunTracedSession(Transport transport, const std::vector<std::uint8_t>& data) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("scanflash-bench-trace-" + std::to_string(getpid()) + ".log");
    std::filesystem::remove(path);
    TracedRun traced;
    {
        UpdateTrace trace;
        trace.Start(path.u16string(), "update_session_bench", "bench", 0, nullptr);
        Rig rig(transport, SimScannerConfig{}, BIG_FRAMES, &trace);
        traced.run = RunSession(rig, data);
        const ObservedPort& port = *rig.Observed();
        traced.run.ok = traced.run.ok && trace.Active() && port.framesSeen == BIG_FRAMES;
        traced.streamSeconds = Seconds(port.lastFrame - port.firstFrame);
        trace.Finish(RESULT_SUCCESS, 15);
    }
    std::filesystem::remove(path);
    return traced;
}

void BM_UpdateVsPingPong(benchmark::State& state, Transport transport) {
    const std::vector<std::uint8_t>& firmware = BigFirmware();
    std::vector<double> bare;
    std::vector<double> framed;
    std::vector<double> update;
    std::vector<double> stream;
    std::vector<double> traced;
    std::vector<double> tracedStream;
    std::vector<double> setUp;
    std::vector<double> drains;
    std::vector<double> ratios;
    std::vector<double> streamRatios;
    std::vector<double> traceRatios;
    std::vector<double> traceStreamRatios;
    bool updateFirst = false;
    for (auto _ : state) {
        // The order swaps every iteration, so that a drift in the machine's load favours none.
        Rig rig(transport, SimScannerConfig{}, BIG_FRAMES);
        SessionRun run;
        TracedRun tracedRun;
        if (updateFirst) {
            run = RunSession(rig, firmware);
            tracedRun = RunTracedSession(transport, firmware);
        }
        const PingPongRun bareRun = PingPong(transport, nullptr);
        const PingPongRun framedRun = PingPong(transport, &firmware);
        if (!updateFirst) {
            tracedRun = RunTracedSession(transport, firmware);
            run = RunSession(rig, firmware);
        }
        updateFirst = !updateFirst;
        const ObservedPort& port = *rig.Observed();
        if (!bareRun.ok || !framedRun.ok || !run.ok || !tracedRun.run.ok ||
            port.framesSeen != BIG_FRAMES) {
            state.SkipWithError(!run.ok || !tracedRun.run.ok ? "update failed"
                                                             : "ping-pong failed");
            return;
        }
        const double streamSeconds = Seconds(port.lastFrame - port.firstFrame);
        bare.push_back(bareRun.seconds / BIG_FRAMES * 1e6);
        framed.push_back(framedRun.seconds / BIG_FRAMES * 1e6);
        update.push_back(run.seconds / BIG_FRAMES * 1e6);
        stream.push_back(streamSeconds / (BIG_FRAMES - 1) * 1e6);
        setUp.push_back(Seconds(port.firstFrame - run.start) * 1e3);
        drains.push_back(DrainSeconds(port, run.start) * 1e3);
        ratios.push_back(run.seconds / bareRun.seconds);
        streamRatios.push_back(streamSeconds / bareRun.streamSeconds);
        traced.push_back(tracedRun.run.seconds / BIG_FRAMES * 1e6);
        tracedStream.push_back(tracedRun.streamSeconds / (BIG_FRAMES - 1) * 1e6);
        traceRatios.push_back(tracedRun.run.seconds / run.seconds);
        traceStreamRatios.push_back(tracedRun.streamSeconds / streamSeconds);
        state.SetIterationTime(run.seconds);
    }
    // Medians: a shared machine throws single runs far off.
    state.counters["bare_us"] = Median(bare);
    state.counters["framed_us"] = Median(framed);
    state.counters["update_us"] = Median(update);
    state.counters["stream_us"] = Median(stream);
    state.counters["setup_ms"] = Median(setUp);
    state.counters["drain_ms"] = Median(drains);
    state.counters["ratio"] = Median(ratios);
    state.counters["stream_ratio"] = Median(streamRatios);
    state.counters["traced_us"] = Median(traced);
    state.counters["traced_stream_us"] = Median(tracedStream);
    state.counters["trace_ratio"] = Median(traceRatios);
    state.counters["trace_stream_ratio"] = Median(traceStreamRatios);
}

void BM_VerdictWaitCpu(benchmark::State& state, Transport transport) {
    const std::vector<std::uint8_t> firmware = RandomBytes(SLOW_BLOCK);
    double waited = 0;
    double hostCpu = 0;
    double scannerCpu = 0;
    for (auto _ : state) {
        SimScannerConfig config;
        config.writeTimeMs = SLOW_WRITE_MS;
        Rig rig(transport, config, SLOW_BLOCK / FRAME_DATA);
        struct Mark {
            Clock::time_point at;
            std::uint64_t process = 0;
            std::uint64_t scanner = 0;
        };
        Mark begin;
        Mark end;
        ObservedPort& port = *rig.Observed();
        // The scanner's threads are read outside the window, so that reading them costs the
        // process nothing inside it.
        port.onLastFrame = [&] {
            begin.scanner = rig.ScannerCpuNs();
            begin.process = ProcessCpuNs();
            begin.at = Clock::now();
        };
        port.onVerdict = [&] {
            end.at = Clock::now();
            end.process = ProcessCpuNs();
            end.scanner = rig.ScannerCpuNs();
        };
        const SessionRun run = RunSession(rig, firmware);
        if (!run.ok || end.process == 0) {
            state.SkipWithError("slow update failed");
            return;
        }
        const double scannerSeconds = static_cast<double>(end.scanner - begin.scanner) * 1e-9;
        waited += Seconds(end.at - begin.at);
        scannerCpu += scannerSeconds;
        hostCpu += static_cast<double>(end.process - begin.process) * 1e-9 - scannerSeconds;
        state.SetIterationTime(Seconds(end.at - begin.at));
    }
    state.counters["wait_s"] = waited / static_cast<double>(state.iterations());
    state.counters["host_cpu_ms_per_s"] = hostCpu * 1e3 / waited;
    state.counters["scanner_cpu_ms_per_s"] = scannerCpu * 1e3 / waited;
}

std::vector<std::uint8_t> TextCommand(const std::string& text) {
    std::vector<std::uint8_t> bytes = {0x02, 0x05, static_cast<std::uint8_t>(text.size() >> 8),
                                       static_cast<std::uint8_t>(text.size())};
    bytes.insert(bytes.end(), text.begin(), text.end());
    const std::uint32_t crc = Crc32(0, bytes.size(), bytes.data());
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<std::uint8_t>(crc >> shift));
    }
    return bytes;
}

// The scanner's own work for one frame, on the thread that hands it the bytes (in process,
// the host's thread, inside its write): parsing and answering a data frame, or only answering
// it in echo mode. Nobody listens to the answers.
void BM_ScannerTakesFrame(benchmark::State& state, bool echo) {
    SimScannerConfig config;
    config.echoEvery = echo ? FRAME_SIZE : 0;
    SimScanner scanner(config);
    const std::vector<std::uint8_t>& firmware = BigFirmware();
    if (!echo) {
        const std::uint8_t poll[3] = {'?', '?', '?'};
        scanner.OnHostBytes(UPDATE_MODE_PACKET, TILDE_UPDATE_MODE_SIZE);
        scanner.OnHostBytes(poll, sizeof poll);
        for (const std::string& text :
             {"!DataLens:" + std::to_string(BIG_BLOCK), std::string("!FileType:appl"),
              std::string("!FrameSize:512"), "!Frames:" + std::to_string(BIG_FRAMES),
              std::string(">Start")}) {
            const std::vector<std::uint8_t> command = TextCommand(text);
            scanner.OnHostBytes(command.data(), command.size());
        }
    }
    FrameBuilder builder(firmware);
    std::vector<std::vector<std::uint8_t>> frames;
    {
        QuietStdout quiet;
        for (std::uint32_t k = 0; k < BIG_FRAMES; ++k) {
            const std::uint8_t* frame = builder.Build(k);
            frames.emplace_back(frame, frame + FRAME_SIZE);
        }
    }
    std::uint32_t k = 0;
    for (auto _ : state) {
        scanner.OnHostBytes(frames[k].data(), FRAME_SIZE);
        ++k;
    }
    if (!echo && (scanner.Blocks().size() != 1 || !scanner.Blocks()[0].complete ||
                  !scanner.ProtocolErrors().empty())) {
        state.SkipWithError("the scanner did not take the frames");
    }
}

}  // namespace

BENCHMARK_CAPTURE(BM_UpdateVsPingPong, in_process, Transport::InProcess)
    ->UseManualTime()
    ->Iterations(9)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_UpdateVsPingPong, pty, Transport::Pty)
    ->UseManualTime()
    ->Iterations(7)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_VerdictWaitCpu, in_process, Transport::InProcess)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_VerdictWaitCpu, pty, Transport::Pty)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ScannerTakesFrame, protocol, false)->Iterations(BIG_FRAMES);
BENCHMARK_CAPTURE(BM_ScannerTakesFrame, echo, true)->Iterations(BIG_FRAMES);
BENCHMARK_MAIN();
