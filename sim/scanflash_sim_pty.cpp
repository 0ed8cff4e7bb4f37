// scanflash-sim-pty: a simulated scanner on a pseudo-terminal, for manual runs and for hosts
// that reach the device through a serial line (including the Windows build under Wine, with
// a COM port mapped onto the printed path).

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "sim/pty_scanner.h"
#include "sim/sim_scanner.h"

namespace {

constexpr const char* USAGE =
    "Usage: scanflash-sim-pty [options]\n"
    "Serves a simulated scanner on a pseudo-terminal and prints the terminal's path on\n"
    "standard output, one line. Runs until standard input reaches its end or SIGINT or\n"
    "SIGTERM arrives; then prints the commands received, the blocks and any protocol\n"
    "errors on standard error.\n"
    "\n"
    "  --model=NAME             model name in the model reply (default EM7)\n"
    "  --link=KIND              serial, bulk, hid or hidfeature (default serial); the hid\n"
    "                           kinds carry 64-byte reports both ways, hidfeature counts\n"
    "                           as switched on\n"
    "  --latency=MS             delay before every answer (default 0)\n"
    "  --write-time=MS          time from a block's closing star to its verdict (default 0)\n"
    "  --unanswered-polls=N     readiness polls of each block left unanswered (default 0)\n"
    "  --fault=STEP:KIND[:N[:B]]\n"
    "                           spoil one answer. STEP: connection, model, update-mode,\n"
    "                           poll, datalens, filetype, framesize, frames, start, frame,\n"
    "                           final-star, verdict, nextdown, exit. KIND: silence,\n"
    "                           wrong-byte, bad-crc, refuse, fail-verdict, vanish, delay,\n"
    "                           stray. N: which time the step comes round, from 1\n"
    "                           (default 1; 0 every time). B: count only in block B, from\n"
    "                           1 (default 0: over the whole run)\n"
    "  --fault-delay=MS         how late a delay fault's answer comes (default 2500)\n"
    "  --no-stdin               ignore standard input; run until a signal\n"
    "  --help                   show this text\n"
    "\n"
    "Exit status: 0 after a normal end, 1 when the pty cannot be set up, 2 on bad options.\n";

int g_signalPipe = -1;

void OnSignal(int) {
    const char byte = 1;
    const ssize_t written = write(g_signalPipe, &byte, 1);
    static_cast<void>(written);
}

bool ParseNumber(std::string_view text, std::uint32_t& value) {
    if (text.empty() || text.size() > 9) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return true;
}

template <typename T>
struct Named {
    std::string_view name;
    T value;
};

constexpr Named<SimStep> STEPS[] = {
    {"connection", SimStep::Connection},
    {"model", SimStep::ModelReply},
    {"update-mode", SimStep::UpdateMode},
    {"poll", SimStep::ReadinessPoll},
    {"datalens", SimStep::DataLens},
    {"filetype", SimStep::FileType},
    {"framesize", SimStep::FrameSize},
    {"frames", SimStep::Frames},
    {"start", SimStep::Start},
    {"frame", SimStep::Frame},
    {"final-star", SimStep::FinalStar},
    {"verdict", SimStep::Verdict},
    {"nextdown", SimStep::NextDown},
    {"exit", SimStep::Exit},
};

constexpr Named<SimFaultKind> KINDS[] = {
    {"silence", SimFaultKind::Silence},
    {"wrong-byte", SimFaultKind::WrongByte},
    {"bad-crc", SimFaultKind::BadCrc},
    {"refuse", SimFaultKind::Refuse},
    {"fail-verdict", SimFaultKind::FailVerdict},
    {"vanish", SimFaultKind::Vanish},
    {"delay", SimFaultKind::Delay},
    {"stray", SimFaultKind::StrayBytes},
};

constexpr Named<LinkKind> LINKS[] = {
    {"serial", LinkKind::SerialPort},
    {"bulk", LinkKind::VendorBulk},
    {"hid", LinkKind::Hid},
    {"hidfeature", LinkKind::HidFeature},
};

template <typename T, std::size_t N>
bool Lookup(const Named<T> (&table)[N], std::string_view name, T& value) {
    for (const Named<T>& entry : table) {
        if (entry.name == name) {
            value = entry.value;
            return true;
        }
    }
    return false;
}

// Splits off the text up to the next ':' (or the end).
std::string_view NextField(std::string_view& rest) {
    const std::size_t colon = rest.find(':');
    const std::string_view field = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    return field;
}

bool ParseFault(std::string_view text, SimFault& fault) {
    const std::string_view step = NextField(text);
    const std::string_view kind = NextField(text);
    if (!Lookup(STEPS, step, fault.step) || !Lookup(KINDS, kind, fault.kind)) {
        return false;
    }
    if (!text.empty() && !ParseNumber(NextField(text), fault.occurrence)) {
        return false;
    }
    return text.empty() || (ParseNumber(NextField(text), fault.block) && text.empty());
}

struct Options {
    SimScannerConfig config;
    bool useStdin = true;
    bool help = false;
};

bool ParseOptions(int argc, char** argv, Options& options) {
    options.config.linkKind = LinkKind::SerialPort;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const std::size_t equals = arg.find('=');
        const std::string_view name = arg.substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view() : arg.substr(equals + 1);
        bool ok = true;
        if (arg == "--help") {
            options.help = true;
        } else if (arg == "--no-stdin") {
            options.useStdin = false;
        } else if (name == "--model" && equals != std::string_view::npos) {
            options.config.model = std::string(value);
        } else if (name == "--link") {
            ok = Lookup(LINKS, value, options.config.linkKind);
        } else if (name == "--latency") {
            ok = ParseNumber(value, options.config.latencyMs);
        } else if (name == "--write-time") {
            ok = ParseNumber(value, options.config.writeTimeMs);
        } else if (name == "--unanswered-polls") {
            ok = ParseNumber(value, options.config.unansweredPolls);
        } else if (name == "--fault") {
            ok = ParseFault(value, options.config.fault);
        } else if (name == "--fault-delay") {
            ok = ParseNumber(value, options.config.fault.delayMs);
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "scanflash-sim-pty: bad option %s\n", argv[i]);
            return false;
        }
    }
    return true;
}

