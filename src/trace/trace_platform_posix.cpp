#include <sys/utsname.h>

#include <cstdlib>
#include <ctime>

#include "common/wide_string.h"
#include "trace/trace_platform.h"

bool TraceFileFromEnvironment(std::u16string& path) {
    const char* value = std::getenv("SCANFLASH_TRACE");
    if (value == nullptr || *value == 0) {
        return false;
    }
    path = Utf8ToUtf16(value);
    return true;
}

std::FILE* OpenTraceFile(const std::u16string& path) {
    // "e": the descriptor is not inherited by programs the process may start.
    return std::fopen(Utf16ToUtf8(path).c_str(), "abe");
}

std::string OperatingSystemText() {
    utsname names{};
    if (uname(&names) != 0) {
        return "unknown";
    }
    return std::string(names.sysname) + " " + names.release + " " + names.machine;
}

std::string UtcTimeText() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    char text[32] = "unknown";
    if (gmtime_r(&now, &parts) != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    }
    return text;
}
