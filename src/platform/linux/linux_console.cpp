#include "platform/linux/linux_console.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

bool LinuxConsole::SetUpProcessSignals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    const sigset_t stopSignals = StopSignals();
    return pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) == 0;
}

LinuxConsole::~LinuxConsole() {
    RemoveControlHandler(handler_);
}

bool LinuxConsole::AddControlHandler(ConsoleControlFunction handler) {
    if (watching_) {
        return false;
    }
    const sigset_t stopSignals = StopSignals();
    if (pthread_sigmask(SIG_BLOCK, &stopSignals, &previousMask_) != 0) {
        return false;
    }
    signalFd_ = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    stopFd_ = eventfd(0, EFD_CLOEXEC);
    handler_ = handler;
    if (signalFd_ < 0 || stopFd_ < 0 ||
        pthread_create(&watcher_, nullptr, WatchSignals, this) != 0) {
        if (signalFd_ >= 0) {
            close(signalFd_);
        }
        if (stopFd_ >= 0) {
            close(stopFd_);
        }
        signalFd_ = stopFd_ = -1;
        pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
        return false;
    }
    watching_ = true;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &previousInterrupt_);
    sigaction(SIGQUIT, &ignore, &previousQuit_);
    return true;
}

void LinuxConsole::RemoveControlHandler(ConsoleControlFunction) {
    if (!watching_) {
        return;
    }
    eventfd_write(stopFd_, 1);
    pthread_join(watcher_, nullptr);
    watching_ = false;
    close(signalFd_);
    close(stopFd_);
    signalFd_ = stopFd_ = -1;
    sigaction(SIGINT, &previousInterrupt_, nullptr);
    sigaction(SIGQUIT, &previousQuit_, nullptr);
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

void* LinuxConsole::WatchSignals(void* self) {
    auto* console = static_cast<LinuxConsole*>(self);
    for (;;) {
        pollfd waits[2] = {{console->signalFd_, POLLIN, 0}, {console->stopFd_, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            continue;
        }
        if ((waits[1].revents & POLLIN) != 0) {
            return nullptr;
        }
        signalfd_siginfo info{};
        if (read(console->signalFd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
            continue;
        }
        const int signal = static_cast<int>(info.ssi_signo);
        const std::uint32_t event = signal == SIGHUP ? CONSOLE_CTRL_CLOSE : CONSOLE_CTRL_SHUTDOWN;
        if (console->handler_ != nullptr && console->handler_(event)) {
            continue;
        }
        // Not handled: end the process as the signal's default action would.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(signal, &fallback, nullptr);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, signal);
        pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
        raise(signal);
    }
}
