// scanflash on Windows: the wide command line goes to the entry as it is (wchar_t is a
// 16-bit unit here), over SetupAPI discovery, the overlapped device port and the console.
#include <windows.h>

#include "app/entry.h"
#include "discovery/selection.h"
#include "platform/win32/win32_console.h"
#include "platform/win32/win32_device_database.h"
#include "platform/win32/win32_device_port.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the command line is handed on as it is");

namespace {

// The entry prints UTF-8. A console shows those bytes as the characters they encode only
// under the UTF-8 output code page, so a console's page is switched for the run and put
// back afterwards; a redirected output gets the UTF-8 bytes unchanged.
class Utf8ConsoleOutput {
  public:
    Utf8ConsoleOutput() {
        DWORD mode = 0;
        if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
            return;
        }
        const UINT page = GetConsoleOutputCP();
        if (page != 0 && page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
            previousPage_ = page;
        }
    }
    ~Utf8ConsoleOutput() {
        if (previousPage_ != 0) {
            SetConsoleOutputCP(previousPage_);
        }
    }
    Utf8ConsoleOutput(const Utf8ConsoleOutput&) = delete;
    Utf8ConsoleOutput& operator=(const Utf8ConsoleOutput&) = delete;

  private:
    UINT previousPage_ = 0;  // 0: nothing to put back
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Utf8ConsoleOutput output;
    Win32DeviceDatabase database;
    DatabaseDeviceSource devices(database);
    Win32DevicePort port;
    Win32Console console;
    return RunEntry(devices, port, console, argc, reinterpret_cast<const char16_t* const*>(argv));
}
