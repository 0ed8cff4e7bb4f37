// The program's entry: banner, command line, the one device found and opened before the
// firmware file is touched, the update, and the exit code (10 to 19, 15 on success).
#pragma once

#include <cstdint>

#include "app/console.h"
#include "app/version.h"
#include "common/result_code.h"

class DeviceLink;
class DevicePort;
class DeviceSource;

constexpr char VERSION_TEXT[] = SCANFLASH_VERSION;

// Creates the process's one DeviceLink over port, runs the command line with the console
// window disabled and the control handler registered, and returns the exit code. When the
// DeviceLink cannot be created the result is 10 and nothing is printed.
int RunEntry(DeviceSource& devices, DevicePort& port, ConsoleSeam& console, int argc,
             const char16_t* const* argv);

// Prints the banner, parses "-force", "-file:" and any "-device:" after it, and runs the
// update. Returns a ResultCode; a malformed "-device:" costs one line on standard error.
ResultCode RunCommandLine(const char16_t* const* argv, int argc, DeviceSource& devices,
                          DeviceLink& link);

// Interrupt keys are swallowed; close, log-off and shut-down stop the reader (closing the
// device) and let the default handling end the process.
bool ConsoleControlHandler(std::uint32_t event);

// Enables or disables input to the console window, if there is one. The window is looked up
// once and remembered, also when there is none.
void SetConsoleWindowEnabled(bool enable);
