#include "app/entry.h"

#include <atomic>
#include <memory>
#include <new>
#include <string>

#include "common/exit_code.h"
#include "common/standard_output.h"
#include "common/wide_string.h"
#include "discovery/selection.h"
#include "firmware/firmware_file.h"
#include "link/device_link.h"
#include "trace/tracing_port.h"
#include "trace/update_trace.h"

namespace {

// How long a process about to end on a console event waits for its trace to reach the file.
constexpr std::uint32_t TRACE_LAST_WRITE_MS = 1000;

// The one DeviceLink of the process and the console it runs in, for the control handler,
// which the system calls on a thread of its own.
std::atomic<DeviceLink*> processLink{nullptr};
std::atomic<UpdateTrace*> processTrace{nullptr};
std::atomic<ConsoleSeam*> processConsole{nullptr};
std::atomic<void*> consoleWindow{nullptr};
std::atomic<bool> consoleWindowLookedUp{false};

void PrintWide(const char* format, const char16_t* text) {
    PrintStandardOutput(format, Utf16ToUtf8(text).c_str());
}

const char16_t* BaseName(const char16_t* path) {
    const char16_t* base = path;
    for (const char16_t* at = path; *at != 0; ++at) {
        if (*at == u'\\' || *at == u'/') {
            base = at + 1;
        }
    }
    return base;
}

// "-device:SELECTOR" among the arguments from first on, where the command line otherwise
// ignores what it finds. chosen points at selector when one is given. False, with one line on
// standard error, when one is malformed or more than one is given.
bool ParseSelectorArguments(const char16_t* const* argv, int argc, int first,
                            const char16_t* baseName, DeviceSelector& selector,
                            const DeviceSelector*& chosen) {
    const std::string program = Utf16ToUtf8(baseName);
    for (int i = first; i < argc; ++i) {
        const char16_t* text = StartsWithNoCase(argv[i], u"-device:");
        if (text == nullptr) {
            continue;
        }
        if (chosen != nullptr) {
            std::fprintf(stderr, "%s: -device: is given more than once\n", program.c_str());
            return false;
        }
        if (const char* reason = ParseDeviceSelector(text, selector)) {
            std::fprintf(stderr, "%s: -device: selector %s\n", program.c_str(), reason);
            return false;
        }
        chosen = &selector;
    }
    return true;
}

}  // namespace

void SetConsoleWindowEnabled(bool enable) {
    ConsoleSeam* console = processConsole.load();
    if (console == nullptr) {
        return;
    }
    if (!consoleWindowLookedUp.load()) {
        consoleWindow.store(console->GetConsoleWindow());
        consoleWindowLookedUp.store(true);
    }
    void* window = consoleWindow.load();
    if (window != nullptr) {
        console->EnableWindow(window, enable);
    }
}

bool ConsoleControlHandler(std::uint32_t event) {
    DeviceLink* link = processLink.load();
    TraceSink* trace = link != nullptr ? link->Trace() : nullptr;
    switch (event) {
        case CONSOLE_CTRL_C:
        case CONSOLE_CTRL_BREAK:
            TraceReport(trace, TraceTopic::Note, "console event %u: swallowed", event);
            return true;
        case CONSOLE_CTRL_CLOSE:
        case CONSOLE_CTRL_LOGOFF:
        case CONSOLE_CTRL_SHUTDOWN: {
            if (link != nullptr) {
                link->StopReader();
            }
            SetConsoleWindowEnabled(true);
            // The process ends once the handler returns: the note, and every line before it,
            // go into the file first, unless the file takes too long.
            TraceReport(trace, TraceTopic::Note,
                        "console event %u: the reader stopped, the process ends", event);
            if (UpdateTrace* updateTrace = processTrace.load(); updateTrace != nullptr) {
                updateTrace->WaitUntilWritten(TRACE_LAST_WRITE_MS);
            }
            return false;
        }
        default:
            return false;
    }
}

ResultCode RunCommandLine(const char16_t* const* argv, int argc, DeviceSource& devices,
                          DeviceLink& link) {
    const char16_t* baseName = BaseName(argc > 0 && argv[0] != nullptr ? argv[0] : u"");
    PrintWide("%s  Version: " SCANFLASH_VERSION "\n", baseName);
    if (argc < 2) {
        PrintWide(
            "Usage: \"%s\" [-force] -file:xxx.bin2\n"
            "Options:\n"
            "  -force                   Optional. Not check whether the firmware file is "
            "suitable for the device.\n"
            "  -file:firmware_filename  Specify the firmware file to use\n",
            baseName);
        return RESULT_BAD_REQUEST;
    }
    const bool forced = StartsWithNoCase(argv[1], u"-force") != nullptr;
    const int fileIndex = forced ? 2 : 1;
    const char16_t* fileArgument = argc > fileIndex ? argv[fileIndex] : nullptr;
    const char16_t* fileName =
        fileArgument == nullptr ? nullptr : StartsWithNoCase(fileArgument, u"-file:");
    if (fileName == nullptr) {
        return RESULT_BAD_REQUEST;
    }
    DeviceSelector selector;
    const DeviceSelector* chosen = nullptr;
    if (!ParseSelectorArguments(argv, argc, fileIndex + 1, baseName, selector, chosen)) {
        return RESULT_BAD_REQUEST;
    }
    const ResultCode opened = SelectAndOpenDevice(devices, link, chosen);
    if (opened != RESULT_SUCCESS) {
        return opened;
    }
    UpdateOptions options;
    if (!forced) {
        options.flags |= UPDATE_FLAG_CHECK_MODEL;
    }
    return UpdateFromFile(&link, fileName, &options);
}

int RunEntry(DeviceSource& devices, DevicePort& port, ConsoleSeam& console, int argc,
             const char16_t* const* argv) {
    // A traced run sees the device through the tracing port and reports to the trace; an
    // untraced one runs exactly as if there were no trace.
    UpdateTrace trace;
    trace.StartFromEnvironment(
        Utf16ToUtf8(BaseName(argc > 0 && argv[0] != nullptr ? argv[0] : u"")), VERSION_TEXT, argc,
        argv);
    TracingPort tracingPort(port, trace);
    const bool traced = trace.Active();
    std::unique_ptr<DeviceLink> link(new (std::nothrow) DeviceLink(traced ? tracingPort : port));
    if (!link) {
        trace.Finish(RESULT_LINK_NOT_READY, MapExitCode(RESULT_LINK_NOT_READY));
        return MapExitCode(RESULT_LINK_NOT_READY);
    }
    SelectionObserver* observer = devices.Observer();
    if (traced) {
        link->SetTrace(&trace);
        devices.SetObserver(&trace);
    }
    processConsole.store(&console);
    processTrace.store(traced ? &trace : nullptr);
    processLink.store(link.get());
    SetConsoleWindowEnabled(false);
    const bool handlerAdded = console.AddControlHandler(ConsoleControlHandler);
    const ResultCode result = RunCommandLine(argv, argc, devices, *link);
    const int exitCode = MapExitCode(result);
    SetConsoleWindowEnabled(true);
    if (handlerAdded) {
        console.RemoveControlHandler(ConsoleControlHandler);
    }
    processLink.store(nullptr);
    processTrace.store(nullptr);
    link.reset();
    processConsole.store(nullptr);
    devices.SetObserver(observer);
    // After the link is gone, so that its last close is in the trace too.
    trace.Finish(result, exitCode);
    return exitCode;
}
