// Console control on Windows: the console window whose input is disabled during the run, and
// the control handler the system calls on a thread of its own for each console event.
#pragma once

#include "app/console.h"

// The entry prints UTF-8. A console shows those bytes as the characters they encode only
// under the UTF-8 output code page, so a console's page is switched for the run; a redirected
// output gets the UTF-8 bytes unchanged. The page is put back on every way out the process
// controls: when this object goes at the end of wmain, and by the control handler before it
// hands an event on to the system's default handling, which ends the process without
// returning to wmain (a close, log-off or shut-down).
class Utf8ConsoleOutput {
  public:
    // The console calls it makes: the system's, or a test's where Wine has no console page.
    struct PageCalls {
        bool (*outputIsConsole)();
        unsigned (*getPage)();
        bool (*setPage)(unsigned page);
    };
    static const PageCalls SYSTEM_PAGE_CALLS;

    explicit Utf8ConsoleOutput(const PageCalls& calls = SYSTEM_PAGE_CALLS);
    ~Utf8ConsoleOutput();
    Utf8ConsoleOutput(const Utf8ConsoleOutput&) = delete;
    Utf8ConsoleOutput& operator=(const Utf8ConsoleOutput&) = delete;
};

// Puts back the output code page that Utf8ConsoleOutput replaced, once; later calls do
// nothing.
void RestoreConsoleOutputPage();

// One handler at a time: the process has one run and one handler.
class Win32Console final : public ConsoleSeam {
  public:
    Win32Console() = default;
    // A handler still registered is removed, so that the system never calls into a run that
    // is over.
    ~Win32Console() override;
    Win32Console(const Win32Console&) = delete;
    Win32Console& operator=(const Win32Console&) = delete;

    // Null under Wine and for a process without a console; the caller then leaves the window
    // alone.
    void* GetConsoleWindow() override;
    void EnableWindow(void* window, bool enable) override;
    bool AddControlHandler(ConsoleControlFunction handler) override;
    // Returns once no call of the handler is under way, so that what the handler uses may go
    // as soon as this returns.
    void RemoveControlHandler(ConsoleControlFunction handler) override;

  private:
    bool registered_ = false;
};
