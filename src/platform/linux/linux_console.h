// Console control on Linux. There is no console window. The interrupt and quit keys
// (SIGINT, SIGQUIT) are ignored while the handler is registered; hang-up and termination
// (SIGHUP, SIGTERM) are taken by a thread of their own through a signalfd, passed to the
// handler as close and shut-down events, and then end the process as their default action
// would. All the work happens on that thread, never inside a signal handler.
#pragma once

#include <pthread.h>
#include <signal.h>

#include "app/console.h"

class LinuxConsole : public ConsoleSeam {
  public:
    LinuxConsole() = default;
    ~LinuxConsole() override;
    LinuxConsole(const LinuxConsole&) = delete;
    LinuxConsole& operator=(const LinuxConsole&) = delete;

    void* GetConsoleWindow() override { return nullptr; }
    void EnableWindow(void*, bool) override {}
    // Must be called before any other thread starts, so that every thread inherits the
    // blocked hang-up and termination signals.
    bool AddControlHandler(ConsoleControlFunction handler) override;
    void RemoveControlHandler(ConsoleControlFunction handler) override;

  private:
    static void* WatchSignals(void* self);

    ConsoleControlFunction handler_ = nullptr;
    int signalFd_ = -1;
    int stopFd_ = -1;
    pthread_t watcher_{};
    bool watching_ = false;
    struct sigaction previousInterrupt_ {};
    struct sigaction previousQuit_ {};
    sigset_t previousMask_{};
};
