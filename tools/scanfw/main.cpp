// scanfw's entry. Arguments reach RunScanfw as UTF-8: as they come on Linux, converted from
// the wide command line on Windows. "devices" reads the platform's own device discovery and,
// to query the scanners, opens them through the platform's own device port.
#include <iostream>
#include <string>
#include <vector>

#include "scanfw/scanfw.h"

#ifdef _WIN32
#include "common/wide_string.h"
#include "discovery/selection.h"
#include "platform/win32/win32_device_database.h"
#include "platform/win32/win32_device_port.h"

int wmain(int argc, wchar_t** argv) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(Utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
    }
    Win32DeviceDatabase database;
    DatabaseDeviceSource devices(database);
    Win32DevicePort port;
    return RunScanfw(args, std::cout, std::cerr, &devices, &port);
}
#else
#include "platform/linux/linux_device_port.h"
#include "platform/linux/linux_device_source.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    LinuxDeviceSource devices("/sys", "/dev");
    LinuxDevicePort port("/sys");
    return RunScanfw(args, std::cout, std::cerr, &devices, &port);
}
#endif
