// scanflash on Windows: the wide command line goes to the entry as it is (wchar_t is a
// 16-bit unit here), over SetupAPI discovery, the overlapped device port and the console,
// with the console's output code page switched to UTF-8 for the run.
#include <string>
#include <vector>

#include "app/entry.h"
#include "common/wide_string.h"
#include "discovery/selection.h"
#include "platform/win32/win32_console.h"
#include "platform/win32/win32_device_database.h"
#include "platform/win32/win32_device_port.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the command line is handed on as it is");

int wmain(int argc, wchar_t** argv) {
    Utf8ConsoleOutput output;
    std::vector<const char16_t*> arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(reinterpret_cast<const char16_t*>(argv[i]));
    }
    arguments.push_back(nullptr);
    // The program's name is only printed; here an unpaired surrogate in it is a broken
    // character, not an escaped byte, and must not reach the output as invalid UTF-8.
    std::u16string programName;
    if (argc > 0) {
        programName = ReplaceUnpairedSurrogates(arguments[0]);
        arguments[0] = programName.c_str();
    }
    Win32DeviceDatabase database;
    DatabaseDeviceSource devices(database);
    Win32DevicePort port;
    Win32Console console;
    return RunEntry(devices, port, console, argc, arguments.data());
}
