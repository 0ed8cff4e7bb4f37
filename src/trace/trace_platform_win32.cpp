#include <windows.h>

#include <cstdlib>
#include <ctime>

#include "trace/trace_platform.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wide strings are handed on as they are");

bool TraceFileFromEnvironment(std::u16string& path) {
    const wchar_t* value = _wgetenv(L"SCANFLASH_TRACE");
    if (value == nullptr || *value == 0) {
        return false;
    }
    path = reinterpret_cast<const char16_t*>(value);
    return true;
}

std::FILE* OpenTraceFile(const std::u16string& path) {
    // "N": the handle is not inherited by programs the process may start.
    return _wfopen(reinterpret_cast<const wchar_t*>(path.c_str()), L"abN");
}

std::string OperatingSystemText() {
    // GetVersionEx answers with the version the program was built for; ntdll tells the truth.
    using GetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto getVersion =
        ntdll == nullptr ? nullptr
                         : reinterpret_cast<GetVersionFunction>(
                               reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (getVersion == nullptr || getVersion(&version) != 0) {
        return "Windows";
    }
    return "Windows " + std::to_string(version.dwMajorVersion) + "." +
           std::to_string(version.dwMinorVersion) + "." + std::to_string(version.dwBuildNumber);
}

std::string UtcTimeText() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    char text[32] = "unknown";
    if (gmtime_s(&parts, &now) == 0) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    }
    return text;
}
