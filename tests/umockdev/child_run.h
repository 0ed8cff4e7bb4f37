// Runs a program under umockdev's preload against a testbed, as its own process group, and
// collects what it printed, how it ended and the processor time it took. The program is any
// command line: the Linux scanflash, or Wine starting the Windows one.
#pragma once

#include <chrono>
#include <string>
#include <vector>

struct ChildCommand {
    std::vector<std::string> argv;         // argv[0] is the program's path
    std::vector<std::string> environment;  // NAME=VALUE, added to (or replacing in) ours
    // Takes the power to override file permissions away from the child (root's
    // CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH), so that a node it has no permission for
    // cannot be opened even when the tests run as root.
    bool withoutPermissionOverride = false;
    // The child's process group is killed when it runs longer: a hang fails the test
    // instead of stopping the suite.
    std::chrono::milliseconds limit{60000};
};

struct ChildResult {
    bool exited = false;  // it ended through exit, not a signal or the time limit
    int exitCode = -1;
    bool timedOut = false;
    std::string out;
    std::string err;
    double cpuSeconds = 0;   // user and system time of the child and its waited-for children
    long peakKilobytes = 0;  // the largest resident set of the child or one of those children
};

// The child's environment: ours, with LD_PRELOAD naming umockdev's preload and UMOCKDEV_DIR
// the testbed's root (and, for programs built with AddressSanitizer, its link-order check
// off: the preload has to come before the sanitizer's runtime), then the command's own.
ChildResult RunUnderPreload(const std::string& testbedRoot, const ChildCommand& command);
