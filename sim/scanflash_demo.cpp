// scanflash-demo: the product's entry over the simulated platform, with simulated scanners
// attached. Its own --sim-... options come first; everything after them goes to the entry
// unchanged, so every outcome of the product can be shown without hardware. The simulated
// scanner says on standard error when the host closes its port, and whether the host stopped
// its reader first: that shows a termination ran the console handler.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/entry.h"
#include "common/wide_string.h"
#include "discovery/selection.h"
#ifdef _WIN32
#include "platform/win32/win32_console.h"
using DemoConsole = Win32Console;
#else
#include "platform/linux/linux_console.h"
using DemoConsole = LinuxConsole;
#endif
#include "sim/sim_device_database.h"
#include "sim/sim_options.h"
#include "sim/sim_port.h"
#include "sim/sim_port_adapter.h"
#include "sim/sim_scanner.h"

namespace {

constexpr char DEMO_USAGE[] =
    "Usage: scanflash-demo [--sim-OPTION=VALUE ...] [scanflash arguments]\n"
    "Runs scanflash against simulated scanners. Options:\n"
    "  --sim-devices=N        scanners attached (default 1)\n"
    "  --sim-link=KIND        bulk, hid, hid-feature or serial (default bulk)\n"
    "  --sim-model=NAME       the model the scanner reports (default EM7)\n"
    "  --sim-latency=MS       delay before each answer (default 0)\n"
    "  --sim-write-time=MS    time the scanner takes to write a block (default 1500)\n"
    "  --sim-busy             the scanner is held by another program\n"
    "  --sim-help             this text\n"
    "  --sim-fault=STEP:KIND[:N[:B]]  spoil one answer of the scanner:\n";

struct DemoOptions {
    std::uint32_t devices = 1;
    LinkKind link = LinkKind::VendorBulk;
    bool busy = false;
    SimScannerConfig scanner;
};

// Parses the leading --sim-... options of arguments (the program name first); returns the
// index of the first argument for the entry, 0 after a bad option, or -1 after --sim-help.
int ParseDemoOptions(const std::vector<std::u16string>& arguments, DemoOptions& options) {
    options.scanner.writeTimeMs = 1500;
    int index = 1;
    for (; index < static_cast<int>(arguments.size()); ++index) {
        const std::string option = Utf16ToUtf8(arguments[static_cast<std::size_t>(index)]);
        if (option.compare(0, 6, "--sim-") != 0) {
            break;
        }
        const std::size_t equals = option.find('=');
        const std::string name = option.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : option.substr(equals + 1);
        bool ok = true;
        if (name == "--sim-devices") {
            ok = ParseSimNumber(value, options.devices);
        } else if (name == "--sim-link") {
            ok = ParseSimLinkKind(value, options.link);
        } else if (name == "--sim-model") {
            options.scanner.model = value;
        } else if (name == "--sim-latency") {
            ok = ParseSimNumber(value, options.scanner.latencyMs);
        } else if (name == "--sim-write-time") {
            ok = ParseSimNumber(value, options.scanner.writeTimeMs);
        } else if (name == "--sim-busy") {
            options.busy = true;
        } else if (name == "--sim-help") {
            std::fputs(DEMO_USAGE, stdout);
            std::fputs(SIM_FAULT_HELP, stdout);
            return -1;
        } else if (name == "--sim-fault") {
            ok = ParseSimFault(value, options.scanner.fault);
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "scanflash-demo: bad option %s\n%s%s", option.c_str(), DEMO_USAGE,
                         SIM_FAULT_HELP);
            return 0;
        }
    }
    return index;
}

// A product of each link kind from the identity tables.
void ProductFor(LinkKind link, std::uint16_t& vendor, std::uint16_t& product) {
    switch (link) {
        case LinkKind::Hid:
            vendor = VENDOR_A;
            product = 0x0010;
            break;
        case LinkKind::HidFeature:
            vendor = VENDOR_A;
            product = 0x0003;
            break;
        case LinkKind::SerialPort:
            vendor = VENDOR_B;
            product = 0x0007;
            break;
        default:
            vendor = VENDOR_B;
            product = 0x0006;
            break;
    }
}

// arguments: the program's name and its arguments, as the entry takes them; they reach it
// without any conversion, so every file name stays as it was given.
int RunDemo(const std::vector<std::u16string>& arguments) {
    DemoOptions options;
    const int first = ParseDemoOptions(arguments, options);
    if (first <= 0) {
        return first == 0 ? 2 : 0;
    }
    SimDeviceDatabase database;
    std::u16string path;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    ProductFor(options.link, vendor, product);
    for (std::uint32_t i = 0; i < options.devices; ++i) {
        const std::u16string found = AddSimScanner(database, vendor, product, i + 1,
                                                   u"COM" + Utf8ToUtf16(std::to_string(i + 3)));
        if (i == 0) {
            path = found;
        }
    }
    DatabaseDeviceSource devices(database);

    options.scanner.linkKind = options.link;
    SimPort port;
    port.SetExpectedPath(path);
    port.SetCloseHook([](bool stopped) {
        std::fputs(stopped ? "scanflash-demo: the scanner saw the host stop reading and close "
                             "the port\n"
                           : "scanflash-demo: the scanner saw the host close the port\n",
                   stderr);
    });
    if (options.busy) {
        port.SetOpenBehaviour({PORT_ERROR_SHARING_VIOLATION, PORT_ERROR_SHARING_VIOLATION, false});
    }
    SimScanner scanner(options.scanner);
    SimPortAdapter adapter(scanner, port);
    DemoConsole console;

    // The entry sees the demo's own name and the product's arguments.
    std::vector<const char16_t*> pointers;
    pointers.push_back(arguments.empty() ? u"" : arguments[0].c_str());
    for (std::size_t i = static_cast<std::size_t>(first); i < arguments.size(); ++i) {
        pointers.push_back(arguments[i].c_str());
    }
    pointers.push_back(nullptr);
    return RunEntry(devices, port, console, static_cast<int>(pointers.size() - 1), pointers.data());
}

}  // namespace

#ifdef _WIN32
// The wide command line as the product's wmain takes it: the arguments as they are, the
// program name with its unpaired surrogates replaced, as it is only printed.
int wmain(int argc, wchar_t** argv) {
    Utf8ConsoleOutput output;
    std::vector<std::u16string> arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    }
    if (!arguments.empty()) {
        arguments[0] = ReplaceUnpairedSurrogates(arguments[0]);
    }
    return RunDemo(arguments);
}
#else
int main(int argc, char** argv) {
    // Before the simulated scanner starts its thread, so that hang-up and termination reach
    // the console's handler rather than end the process on that thread.
    LinuxConsole::SetUpProcessSignals();
    std::vector<std::u16string> arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(Utf8ToUtf16(argv[i]));
    }
    return RunDemo(arguments);
}
#endif
