// Console control on Windows: the console window whose input is disabled during the run, and
// the control handler the system calls on a thread of its own for each console event.
#pragma once

#include "app/console.h"

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
