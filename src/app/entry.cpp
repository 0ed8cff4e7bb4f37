#include "app/entry.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "common/exit_code.h"
#include "common/wide_string.h"
#include "discovery/selection.h"
#include "firmware/firmware_file.h"
#include "link/device_link.h"

namespace {

// The one DeviceLink of the process and the console it runs in, for the control handler,
// which the system calls on a thread of its own.
std::atomic<DeviceLink*> processLink{nullptr};
std::atomic<ConsoleSeam*> processConsole{nullptr};
std::atomic<void*> consoleWindow{nullptr};
std::atomic<bool> consoleWindowLookedUp{false};

void PrintWide(const char* format, const char16_t* text) {
    std::printf(format, Utf16ToUtf8(text).c_str());
    std::fflush(stdout);
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
    switch (event) {
        case CONSOLE_CTRL_C:
        case CONSOLE_CTRL_BREAK:
            return true;
        case CONSOLE_CTRL_CLOSE:
        case CONSOLE_CTRL_LOGOFF:
        case CONSOLE_CTRL_SHUTDOWN: {
            DeviceLink* link = processLink.load();
            if (link != nullptr) {
                link->StopReader();
            }
            SetConsoleWindowEnabled(true);
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
    const char16_t* fileArgument = forced ? (argc > 2 ? argv[2] : nullptr) : argv[1];
    const char16_t* fileName =
        fileArgument == nullptr ? nullptr : StartsWithNoCase(fileArgument, u"-file:");
    if (fileName == nullptr) {
        return RESULT_BAD_REQUEST;
    }
    const ResultCode opened = SelectAndOpenDevice(devices, link);
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
    std::unique_ptr<DeviceLink> link(new (std::nothrow) DeviceLink(port));
    if (!link) {
        return MapExitCode(RESULT_LINK_NOT_READY);
    }
    processConsole.store(&console);
    processLink.store(link.get());
    SetConsoleWindowEnabled(false);
    const bool handlerAdded = console.AddControlHandler(ConsoleControlHandler);
    const int exitCode = MapExitCode(RunCommandLine(argv, argc, devices, *link));
    SetConsoleWindowEnabled(true);
    if (handlerAdded) {
        console.RemoveControlHandler(ConsoleControlHandler);
    }
    processLink.store(nullptr);
    link.reset();
    processConsole.store(nullptr);
    return exitCode;
}
