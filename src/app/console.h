// The console seam: the console window, whose input is disabled during the run, and the
// control events (interrupt keys, close, log-off, shut-down) delivered on a thread of their
// own. Windows uses GetConsoleWindow, EnableWindow and SetConsoleCtrlHandler; Linux maps
// signals onto the same events.
#pragma once

#include <cstdint>

constexpr std::uint32_t CONSOLE_CTRL_C = 0;
constexpr std::uint32_t CONSOLE_CTRL_BREAK = 1;
constexpr std::uint32_t CONSOLE_CTRL_CLOSE = 2;
constexpr std::uint32_t CONSOLE_CTRL_LOGOFF = 5;
constexpr std::uint32_t CONSOLE_CTRL_SHUTDOWN = 6;

// Returns true when the event was handled; false lets the system's default handling end
// the process.
using ConsoleControlFunction = bool (*)(std::uint32_t event);

class ConsoleSeam {
  public:
    virtual ~ConsoleSeam() = default;
    // The console window, or nullptr when there is none.
    virtual void* GetConsoleWindow() = 0;
    virtual void EnableWindow(void* window, bool enable) = 0;
    // False when the handler cannot be registered; the run then goes on without it.
    virtual bool AddControlHandler(ConsoleControlFunction handler) = 0;
    virtual void RemoveControlHandler(ConsoleControlFunction handler) = 0;
};