// Waits for the end of standard input (when watched) or a signal.
void WaitForEnd(bool useStdin, int signalRead) {
    char scratch[256];
    for (;;) {
        pollfd fds[2] = {{signalRead, POLLIN, 0}, {useStdin ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[0].revents != 0) {
            return;
        }
        if (fds[1].revents != 0 && read(STDIN_FILENO, scratch, sizeof scratch) <= 0) {
            return;
        }
    }
}

void PrintSummary(const SimScanner& scanner) {
    for (const std::string& command : scanner.Commands()) {
        std::fprintf(stderr, "command: %s\n", command.c_str());
    }
    for (const SimBlock& block : scanner.Blocks()) {
        std::fprintf(stderr, "block %s: %u bytes, %u of %u frames%s, verdict %c\n",
                     block.name.c_str(), block.dataLength, block.framesReceived, block.frames,
                     block.complete ? "" : " (incomplete)",
                     block.verdict != 0 ? static_cast<char>(block.verdict) : '-');
    }
    for (const std::string& error : scanner.ProtocolErrors()) {
        std::fprintf(stderr, "protocol error: %s\n", error.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    if (options.help) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    int signalPipe[2];
    if (pipe(signalPipe) != 0) {
        std::perror("scanflash-sim-pty: pipe");
        return 1;
    }
    g_signalPipe = signalPipe[1];
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    int status = 0;
    {
        SimScanner scanner(options.config);
        PtyScanner pty(scanner);
        if (!pty.Start()) {
            std::perror("scanflash-sim-pty: pty");
            status = 1;
        } else {
            std::printf("%s\n", pty.SlavePath().c_str());
            std::fflush(stdout);
            WaitForEnd(options.useStdin, signalPipe[0]);
        }
        PrintSummary(scanner);
    }
    close(signalPipe[0]);
    close(signalPipe[1]);
    return status;
}
