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
#include "sim/sim_options.h"
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
    "  --link=KIND              serial, bulk, hid or hid-feature (default serial); the hid\n"
    "                           kinds carry 64-byte reports both ways, hid-feature counts\n"
    "                           as switched on\n"
    "  --latency=MS             delay before every answer (default 0)\n"
    "  --write-time=MS          time from a block's closing star to its verdict (default 0)\n"
    "  --unanswered-polls=N     readiness polls of each block left unanswered (default 0)\n"
    "  --fault=STEP:KIND[:N[:B]]  spoil one answer (below)\n"
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
            ok = ParseSimLinkKind(value, options.config.linkKind);
        } else if (name == "--latency") {
            ok = ParseSimNumber(value, options.config.latencyMs);
        } else if (name == "--write-time") {
            ok = ParseSimNumber(value, options.config.writeTimeMs);
        } else if (name == "--unanswered-polls") {
            ok = ParseSimNumber(value, options.config.unansweredPolls);
        } else if (name == "--fault") {
            ok = ParseSimFault(value, options.config.fault);
        } else if (name == "--fault-delay") {
            ok = ParseSimNumber(value, options.config.fault.delayMs);
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
        std::fputs(SIM_FAULT_HELP, stderr);
        return 2;
    }
    if (options.help) {
        std::fputs(USAGE, stdout);
        std::fputs(SIM_FAULT_HELP, stdout);
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
