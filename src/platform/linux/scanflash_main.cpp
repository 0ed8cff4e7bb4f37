// scanflash on Linux: arguments arrive as UTF-8 and go through the same UTF-16 rules as on
// Windows; the conversion keeps every byte, so names print back unchanged.
#include <string>
#include <vector>

#include "app/entry.h"
#include "common/wide_string.h"
#include "platform/linux/linux_console.h"
#include "platform/linux/linux_device_port.h"
#include "platform/linux/linux_device_source.h"

int main(int argc, char** argv) {
    // Before any thread can start, so that hang-up and termination reach the console's handler.
    LinuxConsole::SetUpProcessSignals();
    std::vector<std::u16string> arguments;
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(Utf8ToUtf16(argv[i]));
    }
    std::vector<const char16_t*> pointers;
    for (const std::u16string& argument : arguments) {
        pointers.push_back(argument.c_str());
    }
    pointers.push_back(nullptr);
    LinuxDeviceSource devices("/sys", "/dev");
    LinuxDevicePort port("/sys");
    LinuxConsole console;
    return RunEntry(devices, port, console, argc, pointers.data());
}
