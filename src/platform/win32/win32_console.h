// Console control on Windows: the console window whose input is disabled during the run, and
// the control handler the system calls on a thread of its own for each console event.
#pragma once

#include <cstdint>

#include "app/console.h"

// The entry prints UTF-8. A console shows those bytes as the characters they encode only
// under the UTF-8 output code page, so a console's page is switched for the run, and its text
// is written with WriteConsoleW: Windows 7 returns short counts for UTF-8 written through the
// C runtime under that page, which cuts non-ASCII text short. A redirected output gets the
// UTF-8 bytes unchanged. The page is put back on every way out the process controls: when
// this object goes at the end of wmain, and by the control handler before it hands an event
// on to the system's default handling, which ends the process without returning to wmain (a
// close, log-off or shut-down).
class Utf8ConsoleOutput {
  public:
    // The console calls it makes: the system's, or a test's where Wine has no console page
    // and standard output is no console.
    struct ConsoleCalls {
        bool (*outputIsConsole)();
        unsigned (*getPage)();
        bool (*setPage)(unsigned page);
        // Writes up to length units of text to standard output's console; written gets how
        // many it took.
        bool (*writeConsole)(const char16_t* text, std::uint32_t length, std::uint32_t& written);
    };
    static const ConsoleCalls SYSTEM_CONSOLE_CALLS;

    explicit Utf8ConsoleOutput(const ConsoleCalls& calls = SYSTEM_CONSOLE_CALLS);
    ~Utf8ConsoleOutput();
    Utf8ConsoleOutput(const Utf8ConsoleOutput&) = delete;
    Utf8ConsoleOutput& operator=(const Utf8ConsoleOutput&) = delete;
};

// Puts back the output code page that Utf8ConsoleOutput replaced, once; later calls do
// nothing.
void RestoreConsoleOutputPage();

// One handler at a time: the process has one run and one handler.
//
// A console program that loads user32 (the entry calls EnableWindow) gets no log-off or
// shut-down event at its handler: the system sends WM_QUERYENDSESSION and WM_ENDSESSION to
// its top-level windows instead. So while the handler is registered, a hidden window on a
// thread of its own hands WM_ENDSESSION to the handler as the matching event; the run goes on
// without it if it cannot be made.
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
    void StartSessionWatch();
    void StopSessionWatch();

    bool registered_ = false;
    // The hidden window's thread and the window, or null.
    void* sessionThread_ = nullptr;
    void* sessionWindow_ = nullptr;
};
