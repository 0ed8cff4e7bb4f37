#include "child_run.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace {

constexpr int EXEC_FAILED = 127;
constexpr int SETUP_FAILED = 126;
constexpr int LOOK_AGAIN_MS = 10;

std::string NameOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

void Put(std::vector<std::string>& environment, const std::string& entry) {
    const std::string name = NameOf(entry);
    for (std::string& existing : environment) {
        if (NameOf(existing) == name) {
            existing = entry;
            return;
        }
    }
    environment.push_back(entry);
}

std::vector<std::string> ChildEnvironment(const std::string& testbedRoot,
                                          const ChildCommand& command) {
    std::vector<std::string> environment;
    std::string asanOptions = "verify_asan_link_order=0";
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (NameOf(text) == "ASAN_OPTIONS") {
            asanOptions = text.substr(text.find('=') + 1) + ":" + asanOptions;
        } else {
            environment.push_back(text);
        }
    }
    Put(environment, std::string("LD_PRELOAD=") + SCANFLASH_UMOCKDEV_PRELOAD);
    Put(environment, "UMOCKDEV_DIR=" + testbedRoot);
    Put(environment, "ASAN_OPTIONS=" + asanOptions);
    for (const std::string& entry : command.environment) {
        Put(environment, entry);
    }
    return environment;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

void Say(const char* text) {
    const ssize_t written = write(STDERR_FILENO, text, std::strlen(text));
    static_cast<void>(written);
}

// In the child between fork and exec: async-signal-safe calls only.
bool DropPermissionOverride() {
    if (geteuid() != 0) {
        return true;  // the permission checks apply already
    }
    // Root's capabilities after exec come from the bounding and inheritable sets.
    for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) {
            return false;
        }
    }
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, sets) != 0) {
        return false;
    }
    const unsigned int dropped = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
    sets[0].inheritable &= ~dropped;
    sets[0].effective &= ~dropped;
    return syscall(SYS_capset, &header, sets) == 0;
}

[[noreturn]] void StartChild(int out, int err, const ChildCommand& command, char** argv,
                             char** envp) {
    setpgid(0, 0);
    const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (nothing < 0 || dup2(nothing, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
        dup2(err, STDERR_FILENO) < 0) {
        _exit(SETUP_FAILED);
    }
    if (command.withoutPermissionOverride && !DropPermissionOverride()) {
        Say("cannot drop the permission override\n");
        _exit(SETUP_FAILED);
    }
    execve(argv[0], argv, envp);
    Say("cannot start the program\n");
    _exit(EXEC_FAILED);
}

// Reads what the stream holds now; false once nothing more came (the stream is closed at its
// end).
bool Drain(int& fd, std::string& into) {
    if (fd < 0) {
        return false;
    }
    char buffer[4096];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
        into.append(buffer, static_cast<std::size_t>(got));
        return true;
    }
    if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        close(fd);
        fd = -1;
    }
    return false;
}

double Seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

}  // namespace

ChildResult RunUnderPreload(const std::string& testbedRoot, const ChildCommand& command) {
    ChildResult result;
    std::vector<std::string> arguments = command.argv;
    std::vector<std::string> environment = ChildEnvironment(testbedRoot, command);
    std::vector<char*> argv = Pointers(arguments);
    std::vector<char*> envp = Pointers(environment);
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (arguments.empty() || pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        result.err = "cannot set the child up";
        return result;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        StartChild(outPipe[1], errPipe[1], command, argv.data(), envp.data());
    }
    close(outPipe[1]);
    close(errPipe[1]);
    int streams[2] = {outPipe[0], errPipe[0]};
    if (pid < 0) {
        close(streams[0]);
        close(streams[1]);
        result.err = "cannot start the child";
        return result;
    }
    for (const int stream : streams) {
        fcntl(stream, F_SETFL, O_NONBLOCK);
    }
    const auto deadline = std::chrono::steady_clock::now() + command.limit;
    int status = 0;
    rusage usage{};
    bool reaped = false;
    while (!reaped) {
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            reaped = wait4(pid, &status, 0, &usage) == pid;
            break;
        }
        pollfd waits[2] = {{streams[0], POLLIN, 0}, {streams[1], POLLIN, 0}};
        if (poll(waits, 2, LOOK_AGAIN_MS) > 0) {
            Drain(streams[0], result.out);
            Drain(streams[1], result.err);
        }
        const pid_t ended = wait4(pid, &status, WNOHANG, &usage);
        reaped = ended == pid;
        if (ended < 0 && errno != EINTR) {
            break;
        }
    }
    // Whatever the child wrote last; a descendant that still holds a stream is not waited for.
    while (Drain(streams[0], result.out)) {
    }
    while (Drain(streams[1], result.err)) {
    }
    for (const int stream : streams) {
        if (stream >= 0) {
            close(stream);
        }
    }
    if (reaped) {
        result.exited = !result.timedOut && WIFEXITED(status);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
        result.peakKilobytes = usage.ru_maxrss;
    }
    return result;
}
