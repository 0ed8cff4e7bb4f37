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

    // Blocks hang-up and termination in the calling thread and in every thread it starts
    // from then on, and ignores SIGPIPE for the process. A program calls it on the first line
    // of main: a signal sent to the process goes to any thread that does not block it, so one
    // thread started before the handler is registered (a worker of a library, say) would take
    // the signal and end the process without the handler ever running. And a pipe whose reader
    // goes away (standard output into `head`) must make a write fail, not end the process in
    // the middle of an update with the scanner left in update mode. False when the mask
    // cannot be changed.
    static bool SetUpProcessSignals();

    void* GetConsoleWindow() override { return nullptr; }
    void EnableWindow(void*, bool) override {}
    // Blocks the signals in the calling thread too, but threads started before it keep
    // their own masks: see SetUpProcessSignals.
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
